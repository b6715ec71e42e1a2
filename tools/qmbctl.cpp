// qmbctl: the host command line for the ModBus Serial Driver. It does what a host application
// does over the bus: creates a driver object, passes the version check, opens a site from
// KEY=VALUE arguments, registers points, runs one command and polls COMMANDSTATUS until the
// driver answers TRUE or FALSE, then prints the result elements one per line. "watch" prints the
// registered points' values as they change. The driver object lives as long as this program's
// bus connection, so it is released however qmbctl ends. "trace" prints the frames the sites
// send and receive, live, from the server's Frame signals.
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariantList>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/OpenSettings.h"

namespace {

constexpr const char* kUsage =
    "Usage: qmbctl [OPTIONS] [SITE-KEY=VALUE ...] [COMMAND [KEY=VALUE ...]]\n"
    "\n"
    "Opens a site on the ModBus Serial Driver (qormodbus) and runs one host command.\n"
    "The KEY=VALUE arguments before COMMAND describe the site (the driver's open keys:\n"
    "DESCRIPTION, BP3=TRUE and SP3=<address> for Modbus/TCP, COMPORT, BAUDRATE, BP2=TRUE for\n"
    "RTU, BP1=TRUE for RS-485, IP1 stop bits, IP2 parity, CONNECTIONTYPE=MODEM, PHONENUMBER,\n"
    "SP1/SP2 connect/disconnect strings, SP5 modem init, OFFLINE=TRUE, POLLMODE=FAST for\n"
    "block reads back to back, DECODE=TYPED for typed values, TIMEOUT=ms a device may take,\n"
    "RETRIES attempts of a read, GAP=ms between requests, CONNECTPAUSE=ms after a Modbus/TCP\n"
    "connect, ...); those after it go with the command.\n"
    "\n"
    "Commands:\n"
    "  open                  open the site and report the connection (the default)\n"
    "  watch                 print the --point values whenever they change, and why a point\n"
    "                        has none (Ctrl-C ends; exit 1 when no point got a value)\n"
    "  raw HEX               send a raw request on a serial site: slave, function and data as\n"
    "                        hex, without checksum (raw 010300000002); prints the reply's bytes\n"
    "  trace [SITE]          print the frames the sites send (>) and receive (<) as they pass,\n"
    "                        of SITE only when given (Ctrl-C ends); with site keys, opens that\n"
    "                        site first (registering the --point list) and traces it.\n"
    "                        The server's own user sees every site,\n"
    "                        another user only the sites it has open\n"
    "  COMMAND [KEY=VALUE]   any host command: SITETIME, SITESTATUS, POINTVERIFY,\n"
    "                        POINTGETVALUE, POINTMODIFY, GETPOINTSLIST, GETDATA, GETALARMS, ...\n"
    "\n"
    "Options:\n"
    "  --bus ADDRESS         session (default), system, or a D-Bus address\n"
    "  --ssh USER@HOST       the driver on another machine, over ssh (its user bus, through\n"
    "                        systemd-stdio-bridge there; D-Bus's unixexec transport)\n"
    "  --point ADDRESS       register a point first (repeatable): an address such as 1-HREG100,\n"
    "                        or a whole entry \"{label}{address}\"\n"
    "  --immediate           register the points with ExecuteImmediate (no command session)\n"
    "  --interval SECONDS    watch: time between reads (default 1)\n"
    "  --count N             watch: stop after N reads; trace: after N frames\n"
    "  --seconds S           trace: stop after S seconds\n"
    "  --timeout SECONDS     give up a command after this long (default 60)\n"
    "  --raw                 print every element of the final reply, status included\n"
    "  --verbose             show every bus call and reply on standard error\n"
    "  -h, --help            show this text\n"
    "  --version             show qmbctl's version\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n"
    "\n"
    "Point addresses: [PREFIX]KIND NUMBER[,FIRST,COUNT,TYPE]. PREFIX: a slave address and '-'\n"
    "(1-HREG100, 12-OUT5), or on a Modbus/TCP site [HOST]- for another device\n"
    "([10.0.0.7]-IREG3) or nothing (HREG4: unit 255 at the site's address). KIND: OUT (coil),\n"
    "IN (input), IREG (input register), HREG (holding register); NUMBER 1-65535 (the wire\n"
    "address is NUMBER-1); the register tail FIRST,COUNT,TYPE[,ORDER]: FIRST 0-15, COUNT\n"
    "1-4096 bits, TYPE WORD, INT (16), BYTE (8), BOOL (1), DWORD, DINT, FLOAT (32), LWORD,\n"
    "LINT, DOUBLE (64) or STRING (8-2000), ORDER ABCD (default), CDAB, BADC or DCBA. A site\n"
    "opened with DECODE=TYPED reads and writes such a point by its type\n"
    "(1-HREG100,0,32,FLOAT,CDAB); otherwise it is one unsigned register.\n"
    "\n"
    "Examples:\n"
    "  Modbus/TCP site (the device listens on port 502):\n"
    "    qmbctl DESCRIPTION=Plant BP3=TRUE SP3=192.168.1.20 POINTGETVALUE POINT={pump}{HREG100}\n"
    "  Serial RTU site on COM1 at 19200 baud (COM1: the link COM1 in $QORMODBUS_COMDIR, the\n"
    "  config file's COMDIR or /dev/qormodbus, else /dev/ttyS0):\n"
    "    qmbctl DESCRIPTION=Line1 COMPORT=1 BAUDRATE=19200 BP2=TRUE \\\n"
    "           --point 1-HREG1 --point 1-OUT1 watch\n"
    "  Modem site dialled through COM2:\n"
    "    qmbctl DESCRIPTION=Remote COMPORT=2 CONNECTIONTYPE=MODEM PHONENUMBER=5551234 \\\n"
    "           SP5=ATZ SITESTATUS\n"
    "  Write 250 to holding register 10 of slave 1 on an ASCII serial site (COM3):\n"
    "    qmbctl DESCRIPTION=Line2 COMPORT=3 POINTMODIFY 'POINT={1-HREG10}{1-HREG10}{VALUE=250}'\n"
    "\n"
    "Exit status: 0 done; 1 the driver answered FALSE or LOCKED, or refused (the reason, the\n"
    "driver's COMMANDERROR, on standard error); 2 bad usage, or a site key value the driver\n"
    "cannot read; 3 no bus or no driver server; 130 interrupted.\n";

const QString kService = QStringLiteral("QorModBus.QorModBusCom");
const QString kFactoryPath = QStringLiteral("/QorModBus/QorModBusCom");
const QString kDriverInterface = QStringLiteral("QorDevice.IQorDeviceDriver");
constexpr const char* kWaiting = "Waiting for driver...";

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) {
  interrupted = 1;
}

struct Options {
  QString bus;
  QStringList siteKeys;
  QString command = QStringLiteral("open");
  QStringList commandKeys;
  QStringList points;
  bool immediate = false;
  double interval = 1.0;
  long count = 0;
  double seconds = 0;
  double timeout = 60.0;
  bool raw = false;
  bool verbose = false;
  bool version = false;
  QString rawRequest;
  QString traceSite;
};

class Failure {
 public:
  Failure(int code, QString text) : code(code), text(std::move(text)) {}
  int code;
  QString text;
};

void Err(const QString& text) {
  std::fprintf(stderr, "qmbctl: %s\n", text.toLocal8Bit().constData());
}

// A reply as the list of its element texts (raw byte replies as one line of hex).
struct Reply {
  QStringList elements;
  bool raw = false;
  QByteArray bytes;

  QString Value(const QString& key) const {
    const QString prefix = key + QLatin1Char('=');
    for (const QString& element : elements)
      if (element.startsWith(prefix)) return element.mid(prefix.size());
    return {};
  }
  QString Status() const { return raw ? QStringLiteral("TRUE") : Value("COMMANDSTATUS"); }
  // The COMMANDERROR of a failure: the element's value, or a bare text (a lock message).
  QString Error() const {
    for (qsizetype i = 1; i < elements.size(); ++i) {
      if (elements[i].startsWith(QLatin1String("COMMANDERROR="))) return elements[i].mid(13);
      if (!elements[i].isEmpty() && !elements[i].contains(QLatin1Char('='))) return elements[i];
    }
    return {};
  }
};

QString ElementText(const QVariant& value) {
  if (value.metaType().id() == QMetaType::Bool) return value.toBool() ? "True" : "False";
  if (value.metaType().id() == QMetaType::QByteArray) return value.toByteArray().toHex(' ');
  return value.toString();
}

Reply ReplyFromBus(const QVariant& argument) {
  Reply reply;
  const QVariant inner = argument.value<QDBusVariant>().variant();
  if (inner.metaType().id() == QMetaType::QStringList) {
    reply.elements = inner.toStringList();
  } else if (inner.metaType().id() == QMetaType::QByteArray) {
    reply.raw = true;
    reply.bytes = inner.toByteArray();
  } else if (inner.metaType().id() == qMetaTypeId<QDBusArgument>()) {
    const QDBusArgument array = inner.value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
      QDBusVariant element;
      array >> element;
      reply.elements.append(ElementText(element.variant()));
    }
    array.endArray();
  } else {
    reply.elements.append(inner.toString());
  }
  return reply;
}

class Host {
 public:
  Host(const Options& options, QDBusConnection connection)
      : options_(options), connection_(std::move(connection)) {}
  ~Host() { Release(); }

  void Create() {
    const QDBusMessage reply =
        Call(kFactoryPath, QStringLiteral("QorModBus.ClassFactory"), "CreateInstance", {});
    if (reply.type() != QDBusMessage::ReplyMessage)
      throw Failure(3, QStringLiteral("no driver server on the bus (%1); start qormodbus, or "
                                      "register it once with \"qormodbus -RegServer\"")
                           .arg(reply.errorMessage()));
    path_ = reply.arguments().value(0).value<QDBusObjectPath>().path();
  }

  bool Boolean(const char* member, const QStringList& params) {
    const QDBusMessage reply = DriverCall(member, params);
    return reply.arguments().value(0).toBool();
  }

  Reply List(const char* member, const QStringList& params) {
    const QDBusMessage reply = DriverCall(member, params);
    Reply answer = ReplyFromBus(reply.arguments().value(0));
    if (options_.verbose)
      Err(QStringLiteral("  -> %1").arg(answer.raw ? QString::fromLatin1(answer.bytes.toHex(' '))
                                                   : answer.elements.join(QLatin1String(" | "))));
    return answer;
  }

  // Sends the command until the driver takes it, then polls COMMANDSTATUS until it ends.
  Reply Run(const QString& what, const QStringList& params) {
    QElapsedTimer clock;
    clock.start();
    bool accepted = false;
    Reply reply;
    while (true) {
      CheckTime(clock, what);
      reply = List("ExecuteCommand", accepted ? QStringList{"COMMAND=COMMANDSTATUS"} : params);
      const QString status = reply.Status();
      if (status == QLatin1String("TRUE") || status == QLatin1String("FALSE") ||
          status == QLatin1String("LOCKED"))
        break;
      // A command sent while another client's command runs is dropped: send it again later.
      if (status != QLatin1String(kWaiting)) accepted = true;
      Progress(status);
      Pause(accepted ? 50 : 100);
    }
    EndProgress();
    return reply;
  }

  // As Run, and a FALSE or LOCKED answer ends qmbctl with the driver's reason.
  Reply Succeed(const QString& what, const QStringList& params) {
    const Reply reply = Run(what, params);
    const QString status = reply.Status();
    if (status == QLatin1String("LOCKED"))
      throw Failure(1, QStringLiteral("%1: the site is locked: %2").arg(what, reply.Error()));
    if (status == QLatin1String("FALSE")) {
      const QString error = reply.Error();
      throw Failure(1, (error.isEmpty() ? QStringLiteral("%1 failed").arg(what)
                                        : QStringLiteral("%1 failed: %2").arg(what, error)) +
                           Cause());
    }
    return reply;
  }

  // The server's reason behind the failure, on a line of its own ("" when it names none, or a
  // server too old to tell).
  QString Cause() {
    const QDBusMessage reply =
        Call(path_, QStringLiteral("QorModBus.IQorModBusDiagnostics"), "LastErrorDetail", {});
    const QString cause = reply.type() == QDBusMessage::ReplyMessage
                              ? reply.arguments().value(0).toString()
                              : QString();
    return cause.isEmpty() ? QString() : QStringLiteral("\n  cause: %1").arg(cause);
  }

  void Release() {
    if (path_.isEmpty() || !connection_.isConnected()) return;
    Call(path_, QStringLiteral("QorModBus.IQorModBusCom"), "Release", {});
    path_.clear();
  }

  void Pause(int milliseconds) {
    for (int waited = 0; waited < milliseconds && !interrupted; waited += 20) QThread::msleep(20);
    if (interrupted) throw Failure(130, QStringLiteral("interrupted"));
  }

 private:
  QDBusMessage Call(const QString& path, const QString& interface, const char* member,
                    const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, member);
    call.setArguments(arguments);
    if (options_.verbose)
      Err(QStringLiteral("%1 %2 %3")
              .arg(path, QString::fromLatin1(member),
                   arguments.isEmpty()
                       ? QString()
                       : arguments.value(0).value<QDBusVariant>().variant().toStringList().join(
                             QLatin1String(" | "))));
    return connection_.call(call, QDBus::Block, 30000);
  }

  QDBusMessage DriverCall(const char* member, const QStringList& params) {
    const QDBusMessage reply =
        Call(path_, kDriverInterface, member, {QVariant::fromValue(QDBusVariant(params))});
    if (reply.type() != QDBusMessage::ReplyMessage)
      throw Failure(
          3, QStringLiteral("%1: %2").arg(QString::fromLatin1(member), reply.errorMessage()));
    return reply;
  }

  void CheckTime(const QElapsedTimer& clock, const QString& what) {
    if (clock.elapsed() > static_cast<qint64>(options_.timeout * 1000)) {
      EndProgress();
      throw Failure(1, QStringLiteral("%1: no answer within %2 s").arg(what).arg(options_.timeout));
    }
  }

  // A spinner with the driver's progress text, on a terminal only.
  void Progress(const QString& text) {
    if (!isatty(STDERR_FILENO)) return;
    static const char kSpinner[] = "|/-\\";
    std::fprintf(stderr, "\r%c %s\033[K", kSpinner[spin_++ % 4], text.toLocal8Bit().constData());
    std::fflush(stderr);
    spinning_ = true;
  }
  void EndProgress() {
    if (!spinning_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    spinning_ = false;
  }

  const Options& options_;
  QDBusConnection connection_;
  QString path_;
  unsigned spin_ = 0;
  bool spinning_ = false;
};

bool IsKeyValue(const QString& argument) {
  const qsizetype equals = argument.indexOf(QLatin1Char('='));
  return equals > 0 && !argument.startsWith(QLatin1Char('-'));
}

// The keys the driver reads when it opens a site.
const QStringList kSiteKeys = {
    "DESCRIPTION", "BP1",           "BP2",         "BP3",         "OFFLINE",
    "COMPORT",     "BAUDRATE",      "IP1",         "IP2",         "CONNECTIONTYPE",
    "PHONENUMBER", "SP1",           "SP2",         "SP3",         "SP5",
    "DEVICETYPE",  "PANELTYPE",     "SERVERINDEX", "LOCALCLIENT", "POLLMODE",
    "DECODE",      "WRITEFUNCTION", "TIMEOUT",     "RETRIES",     "GAP",
    "CONNECTPAUSE"};
// The host commands the driver carries out, and qmbctl's own.
const QStringList kHostCommands = {"SITETIME",      "SITESTATUS",  "POINTVERIFY",
                                   "GETDATA",       "SENDDATA",    "SENDPOINTSLIST",
                                   "GETPOINTSLIST", "POINTMODIFY", "POINTGETDISABLED",
                                   "POINTGETVALUE", "GETALARMS"};
const QStringList kOwnCommands = {"open", "watch", "raw", "trace"};

// A value in a D-Bus address: everything but the optionally-escaped characters as %XX.
QString AddressValue(const QString& text) {
  QString escaped;
  for (const char c : text.toUtf8()) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       c == '-' || c == '_' || c == '/' || c == '.' || c == '\\' || c == '*';
    escaped += plain ? QString(QLatin1Char(c))
                     : QStringLiteral("%%1").arg(static_cast<uint8_t>(c), 2, 16, QLatin1Char('0'));
  }
  return escaped;
}

// The bus of a driver on another machine, reached through ssh and the bus's own stdio bridge:
// D-Bus's unixexec transport, no protocol of ours.
QString SshBusAddress(const QString& target) {
  return QStringLiteral(
             "unixexec:path=ssh,argv0=ssh,argv1=-xT,argv2=%1,argv3=systemd-stdio-bridge,"
             "argv4=--user")
      .arg(AddressValue(target));
}

double Number(const QCommandLineParser& parser, const QCommandLineOption& option, double minimum) {
  bool ok = false;
  const QString text = parser.value(option);
  const double value = text.toDouble(&ok);
  if (!ok || value < minimum)
    throw Failure(2,
                  QStringLiteral("--%1: not a valid number: %2").arg(option.names().back(), text));
  return value;
}

// The driver would open with its defaults in place of what it cannot read (BAUDRATE=fast runs at
// 38400), saying so only in its log: a person at a terminal is better told now.
void CheckSiteKeys(const QStringList& siteKeys) {
  std::vector<std::string> list;
  for (const QString& key : siteKeys) list.push_back(key.toStdString());
  QStringList problems;
  for (const qmb::ReplacedSetting& setting :
       qmb::ReplacedSettings(qmb::Variant(qmb::SafeArray::OfTexts(list)))) {
    const QString key = QString::fromStdString(setting.key);
    const QString accepts = QString::fromStdString(setting.accepts);
    const QString given = QString::fromStdString(setting.given);
    if (setting.missing)
      problems.append(QStringLiteral("%1 is missing: %2").arg(key, accepts));
    else if (setting.used.empty())
      problems.append(QStringLiteral("%1=%2 is not %3; the driver would refuse the open")
                          .arg(key, given, accepts));
    else
      problems.append(QStringLiteral("%1=%2 is not %3; the driver would use %4")
                          .arg(key, given, accepts, QString::fromStdString(setting.used)));
  }
  if (!problems.isEmpty()) throw Failure(2, problems.join(QLatin1String("\nqmbctl: ")));
}

std::optional<Options> ParseOptions(const QStringList& arguments) {
  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  const QCommandLineOption bus(QStringLiteral("bus"), QString(), QStringLiteral("ADDRESS"));
  const QCommandLineOption ssh(QStringLiteral("ssh"), QString(), QStringLiteral("USER@HOST"));
  const QCommandLineOption point(QStringLiteral("point"), QString(), QStringLiteral("ADDRESS"));
  const QCommandLineOption immediate(QStringLiteral("immediate"));
  const QCommandLineOption interval(QStringLiteral("interval"), QString(), QStringLiteral("S"),
                                    QStringLiteral("1"));
  const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("N"),
                                 QStringLiteral("0"));
  const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("S"),
                                   QStringLiteral("60"));
  const QCommandLineOption seconds(QStringLiteral("seconds"), QString(), QStringLiteral("S"),
                                   QStringLiteral("0"));
  const QCommandLineOption raw(QStringLiteral("raw"));
  const QCommandLineOption verbose(QStringLiteral("verbose"));
  parser.addOptions(
      {help, version, bus, ssh, point, immediate, interval, count, timeout, seconds, raw, verbose});
  if (!parser.parse(arguments)) throw Failure(2, parser.errorText());
  if (parser.isSet(help)) return std::nullopt;

  Options options;
  options.version = parser.isSet(version);
  if (parser.isSet(bus) && parser.isSet(ssh)) throw Failure(2, "give --bus or --ssh, not both");
  options.bus = parser.isSet(ssh) ? SshBusAddress(parser.value(ssh)) : parser.value(bus);
  options.points = parser.values(point);
  options.immediate = parser.isSet(immediate);
  options.interval = Number(parser, interval, 0.05);
  const double rounds = Number(parser, count, 0);
  if (parser.isSet(count) && rounds < 1) throw Failure(2, "--count: give 1 or more");
  options.count = static_cast<long>(rounds);
  options.timeout = Number(parser, timeout, 0.1);
  options.seconds = Number(parser, seconds, 0);
  options.raw = parser.isSet(raw);
  options.verbose = parser.isSet(verbose);

  bool haveCommand = false;
  for (const QString& argument : parser.positionalArguments()) {
    if (IsKeyValue(argument)) {
      if (!haveCommand) {
        const QString given = argument.left(argument.indexOf(QLatin1Char('=')));
        const QString key = given.toUpper();
        if (!kSiteKeys.contains(key))
          throw Failure(2, QStringLiteral("unknown site key %1 (site keys: %2)")
                               .arg(key, kSiteKeys.join(QLatin1String(", "))));
        // The driver's keys are exact: "baudrate=9600" would be no key at all to it.
        if (given != key)
          throw Failure(2, QStringLiteral("site key %1: keys are upper case (%2)").arg(given, key));
      }
      (haveCommand ? options.commandKeys : options.siteKeys).append(argument);
    } else if (!haveCommand) {
      const QString upper = argument.toUpper();
      if (kHostCommands.contains(upper)) {
        options.command = upper;
      } else if (kOwnCommands.contains(argument.toLower())) {
        options.command = argument.toLower();
      } else {
        throw Failure(2, QStringLiteral("unknown command %1 (commands: %2, %3)")
                             .arg(argument, kOwnCommands.join(QLatin1String(", ")),
                                  kHostCommands.join(QLatin1String(", "))));
      }
      haveCommand = true;
    } else if (options.command == QLatin1String("raw") && options.rawRequest.isEmpty()) {
      options.rawRequest = argument;
    } else if (options.command == QLatin1String("trace") && options.traceSite.isEmpty()) {
      options.traceSite = argument;
    } else {
      throw Failure(
          2, QStringLiteral("\"%1\" is not KEY=VALUE (only one command per run)").arg(argument));
    }
  }
  CheckSiteKeys(options.siteKeys);
  if (options.command == QLatin1String("trace") && !options.points.isEmpty() &&
      options.siteKeys.isEmpty())
    throw Failure(2, "trace --point needs the site's keys (the points are registered on it)");
  if (options.command == QLatin1String("watch") && options.points.isEmpty())
    throw Failure(2, "watch needs at least one --point");
  if (options.command == QLatin1String("raw")) {
    static const QRegularExpression kHex(QStringLiteral("^([0-9A-Fa-f]{2})+$"));
    if (!kHex.match(options.rawRequest).hasMatch())
      throw Failure(2, QStringLiteral("raw needs the request as hex digits: slave, function and "
                                      "data, without checksum (e.g. raw 010300000002)"));
  }
  return options;
}

// A point entry: "{label}{address}" as given, or a bare address labelled with itself.
QString PointEntry(const QString& point) {
  if (point.startsWith(QLatin1Char('{'))) return point;
  return QStringLiteral("{%1}{%1}").arg(point);
}

// The brace groups of a point text, by position as the driver takes them: each group is the
// text between the first "{" from where the previous group ended and the next "}".
QStringList BraceGroups(const QString& text) {
  QStringList groups;
  qsizetype from = 0;
  while (true) {
    const qsizetype open = text.indexOf(QLatin1Char('{'), from);
    const qsizetype close = open < 0 ? -1 : text.indexOf(QLatin1Char('}'), open);
    if (close < 0) return groups;
    groups.append(text.mid(open + 1, close - open - 1));
    from = close + 1;
  }
}

// "POINT0={1-HREG100}{VALUE=1234}" -> ("1-HREG100", "1234").
std::optional<std::pair<QString, QString>> PointValue(const QString& element) {
  const qsizetype equals = element.indexOf(QLatin1Char('='));
  if (!element.startsWith(QLatin1String("POINT")) || equals < 0) return std::nullopt;
  const QString rest = element.mid(equals + 1);
  const qsizetype keyEnd = rest.indexOf(QLatin1Char('}'));
  const qsizetype valueStart = rest.indexOf(QLatin1String("{VALUE="), keyEnd);
  if (!rest.startsWith(QLatin1Char('{')) || keyEnd < 0 || valueStart < 0) return std::nullopt;
  QString value = rest.mid(valueStart + 7);
  if (value.endsWith(QLatin1Char('}'))) value.chop(1);
  return std::make_pair(rest.mid(1, keyEnd - 1), value);
}

void Print(const QString& line) {
  std::printf("%s\n", line.toLocal8Bit().constData());
  std::fflush(stdout);
}

void PrintResult(const Reply& reply, const Options& options) {
  if (reply.raw) {
    Print(QString::fromLatin1(reply.bytes.toHex(' ')));
    return;
  }
  if (options.raw) {
    for (const QString& element : reply.elements) Print(element);
    return;
  }
  // A success may still carry an error text: tell it, on the error channel.
  const QString error = reply.Value(QStringLiteral("COMMANDERROR"));
  if (!error.isEmpty()) Err(QStringLiteral("COMMANDERROR=%1").arg(error));
  for (qsizetype i = 3; i < reply.elements.size(); ++i) Print(reply.elements[i]);
}

// The Frame signals of the server, printed as they come: "12:00:01.234567 COM2 > 01 03 ...".
// The server's clock is monotonic, so the first frame anchors it to this machine's wall clock
// and later ones keep the server's spacing exactly.
class FramePrinter : public QObject {
  Q_OBJECT
 public:
  FramePrinter(QString site, long count) : site_(std::move(site)), count_(count) {}
  bool Done() const { return count_ > 0 && printed_ >= count_; }

 public Q_SLOTS:
  void Frame(const QString& site, const QString& direction, const QString& hex,
             qulonglong monotonicUs) {
    if (Done()) return;
    if (!site_.isEmpty() && site.compare(site_, Qt::CaseInsensitive) != 0) return;
    if (!anchored_) {
      anchored_ = true;
      anchorMono_ = monotonicUs;
      anchorWall_ = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    }
    const long long wall =
        anchorWall_ + static_cast<long long>(monotonicUs) - static_cast<long long>(anchorMono_);
    const std::time_t secondsPart = static_cast<std::time_t>(wall / 1000000);
    std::tm local{};
    localtime_r(&secondsPart, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min,
                  local.tm_sec, wall % 1000000);
    Print(QStringLiteral("%1 %2 %3 %4").arg(QString::fromLatin1(stamp), site, direction, hex));
    ++printed_;
  }

 private:
  static void Print(const QString& line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
  }

  QString site_;
  long count_;
  long printed_ = 0;
  bool anchored_ = false;
  qulonglong anchorMono_ = 0;
  long long anchorWall_ = 0;
};

int Trace(QDBusConnection& connection, const Options& options, const QString& site) {
  const QString interface = QStringLiteral("QorModBus.IQorModBusTrace");
  FramePrinter printer(site, options.count);
  // Listening before asking, so that no frame is missed.
  if (!connection.connect(kService, kFactoryPath, interface, QStringLiteral("Frame"), &printer,
                          SLOT(Frame(QString, QString, QString, qulonglong))))
    throw Failure(
        3, QStringLiteral("cannot listen for frames: %1").arg(connection.lastError().message()));
  QDBusMessage watch =
      QDBusMessage::createMethodCall(kService, kFactoryPath, interface, "WatchFrames");
  watch << true;
  const QDBusMessage reply = connection.call(watch, QDBus::Block, 30000);
  if (reply.type() != QDBusMessage::ReplyMessage)
    throw Failure(3, QStringLiteral("WatchFrames: %1").arg(reply.errorMessage()));
  if (!reply.arguments().value(0).toBool())
    Err("the server runs as another user: only the frames of the sites this client opens");

  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    const bool timeUp = options.seconds > 0 && clock.elapsed() >= options.seconds * 1000;
    if (interrupted || printer.Done() || timeUp || !connection.isConnected()) loop.quit();
  });
  tick.start(20);
  loop.exec();
  watch = QDBusMessage::createMethodCall(kService, kFactoryPath, interface, "WatchFrames");
  watch << false;
  if (connection.isConnected()) connection.call(watch, QDBus::Block, 5000);
  return interrupted ? 130 : 0;
}

// Prints the points' values as they change. A point the poller gives no value gets, once, the
// reason from a read of its own (a bad address, the device's exception, no reply, the link
// down): the list of values alone would leave it silently out.
int Watch(Host& host, const Options& options) {
  // The rounds after which a point still without a value is asked about: the poller needs a
  // few ticks per point before it has been round the list once.
  constexpr long kExplainAfterRounds = 2;
  std::map<QString, QString> last;
  std::map<QString, bool> explained;
  bool anyValue = false;
  long round = 0;
  for (; options.count == 0 || round < options.count; ++round) {
    if (round > 0) host.Pause(static_cast<int>(options.interval * 1000));
    const Reply reply = host.Succeed(QStringLiteral("GETPOINTSLIST"), {"COMMAND=GETPOINTSLIST"});
    const QString now = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    for (qsizetype i = 3; i < reply.elements.size(); ++i) {
      const auto point = PointValue(reply.elements[i]);
      if (!point) continue;
      anyValue = true;
      auto& known = last[point->first.toUpper()];
      if (known == point->second && round > 0) continue;
      known = point->second;
      Print(QStringLiteral("%1 %2=%3").arg(now, point->first, point->second));
    }
    const bool lastRound = options.count > 0 && round + 1 == options.count;
    if (round + 1 < kExplainAfterRounds && !lastRound) continue;
    for (const QString& entry : options.points) {
      const QString address = BraceGroups(PointEntry(entry)).value(1);
      if (last.count(address.toUpper()) || explained[address.toUpper()]) continue;
      explained[address.toUpper()] = true;
      const Reply read = host.Run(QStringLiteral("POINTGETVALUE"),
                                  {"COMMAND=POINTGETVALUE", "POINT=" + PointEntry(entry)});
      if (read.Status() == QLatin1String("TRUE")) continue;  // it came; the next round shows it
      const QString error = read.Error();
      Print(QStringLiteral("%1 %2: no value: %3%4")
                .arg(now, address, error.isEmpty() ? read.Status() : error,
                     host.Cause().replace(QLatin1String("\n  cause:"), QLatin1String(";"))));
    }
  }
  if (!anyValue)
    throw Failure(1, QStringLiteral("watch: no point got a value in %1 reads").arg(round));
  return 0;
}

int Run(const Options& options) {
  QDBusConnection connection =
      options.bus.isEmpty() || options.bus == QLatin1String("session")
          ? QDBusConnection::sessionBus()
      : options.bus == QLatin1String("system")
          ? QDBusConnection::systemBus()
          : QDBusConnection::connectToBus(options.bus, QStringLiteral("qmbctl"));
  if (!connection.isConnected()) {
    // Qt's own text talks of autolaunching with X11, which says nothing to someone on a console
    // or in ssh: say what is missing and the three ways to a bus.
    if (options.bus.isEmpty() || options.bus == QLatin1String("session")) {
      const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
      const QString why = address.isEmpty() ? QStringLiteral("DBUS_SESSION_BUS_ADDRESS is not set")
                                            : QStringLiteral("DBUS_SESSION_BUS_ADDRESS \"%1\": %2")
                                                  .arg(address, connection.lastError().message());
      throw Failure(3, QStringLiteral("no session bus is reachable (%1). Run inside one with "
                                      "\"dbus-run-session -- qmbctl ...\", name a bus with --bus "
                                      "ADDRESS, or reach another machine's driver with --ssh "
                                      "USER@HOST")
                           .arg(why));
    }
    throw Failure(3, QStringLiteral("cannot reach the bus %1: %2")
                         .arg(options.bus, connection.lastError().message()));
  }

  Host host(options, connection);
  host.Create();
  if (!host.Boolean("SetDriverOption", {"VERSIONCHECK=1.8"}))
    throw Failure(1, "the driver refused interface version 1.8");
  // The trace of what others opened needs no site; the driver object keeps the server up.
  const bool trace = options.command == QLatin1String("trace");
  if (trace && options.siteKeys.isEmpty()) return Trace(connection, options, options.traceSite);
  if (!host.Boolean("OpenSite", options.siteKeys))
    throw Failure(1, "the driver refused to open the site (see its log)");
  // The open's own outcome comes with the next status poll, whoever else uses the site.
  const Reply opened = host.Run(QStringLiteral("open"), {"COMMAND=COMMANDSTATUS"});
  if (opened.Status() == QLatin1String("LOCKED"))
    throw Failure(1, QStringLiteral("open: the site is locked: %1").arg(opened.Error()));
  if (opened.Status() == QLatin1String("FALSE"))
    throw Failure(
        1, (opened.Error().isEmpty() ? QStringLiteral("open failed")
                                     : QStringLiteral("open failed: %1").arg(opened.Error())) +
               host.Cause());
  if (options.command == QLatin1String("open")) {
    Print(QStringLiteral("site open"));
    return 0;
  }
  if (!options.points.isEmpty()) {
    QStringList list{"COMMAND=SENDPOINTSLIST"};
    for (qsizetype i = 0; i < options.points.size(); ++i)
      list.append(QStringLiteral("POINT%1=%2").arg(i).arg(PointEntry(options.points[i])));
    if (options.immediate) {
      if (host.List("ExecuteImmediate", list).Status() != QLatin1String("TRUE"))
        throw Failure(1, "the driver did not take the point list");
    } else {
      host.Succeed(QStringLiteral("SENDPOINTSLIST"), list);
    }
  }

  if (trace) {
    QString site = options.traceSite;
    for (const QString& key : options.siteKeys)
      if (site.isEmpty() && key.section(QLatin1Char('='), 0, 0).toUpper() == "DESCRIPTION")
        site = key.section(QLatin1Char('='), 1);
    return Trace(connection, options, site);
  }
  if (options.command == QLatin1String("watch")) return Watch(host, options);

  if (options.command == QLatin1String("raw")) {
    // The raw request as bytes back (RETURNASBYTES=FALSE asks for them, as the driver has it).
    QStringList list{"COMMAND=GETDATA", "DRIVERCOMMAND=SENDCOMMAND",
                     "COMMANDSTRING=" + options.rawRequest.toUpper(), "RETURNASBYTES=FALSE"};
    PrintResult(host.Succeed(QStringLiteral("raw"), list), options);
    return 0;
  }
  QStringList list{QStringLiteral("COMMAND=") + options.command};
  list.append(options.commandKeys);
  const Reply reply = host.Succeed(options.command, list);
  // The driver's success carries nothing; the operator wants to see what went to the device.
  if (options.command != QLatin1String("POINTMODIFY") || options.raw) {
    PrintResult(reply, options);
  } else {
    QString point;
    for (const QString& key : options.commandKeys)
      if (point.isEmpty() && key.startsWith(QLatin1String("POINT="))) point = key.mid(6);
    const QStringList groups = BraceGroups(point);
    const QString value = groups.value(2);
    Print(QStringLiteral("written: %1=%2")
              .arg(groups.value(1), value.contains(QLatin1Char('='))
                                        ? value.section(QLatin1Char('='), 1)
                                        : value.mid(1)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  try {
    const std::optional<Options> options = ParseOptions(QCoreApplication::arguments());
    if (!options) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (options->version) {
      std::printf("qmbctl %s\n", QMB_VERSION_TEXT);
      return 0;
    }
    return Run(*options);
  } catch (const Failure& failure) {
    Err(failure.text);
    if (failure.code == 2) std::fputs("Try \"qmbctl --help\".\n", stderr);
    return failure.code == 130 ? 130 : failure.code;
  }
}

#include "qmbctl.moc"

// qmbctl: the host command line for the ModBus Serial Driver. It does what a host application
// does over the bus: creates a driver object, passes the version check, opens a site from
// KEY=VALUE arguments, registers points, runs one command and polls COMMANDSTATUS until the
// driver answers TRUE or FALSE, then prints the result elements one per line. "watch" prints the
// registered points' values as they change. The driver object lives as long as this program's
// bus connection, so it is released however qmbctl ends. "trace" prints the frames the sites
// send and receive, live, from the server's Frame signals. "read", "write" and "subscribe" go
// through the typed interface instead: one call answered once with values typed by their
// address, and Changed signals for a subscription.
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
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
#include <QVariantMap>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/OpenSettings.h"
#include "host/TypedSites.h"
#include "links/TcpLink.h"

// One (point, value) of a typed Write, marshalled as (sv).
struct TypedWriteItem {
  QString point;
  QDBusVariant value;
};
Q_DECLARE_METATYPE(TypedWriteItem)

QDBusArgument& operator<<(QDBusArgument& argument, const TypedWriteItem& item) {
  argument.beginStructure();
  argument << item.point << item.value;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, TypedWriteItem& item) {
  argument.beginStructure();
  argument >> item.point >> item.value;
  argument.endStructure();
  return argument;
}

namespace {

constexpr const char* kUsage =
    "Usage: qmbctl [OPTIONS] [SITE-KEY=VALUE ...] [COMMAND [KEY=VALUE ...]]\n"
    "       qmbctl [OPTIONS] SITE-KEY=VALUE ... read|subscribe POINT ...\n"
    "       qmbctl [OPTIONS] SITE-KEY=VALUE ... write POINT=VALUE ...\n"
    "\n"
    "Opens a site on the ModBus Serial Driver (qormodbus) and runs one host command, or\n"
    "reads, writes or follows its points.\n"
    "The KEY=VALUE arguments before COMMAND describe the site (the driver's open keys:\n"
    "DESCRIPTION, BP3=TRUE and SP3=<address> for Modbus/TCP (TCPFRAMING=RTU for RTU frames\n"
    "over the connection, TCPUNIT=POINT for the slave prefix as unit id), COMPORT, BAUDRATE,\n"
    "BP2=TRUE for RTU, BP1=TRUE for RS-485, IP1 stop bits, IP2 parity, CONNECTIONTYPE=MODEM,\n"
    "PHONENUMBER, SP1/SP2 connect/disconnect strings, SP5 modem init, OFFLINE=TRUE,\n"
    "POLLMODE=FAST for block reads back to back, DECODE=TYPED for typed values, TIMEOUT=ms a\n"
    "device may take, RETRIES attempts of a read, GAP=ms between requests, CONNECTPAUSE=ms\n"
    "after a Modbus/TCP connect, ...); those after it go with the command.\n"
    "\n"
    "Commands:\n"
    "  open                  open the site and report the connection (the default)\n"
    "  watch                 print the --point values whenever they change, and why a point\n"
    "                        has none (Ctrl-C ends; exit 1 when no point got a value)\n"
    "  raw HEX               send a raw request on a serial or TCPFRAMING=RTU site: slave,\n"
    "                        function and data as hex, without checksum (raw 010300000002);\n"
    "                        prints the reply's bytes\n"
    "  trace [SITE]          print the frames the sites send (>) and receive (<) as they pass,\n"
    "                        of SITE only when given (Ctrl-C ends); with site keys, opens that\n"
    "                        site first (registering the --point list) and traces it.\n"
    "                        The server's own user sees every site,\n"
    "                        another user only the sites it has open\n"
    "  COMMAND [KEY=VALUE]   any host command: SITETIME, SITESTATUS, POINTVERIFY,\n"
    "                        POINTGETVALUE, POINTMODIFY, GETPOINTSLIST, GETDATA, GETALARMS, ...\n"
    "  read POINT...         read the points at once and print POINT=VALUE, one a line; a\n"
    "                        point without a value as \"POINT: why\" on standard error\n"
    "  write POINT=VALUE...  write the values, each as its point's type, in one call, and\n"
    "                        print \"written: POINT=VALUE\" for each\n"
    "  subscribe POINT...    print \"HH:MM:SS POINT=VALUE\" as the points change, all of them\n"
    "                        first (Ctrl-C, --count or --seconds ends)\n"
    "\n"
    "read, write and subscribe use the driver's typed interface: no command session, no\n"
    "polling. Values are typed by the address: bits print as true or false, numbers in\n"
    "decimal (a float in the shortest text that reads back the same value, NaN, Infinity,\n"
    "-Infinity), strings as they are; write reads them the same way (a bit also as 1, 0,\n"
    "on, off) and refuses a value its point's type cannot hold before anything is sent.\n"
    "Their site keys: DESCRIPTION, BP3=TRUE and SP3, COMPORT, BAUDRATE, BP2, IP1, IP2,\n"
    "BP1, CONNECTIONTYPE=MODEM and PHONENUMBER, POLLMODE; DESCRIPTION alone joins a site\n"
    "that is open already.\n"
    "\n"
    "Options:\n"
    "  --bus ADDRESS         session (default), system, or a D-Bus address\n"
    "  --ssh USER@HOST       the driver on another machine, over ssh (its user bus, through\n"
    "                        systemd-stdio-bridge there; D-Bus's unixexec transport)\n"
    "  --point ADDRESS       register a point first (repeatable): an address such as 1-HREG100,\n"
    "                        or a whole entry \"{label}{address}\"\n"
    "  --immediate           register the points with ExecuteImmediate (no command session)\n"
    "  --interval SECONDS    watch: time between reads (default 1); subscribe: the least\n"
    "                        time between two reports (default 0.1)\n"
    "  --count N             watch: stop after N reads; trace: after N frames; subscribe:\n"
    "                        after N reports\n"
    "  --seconds S           trace, subscribe: stop after S seconds\n"
    "  --max-age MS          read: a value read at most MS milliseconds ago will do\n"
    "                        (default 0: every point from the device)\n"
    "  --deadband D          subscribe: report a number only when it moved more than D\n"
    "  --timeout SECONDS     give up a command after this long (default 60)\n"
    "  --raw                 print every element of the final reply, status included\n"
    "  --verbose             show every bus call and reply on standard error\n"
    "  -h, --help            show this text\n"
    "  --version             show qmbctl's version\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n"
    "\n"
    "Point addresses: [PREFIX]KIND NUMBER[,FIRST,COUNT,TYPE]. PREFIX: a slave address and '-'\n"
    "(1-HREG100, 12-OUT5), or on a Modbus/TCP site [HOST]- for another device\n"
    "([10.0.0.7]-IREG3) or nothing (HREG4: unit 255 at the site's address); there a slave\n"
    "prefix is the unit id only with TCPUNIT=POINT or TCPFRAMING=RTU. KIND: OUT (coil),\n"
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
    "  Read a register and a float, write a float, follow two points:\n"
    "    qmbctl DESCRIPTION=Plant BP3=TRUE SP3=192.168.1.20 read HREG100 HREG200,0,32,FLOAT\n"
    "    qmbctl DESCRIPTION=Plant BP3=TRUE SP3=192.168.1.20 write HREG200,0,32,FLOAT=21.5\n"
    "    qmbctl DESCRIPTION=Plant BP3=TRUE SP3=192.168.1.20 subscribe --interval 1 HREG100 OUT3\n"
    "\n"
    "Exit status: 0 done; 1 the driver answered FALSE or LOCKED, or refused (the reason, the\n"
    "driver's COMMANDERROR, on standard error), or a point could not be read or written; 2\n"
    "bad usage, a site key value the driver cannot read, or a point or value that does not\n"
    "read as its type; 3 no bus or no driver server; 130 interrupted.\n";

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
  bool intervalGiven = false;
  uint32_t maxAgeMs = 0;
  std::optional<double> deadband;
  QStringList targets;  // read and subscribe: the points; write: POINT=VALUE
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
    "DECODE",      "WRITEFUNCTION", "TCPFRAMING",  "TCPUNIT",     "TIMEOUT",
    "RETRIES",     "GAP",           "CONNECTPAUSE"};
// The host commands the driver carries out, and qmbctl's own.
const QStringList kHostCommands = {"SITETIME",      "SITESTATUS",  "POINTVERIFY",
                                   "GETDATA",       "SENDDATA",    "SENDPOINTSLIST",
                                   "GETPOINTSLIST", "POINTMODIFY", "POINTGETDISABLED",
                                   "POINTGETVALUE", "GETALARMS"};
const QStringList kOwnCommands = {"open", "watch", "raw", "trace", "read", "write", "subscribe"};
// The commands on the typed interface.
const QStringList kTypedCommands = {"read", "write", "subscribe"};

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

// The typed commands' own rules, and options that would do nothing with the command given.
void CheckTypedUsage(const Options& options, bool maxAgeGiven, bool deadbandGiven) {
  const QString& command = options.command;
  if (maxAgeGiven && command != QLatin1String("read"))
    throw Failure(2, "--max-age goes with read only");
  if (deadbandGiven && command != QLatin1String("subscribe"))
    throw Failure(2, "--deadband goes with subscribe only");
  if (!kTypedCommands.contains(command)) return;
  if (!options.points.isEmpty())
    throw Failure(2, QStringLiteral("--point is for watch, trace and the host commands; %1 takes "
                                    "its points after the command")
                         .arg(command));
  if (options.targets.isEmpty())
    throw Failure(2, QStringLiteral("%1 needs at least one point").arg(command));
  const bool named = std::any_of(options.siteKeys.begin(), options.siteKeys.end(),
                                 [](const QString& key) { return key.startsWith("DESCRIPTION="); });
  if (!named) throw Failure(2, QStringLiteral("%1 needs the site's DESCRIPTION").arg(command));
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
  const QCommandLineOption maxAge(QStringLiteral("max-age"), QString(), QStringLiteral("MS"),
                                  QStringLiteral("0"));
  const QCommandLineOption deadband(QStringLiteral("deadband"), QString(), QStringLiteral("D"),
                                    QStringLiteral("0"));
  const QCommandLineOption raw(QStringLiteral("raw"));
  const QCommandLineOption verbose(QStringLiteral("verbose"));
  parser.addOptions({help, version, bus, ssh, point, immediate, interval, count, timeout, seconds,
                     maxAge, deadband, raw, verbose});
  if (!parser.parse(arguments)) throw Failure(2, parser.errorText());
  if (parser.isSet(help)) return std::nullopt;

  Options options;
  options.version = parser.isSet(version);
  if (parser.isSet(bus) && parser.isSet(ssh)) throw Failure(2, "give --bus or --ssh, not both");
  options.bus = parser.isSet(ssh) ? SshBusAddress(parser.value(ssh)) : parser.value(bus);
  options.points = parser.values(point);
  options.immediate = parser.isSet(immediate);
  // A subscription may report every 10 ms; watch's reads are whole command sessions.
  options.interval = Number(parser, interval, 0.01);
  options.intervalGiven = parser.isSet(interval);
  const double age = Number(parser, maxAge, 0);
  if (age > std::numeric_limits<uint32_t>::max() || age != std::floor(age))
    throw Failure(2, QStringLiteral("--max-age: give whole milliseconds, 0 to 4294967295"));
  options.maxAgeMs = static_cast<uint32_t>(age);
  if (parser.isSet(deadband)) options.deadband = Number(parser, deadband, 0);
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
      if (haveCommand && options.command == QLatin1String("write"))
        options.targets.append(argument);
      else if (haveCommand && kTypedCommands.contains(options.command))
        throw Failure(2, QStringLiteral("%1 takes point addresses, not %2 (site keys go before "
                                        "the command)")
                             .arg(options.command, argument));
      else
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
    } else if (options.command == QLatin1String("read") ||
               options.command == QLatin1String("subscribe")) {
      options.targets.append(argument);
    } else if (options.command == QLatin1String("write")) {
      throw Failure(2, QStringLiteral("write takes POINT=VALUE, not \"%1\"").arg(argument));
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
  if (options.command == QLatin1String("watch") && options.interval < 0.05)
    throw Failure(2, "--interval: watch reads at most every 0.05 s");
  CheckTypedUsage(options, parser.isSet(maxAge), parser.isSet(deadband));
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

// Runs the event loop (the signals' slots) until Ctrl-C, `seconds` (0: no limit), the bus
// connection's end, or `done` says so.
void RunUntil(const QDBusConnection& connection, double seconds,
              const std::function<bool()>& done) {
  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    const bool timeUp = seconds > 0 && clock.elapsed() >= seconds * 1000;
    if (interrupted || done() || timeUp || !connection.isConnected()) loop.quit();
  });
  tick.start(20);
  loop.exec();
}

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
  // A site that is not open (or not this client's to see) would only be waited for in silence.
  if (!site.isEmpty()) {
    const QDBusMessage sites = connection.call(
        QDBusMessage::createMethodCall(kService, kFactoryPath, interface, "TracedSites"),
        QDBus::Block, 30000);
    const QStringList open = sites.arguments().value(0).toStringList();
    if (sites.type() == QDBusMessage::ReplyMessage && !open.contains(site, Qt::CaseInsensitive))
      throw Failure(
          1, QStringLiteral("no site \"%1\" to trace: %2")
                 .arg(site, open.isEmpty() ? QStringLiteral("none is open that this client sees")
                                           : QStringLiteral("the open ones are \"%1\"")
                                                 .arg(open.join(QLatin1String("\", \"")))));
  }

  RunUntil(connection, options.seconds, [&printer] { return printer.Done(); });
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

// The typed interface: read, write and subscribe.

const QString kTypedPath = QStringLiteral("/QorModBus/Modbus1");
const QString kTypedManager = QStringLiteral("QorModBus.Modbus1.Manager");
const QString kTypedSite = QStringLiteral("QorModBus.Modbus1.Site");
const QString kTypedSubscription = QStringLiteral("QorModBus.Modbus1.Subscription");

// A site key and the open option it becomes. BP3, BP2 and CONNECTIONTYPE become none: they
// choose the Transport. `where` is the kind of site the key belongs to.
struct TypedKey {
  const char* key;
  const char* option;
  char kind;          // s text, l text in lower case, u number, y small number, b TRUE or FALSE,
                      // p parity 0-2, h Modbus/TCP address, - none
  const char* where;  // any, tcp, serial (rtu, ascii or modem), modem
};
constexpr TypedKey kTypedKeys[] = {{"DESCRIPTION", "Description", 's', "any"},
                                   {"POLLMODE", "Poll", 'l', "any"},
                                   {"BP3", nullptr, '-', "any"},
                                   {"SP3", nullptr, 'h', "tcp"},
                                   {"COMPORT", "ComPort", 'u', "serial"},
                                   {"BAUDRATE", "Baud", 'u', "serial"},
                                   {"BP2", nullptr, '-', "serial"},
                                   {"IP1", "StopBits", 'y', "serial"},
                                   {"IP2", "Parity", 'p', "serial"},
                                   {"BP1", "RS485", 'b', "serial"},
                                   {"CONNECTIONTYPE", nullptr, '-', "serial"},
                                   {"PHONENUMBER", "PhoneNumber", 's', "modem"},
                                   {"TIMEOUT", "TimeoutMs", 'u', "any"},
                                   {"RETRIES", "Retries", 'u', "any"},
                                   {"GAP", "GapMs", 'u', "any"},
                                   {"CONNECTPAUSE", "ConnectPauseMs", 'u', "tcp"},
                                   // The typed interface always takes the unit from the point.
                                   {"TCPUNIT", nullptr, '-', "tcp"},
                                   {"TCPFRAMING", nullptr, '-', "tcp"}};

// The typed interface's open options for the site keys, whose values CheckSiteKeys has read.
// `transport` is left empty when the keys name no link: the description alone joins a site that
// is open already. A key with no option, or one that does not belong to the site's kind, would
// be dropped without a word: it is refused instead.
QVariantMap TypedOpenOptions(const QStringList& siteKeys, QString& transport) {
  std::map<QString, QString> given;
  for (const QString& key : siteKeys)
    given[key.section(QLatin1Char('='), 0, 0)] = key.section(QLatin1Char('='), 1);
  const auto rule = [](const QString& key) {
    return std::find_if(std::begin(kTypedKeys), std::end(kTypedKeys),
                        [&key](const TypedKey& known) { return key == known.key; });
  };
  const auto is = [&given](const char* key, const char* value) {
    const auto found = given.find(QLatin1String(key));
    return found != given.end() && found->second == QLatin1String(value);
  };
  const bool serial = std::any_of(given.begin(), given.end(), [&rule](const auto& key) {
    const auto known = rule(key.first);
    return known != std::end(kTypedKeys) && known->where != std::string_view("any") &&
           known->where != std::string_view("tcp");
  });
  const auto framing = given.find(QStringLiteral("TCPFRAMING"));
  const bool rtuFrames = framing != given.end() && framing->second.toUpper() == "RTU";
  transport = is("BP3", "TRUE")               ? (rtuFrames ? "rtu-tcp" : "tcp")
              : is("CONNECTIONTYPE", "MODEM") ? "modem"
              : !serial                       ? ""
              : is("BP2", "TRUE")             ? "rtu"
                                              : "ascii";
  static const std::map<QString, QString> kKinds = {
      {"tcp", "a Modbus/TCP site (BP3=TRUE)"},
      {"serial", "a serial site (COMPORT=N), not a Modbus/TCP one"},
      {"modem", "a modem site (CONNECTIONTYPE=MODEM)"}};

  QVariantMap options;
  for (const auto& [key, value] : given) {
    const auto known = rule(key);
    if (known == std::end(kTypedKeys))
      throw Failure(2, QStringLiteral("site key %1 has no option on the typed interface that read, "
                                      "write and subscribe use (they take DESCRIPTION, BP3, SP3, "
                                      "COMPORT, BAUDRATE, BP2, IP1, IP2, BP1, CONNECTIONTYPE, "
                                      "PHONENUMBER, POLLMODE, TIMEOUT, RETRIES, GAP, "
                                      "CONNECTPAUSE, TCPFRAMING, TCPUNIT)")
                           .arg(key));
    const QString where = QLatin1String(known->where);
    const bool fits = where == "any" || where == transport ||
                      (where == "tcp" && transport == "rtu-tcp") ||
                      (where == "serial" && transport != "tcp" && !transport.isEmpty());
    if (!fits) throw Failure(2, QStringLiteral("site key %1 is for %2").arg(key, kKinds.at(where)));
    const QString option = QLatin1String(known->option);
    bool ok = true;
    switch (known->kind) {
      case 's':
        options[option] = value;
        break;
      case 'l':
        options[option] = value.toLower();
        break;
      case 'b':
        options[option] = value == QLatin1String("TRUE");
        break;
      case 'p':
        options[option] = QStringList{"none", "odd", "even"}.value(value.toInt());
        break;
      case 'y':
        options[option] = QVariant::fromValue(static_cast<uchar>(value.toUInt()));
        break;
      case 'u':
        options[option] = value.toUInt(&ok);
        break;
      case 'h': {
        std::string host;
        uint16_t port = 0;
        ok = qmb::SplitHostAndPort(value.toStdString(), host, port) && !host.empty();
        options[QStringLiteral("Host")] = QString::fromStdString(host);
        options[QStringLiteral("Port")] = QVariant::fromValue(static_cast<ushort>(port));
        break;
      }
      default:
        break;
    }
    if (!ok)
      throw Failure(2, QStringLiteral("%1=%2 is not %3")
                           .arg(key, value,
                                known->kind == 'h' ? "HOST, HOST:PORT or [IPV6]:PORT"
                                                   : "a whole number of 0 or more"));
  }
  if (!transport.isEmpty()) options[QStringLiteral("Transport")] = transport;
  return options;
}

// A point of a typed command: its address as given and the signature character of its value;
// for write, the value.
struct TypedTarget {
  QString address;
  char signature = 'q';
  QVariant value;
};

// A number in the shortest text that reads back to the same value (the driver gives a FLOAT as
// the double nearest its own shortest text, so that is the float's too); the special values as
// the driver's own texts have them, which from_chars reads back.
QString ValueText(const QVariant& value) {
  switch (value.metaType().id()) {
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
      // The shortest text that reads back to the value, as the driver writes floats.
      return QString::fromStdString(qmb::TypedScalarText(value.toDouble()));
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
      return QString::number(value.toULongLong());
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::LongLong:
      return QString::number(value.toLongLong());
    default:
      return value.toString();
  }
}

struct IntegerRange {
  char signature;
  long long low;
  unsigned long long high;
  QMetaType::Type type;  // what QtDBus sends with the signature
};
constexpr IntegerRange kIntegerRanges[] = {
    {'y', 0, 0xFF, QMetaType::UChar},
    {'n', std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(),
     QMetaType::Short},
    {'q', 0, 0xFFFF, QMetaType::UShort},
    {'i', std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), QMetaType::Int},
    {'u', 0, std::numeric_limits<uint32_t>::max(), QMetaType::UInt},
    {'x', std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
     QMetaType::LongLong},
    {'t', 0, std::numeric_limits<uint64_t>::max(), QMetaType::ULongLong}};

// The value a write sends for the text, typed by the target's signature; none, with what the type
// takes, when the text does not read as one.
std::optional<QVariant> ValueOf(const QString& text, const TypedTarget& target, QString& takes) {
  const QByteArray bytes = text.toUtf8();
  const char* begin = bytes.constData();
  const char* end = begin + bytes.size();
  if (target.signature == 's') return QVariant(text);
  if (target.signature == 'b') {
    takes = QStringLiteral("true or false (or 1, 0, on, off)");
    const QString word = text.toLower();
    if (word == "true" || word == "1" || word == "on") return QVariant(true);
    if (word == "false" || word == "0" || word == "off") return QVariant(false);
    return std::nullopt;
  }
  if (target.signature == 'd') {
    // The driver checks a FLOAT's range, at the float's own width.
    takes = QStringLiteral("a number");
    double value = 0;
    const std::from_chars_result read = std::from_chars(begin, end, value);
    if (bytes.isEmpty() || read.ec != std::errc() || read.ptr != end) return std::nullopt;
    return QVariant(value);
  }
  const IntegerRange& range =
      *std::find_if(std::begin(kIntegerRanges), std::end(kIntegerRanges),
                    [&target](const IntegerRange& r) { return r.signature == target.signature; });
  takes = QStringLiteral("a whole number from %1 to %2").arg(range.low).arg(range.high);
  const bool negative = text.startsWith(QLatin1Char('-'));
  long long below = 0;
  unsigned long long above = 0;
  const std::from_chars_result read =
      negative ? std::from_chars(begin, end, below) : std::from_chars(begin, end, above);
  if (bytes.isEmpty() || read.ec != std::errc() || read.ptr != end) return std::nullopt;
  if (negative ? below < range.low : above > range.high) return std::nullopt;
  // In range, the number converts to the signature's type without loss.
  QVariant value = negative ? QVariant(below) : QVariant(above);
  value.convert(QMetaType(range.type));
  return value;
}

// The command's points, each typed by its address as the driver types it; write's values read
// by that type. Nothing has been sent when one is refused.
std::vector<TypedTarget> Targets(const Options& options, bool tcp) {
  const bool write = options.command == QLatin1String("write");
  std::vector<TypedTarget> targets;
  for (const QString& argument : options.targets) {
    TypedTarget target;
    target.address = write ? argument.section(QLatin1Char('='), 0, 0) : argument;
    auto parsed = qmb::ParseTypedPoint(target.address.toStdString(), tcp);
    if (const auto* why = std::get_if<std::string>(&parsed))
      throw Failure(2, QStringLiteral("%1: %2").arg(options.command, QString::fromStdString(*why)));
    const auto& point = std::get<qmb::TypedPoint>(parsed);
    target.signature = qmb::kTypedScalarSignatures[point.valueIndex];
    if (write) {
      const QString text = argument.section(QLatin1Char('='), 1);
      QString takes;
      const std::optional<QVariant> value = ValueOf(text, target, takes);
      if (!value)
        throw Failure(2, QStringLiteral("write: %1: \"%2\" is not %3 (nothing was written)")
                             .arg(target.address, text, takes));
      target.value = *value;
    }
    targets.push_back(std::move(target));
  }
  return targets;
}

// One result of Read, or of a Changed signal (which leads with the point's index).
struct Reading {
  uint index = 0;
  QVariant value;
  qulonglong timeUs = 0;
  uint quality = 0;
  QString error;
  bool Good() const { return quality == 192 && error.isEmpty(); }
  QString Why() const {
    return error.isEmpty() ? QStringLiteral("quality %1").arg(quality) : error;
  }
};

std::vector<Reading> Readings(const QVariant& argument, bool indexed) {
  std::vector<Reading> readings;
  const QDBusArgument array = argument.value<QDBusArgument>();
  array.beginArray();
  while (!array.atEnd()) {
    Reading reading;
    QDBusVariant value;
    array.beginStructure();
    if (indexed) array >> reading.index;
    array >> value >> reading.timeUs >> reading.quality >> reading.error;
    array.endStructure();
    reading.value = value.variant();
    readings.push_back(std::move(reading));
  }
  array.endArray();
  return readings;
}

// A client of the typed interface. Its site and subscription are let go when it ends: the bus
// would end them when qmbctl leaves it, but the other hosts of the site should see it go now.
class TypedClient {
 public:
  TypedClient(QDBusConnection connection, const Options& options)
      : connection_(std::move(connection)), options_(options) {}
  ~TypedClient() {
    if (!connection_.isConnected()) return;
    for (const auto& [path, interface] :
         {std::pair{subscription_, kTypedSubscription}, std::pair{site_, kTypedSite}})
      if (!path.isEmpty()) {
        if (options_.verbose) Err(QStringLiteral("%1 %2.Close").arg(path, interface));
        connection_.call(QDBusMessage::createMethodCall(kService, path, interface, "Close"),
                         QDBus::Block, 5000);
      }
  }
  TypedClient(const TypedClient&) = delete;
  TypedClient& operator=(const TypedClient&) = delete;

  void Open(const QVariantMap& options) {
    const QDBusMessage reply =
        Call(kTypedPath, kTypedManager, "OpenSite", {options}, QStringLiteral("open"));
    site_ = reply.arguments().value(0).value<QDBusObjectPath>().path();
  }

  QString Transport() {
    const QDBusMessage reply =
        Call(site_, QStringLiteral("org.freedesktop.DBus.Properties"), "Get",
             {kTypedSite, QStringLiteral("Transport")}, QStringLiteral("open"));
    return reply.arguments().value(0).value<QDBusVariant>().variant().toString();
  }

  std::vector<Reading> Read(const QStringList& points, uint32_t maxAgeMs) {
    const QDBusMessage reply = Call(
        site_, kTypedSite, "Read", {points, QVariant::fromValue(maxAgeMs)}, QStringLiteral("read"));
    return Readings(reply.arguments().value(0), false);
  }

  void Write(const QList<TypedWriteItem>& values) {
    Call(site_, kTypedSite, "Write", {QVariant::fromValue(values)}, QStringLiteral("write"));
  }

  QString Subscribe(const QStringList& points, const QVariantMap& settings) {
    const QDBusMessage reply =
        Call(site_, kTypedSite, "Subscribe", {points, settings}, QStringLiteral("subscribe"));
    subscription_ = reply.arguments().value(0).value<QDBusObjectPath>().path();
    return subscription_;
  }

 private:
  // The call, awaited in an event loop so that Ctrl-C ends the wait; a bus error becomes the
  // failure that names it, with the exit status of its kind.
  QDBusMessage Call(const QString& path, const QString& interface, const char* member,
                    const QVariantList& arguments, const QString& what) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, member);
    call.setArguments(arguments);
    if (options_.verbose) Err(QStringLiteral("%1 %2.%3").arg(path, interface, member));
    const int timeoutMs = static_cast<int>(std::min(options_.timeout * 1000, 2e9));
    QDBusPendingCall pending = connection_.asyncCall(call, timeoutMs);
    QDBusPendingCallWatcher watcher(pending);
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&loop] {
      if (interrupted) loop.quit();
    });
    tick.start(20);
    if (!pending.isFinished()) loop.exec();
    if (!pending.isFinished()) throw Failure(130, QStringLiteral("interrupted"));
    const QDBusMessage reply = pending.reply();
    if (options_.verbose)
      Err(QStringLiteral("  -> %1").arg(reply.type() == QDBusMessage::ErrorMessage
                                            ? reply.errorName() + ": " + reply.errorMessage()
                                            : QStringLiteral("done")));
    if (reply.type() != QDBusMessage::ErrorMessage) return reply;

    const QString name = reply.errorName();
    const auto dbusError = [&name](const char* error) {
      return name == QLatin1String("org.freedesktop.DBus.Error.") + QLatin1String(error);
    };
    if (dbusError("InvalidArgs")) throw Failure(2, what + ": " + reply.errorMessage());
    if (dbusError("NoReply") || dbusError("Timeout"))
      throw Failure(1, QStringLiteral("%1: no answer within %2 s").arg(what).arg(options_.timeout));
    if (dbusError("ServiceUnknown") || dbusError("NameHasNoOwner") || dbusError("Disconnected") ||
        name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn")))
      throw Failure(3, QStringLiteral("no driver server on the bus (%1); start qormodbus, or "
                                      "register it once with \"qormodbus -RegServer\"")
                           .arg(reply.errorMessage()));
    if (path == kTypedPath &&
        (dbusError("UnknownObject") || dbusError("UnknownInterface") || dbusError("UnknownMethod")))
      throw Failure(3, QStringLiteral("the driver server has no typed interface (%1)")
                           .arg(reply.errorMessage()));
    throw Failure(1, what + ": " + reply.errorMessage());
  }

  QDBusConnection connection_;
  const Options& options_;
  QString site_;
  QString subscription_;
};

void PrintError(const QString& line) {
  std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int Read(TypedClient& client, const std::vector<TypedTarget>& targets, const Options& options) {
  QStringList points;
  for (const TypedTarget& target : targets) points.append(target.address);
  const std::vector<Reading> readings = client.Read(points, options.maxAgeMs);
  if (readings.size() != targets.size())
    throw Failure(1, QStringLiteral("read: the driver answered %1 values for %2 points")
                         .arg(readings.size())
                         .arg(targets.size()));
  bool bad = false;
  for (size_t i = 0; i < targets.size(); ++i) {
    const Reading& reading = readings[i];
    if (reading.Good())
      Print(targets[i].address + '=' + ValueText(reading.value));
    else
      PrintError(targets[i].address + ": " + reading.Why());
    bad |= !reading.Good();
  }
  return bad ? 1 : 0;
}

int Write(TypedClient& client, const std::vector<TypedTarget>& targets) {
  QList<TypedWriteItem> values;
  for (const TypedTarget& target : targets)
    values.append({target.address, QDBusVariant(target.value)});
  client.Write(values);
  for (const TypedTarget& target : targets)
    Print(QStringLiteral("written: %1=%2").arg(target.address, ValueText(target.value)));
  return 0;
}

// Prints the Changed signals of one subscription: "HH:MM:SS POINT=VALUE" a change, at the time
// the value was read. A signal may come before Subscribe's reply has been taken in (the server
// sends the first values right after it): those are held until the subscription's path is known.
class ChangePrinter : public QObject {
  Q_OBJECT
 public:
  ChangePrinter(const std::vector<TypedTarget>& targets, long count)
      : targets_(targets), count_(count) {}
  void Follow(const QString& path) {
    path_ = path;
    for (const QDBusMessage& message : std::exchange(held_, {})) Changed(message);
  }
  long Reports() const { return reports_; }
  bool Done() const { return count_ > 0 && reports_ >= count_; }

 public Q_SLOTS:
  void Changed(const QDBusMessage& message) {
    if (path_.isEmpty()) return held_.push_back(message);
    if (message.path() != path_ || Done()) return;
    ++reports_;
    for (const Reading& reading : Readings(message.arguments().value(0), true)) {
      if (reading.index >= targets_.size()) continue;
      const TypedTarget& target = targets_[reading.index];
      // A point that was never read has no time of its own: it is reported now.
      const QDateTime when =
          reading.timeUs
              ? QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(reading.timeUs / 1000))
              : QDateTime::currentDateTime();
      const QString time = when.toString(QStringLiteral("HH:mm:ss"));
      Print(reading.Good()
                ? QStringLiteral("%1 %2=%3").arg(time, target.address, ValueText(reading.value))
                : QStringLiteral("%1 %2: %3").arg(time, target.address, reading.Why()));
    }
  }

 private:
  const std::vector<TypedTarget>& targets_;
  long count_;
  long reports_ = 0;
  QString path_;
  std::vector<QDBusMessage> held_;
};

int Subscribe(TypedClient& client, QDBusConnection& connection,
              const std::vector<TypedTarget>& targets, const Options& options) {
  ChangePrinter printer(targets, options.count);
  // Listening before subscribing, on any path: the subscription's is not known yet.
  if (!connection.connect(kService, QString(), kTypedSubscription, QStringLiteral("Changed"),
                          &printer, SLOT(Changed(QDBusMessage))))
    throw Failure(
        3, QStringLiteral("cannot listen for changes: %1").arg(connection.lastError().message()));
  QDBusServiceWatcher server(kService, connection, QDBusServiceWatcher::WatchForUnregistration);
  bool serverLeft = false;
  QObject::connect(&server, &QDBusServiceWatcher::serviceUnregistered,
                   [&serverLeft] { serverLeft = true; });

  QStringList points;
  for (const TypedTarget& target : targets) points.append(target.address);
  QVariantMap settings;
  if (options.intervalGiven)
    settings[QStringLiteral("IntervalMs")] = static_cast<uint>(
        std::min(std::round(options.interval * 1000), double{std::numeric_limits<uint>::max()}));
  if (options.deadband) settings[QStringLiteral("Deadband")] = *options.deadband;
  printer.Follow(client.Subscribe(points, settings));

  RunUntil(connection, options.seconds, [&] { return printer.Done() || serverLeft; });
  if (serverLeft || !connection.isConnected())
    throw Failure(3, "subscribe: the driver server left the bus");
  if (interrupted) return 130;
  if (printer.Reports() == 0)
    throw Failure(1, QStringLiteral("subscribe: no report within %1 s").arg(options.seconds));
  return 0;
}

int RunTyped(QDBusConnection& connection, const Options& options) {
  QString transport;
  const QVariantMap open = TypedOpenOptions(options.siteKeys, transport);
  // When the keys tell the site's kind, the points are checked before anything is opened; a
  // site joined by its description alone is asked for its kind.
  std::vector<TypedTarget> targets;
  if (!transport.isEmpty()) targets = Targets(options, transport == QLatin1String("tcp"));
  TypedClient client(connection, options);
  try {
    client.Open(open);
  } catch (Failure& failure) {
    if (transport.isEmpty() && failure.code == 2)
      failure.text +=
          "; the site is not open: describe its link with BP3=TRUE SP3=HOST[:PORT] "
          "or COMPORT=N";
    throw;
  }
  if (targets.empty()) targets = Targets(options, client.Transport() == QLatin1String("tcp"));
  if (options.command == QLatin1String("read")) return Read(client, targets, options);
  if (options.command == QLatin1String("write")) return Write(client, targets);
  return Subscribe(client, connection, targets, options);
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

  if (kTypedCommands.contains(options.command)) return RunTyped(connection, options);

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
  qDBusRegisterMetaType<TypedWriteItem>();
  qDBusRegisterMetaType<QList<TypedWriteItem>>();
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

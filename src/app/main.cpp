// qormodbus: the driver's process. It serves host clients on the bus (session bus by default),
// registers itself so that the bus can start it on a host's first call, and ends on the last
// release when the bus started it. See "qormodbus --help".
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/InProcessDemo.h"
#include "app/ServerState.h"
#include "host/Registration.h"
#include "host/bus/BusServer.h"
#include "host/mqtt/MosquittoClient.h"
#include "host/mqtt/MqttBridge.h"
#include "platform/Locale.h"
#include "platform/Log.h"
#include "platform/ServerLog.h"
#include "platform/qt/EpollEventDispatcher.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClient.h"
#include "sites/EngineRegistry.h"
#include "ui/MainWindow.h"

namespace {

using namespace qmb;

// A bus-started server that no host has asked for an object within this time ends by itself
// (a stray introspection or ping would otherwise leave it running for good). The next host call
// starts a new one.
constexpr int kUnusedAutomationServerSeconds = 120;
// How long a bus-started server waits after its last driver object went before it ends.
constexpr int kAutomationLingerMs = 2000;

constexpr const char* kUsage =
    "Usage: qormodbus [SWITCH] [OPTIONS]\n"
    "\n"
    "The ModBus Serial Driver's server: hosts reach it on the bus under the name\n"
    "QorModBus.QorModBusCom (factory object /QorModBus/QorModBusCom).\n"
    "\n"
    "Start switches (\"-\" or \"/\" and the word in any letter case; the first of this list\n"
    "that is present decides):\n"
    "  -Automation, -Embedding  serve hosts; end when the last driver object is released\n"
    "                           (the bus starts the server this way)\n"
    "  -RegServer               register and exit: writes the bus activation file and the\n"
    "                           interface description under $XDG_DATA_HOME/dbus-1\n"
    "                           (default ~/.local/share/dbus-1)\n"
    "  -UnregServer             remove both files and exit\n"
    "  (none)                   serve hosts until stopped (Ctrl-C, SIGTERM)\n"
    "Every start except -UnregServer (re)writes the registration, unless an installed\n"
    "activation file ($XDG_DATA_DIRS/dbus-1/services) already starts this program.\n"
    "\n"
    "Options:\n"
    "  --bus ADDRESS     the bus to serve: session (default), system, or a D-Bus address\n"
    "                    such as unix:path=/run/user/1000/bus\n"
    "  --log LIST        log categories and levels, as QORMODBUS_LOG (below)\n"
    "  --no-window       no windows even on a desktop (without DISPLAY or WAYLAND_DISPLAY\n"
    "                    there are none anyway)\n"
    "  --test-address HOST[:PORT]\n"
    "                    where the site windows' test connection goes (192.168.1.100:502)\n"
    "  --screenshot FILE after --screenshot-delay seconds (default 5) save a picture of the\n"
    "                    main window to FILE (PNG) and end; works without a display\n"
    "  --log-file PATH   also log to this file; a bus-started server logs to\n"
    "                    ~/.local/state/qormodbus/qormodbus.log and the system log\n"
    "  --mqtt FILE       also publish the points FILE names to an MQTT broker and take\n"
    "                    writes from it (a TOML file; see qormodbus(8) and the example\n"
    "                    qormodbus-mqtt.toml installed with the documentation)\n"
    "  --demo            run one host session in-process against an offline site and print\n"
    "                    every reply (no bus needed)\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Environment: QORMODBUS_LOGLEVEL=debug|info|warning|error (default info);\n"
    "  QORMODBUS_LOG=CATEGORY[=LEVEL],... per category: events, bus (bus calls), trace (every\n"
    "  Modbus frame in hex; off by default), e.g. QORMODBUS_LOG=trace,bus=debug.\n"
    "Hosts and scripts drive the server with qmbctl (see qmbctl --help).\n";

struct Options {
  StartMode mode = StartMode::Standalone;
  QString bus;
  std::string logFile;
  std::string logCategories;
  bool noWindow = false;
  std::string testAddress;
  std::string screenshot;
  int screenshotDelay = 5;
  bool demo = false;
  std::string mqttFile;
  std::optional<MqttConfig> mqtt;  // read from mqttFile before the server starts
  bool help = false;
  bool version = false;
};

// Returns false with a message for anything it does not know: a mistyped option must not start
// a server that does something else than was asked.
bool ParseOptions(const QStringList& arguments, Options& options, std::string& error) {
  std::vector<std::string> switches;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString argument = arguments.at(i);
    auto value = [&](const char* name, QString& out) {
      const QString prefix = QString::fromLatin1(name) + QLatin1Char('=');
      if (argument.startsWith(prefix)) {
        out = argument.mid(prefix.size());
        return true;
      }
      if (argument != QLatin1String(name)) return false;
      if (i + 1 >= arguments.size()) {
        error = std::string(name) + " needs a value";
        out.clear();
        return true;
      }
      out = arguments.at(++i);
      return true;
    };
    QString text;
    if (value("--bus", text)) {
      if (!error.empty()) return false;
      options.bus = text;
    } else if (value("--log", text)) {
      if (!error.empty()) return false;
      options.logCategories = text.toStdString();
      if (!qmb::ConfigureLogCategories(options.logCategories)) {
        error = "--log: \"" + options.logCategories +
                "\" is no list of category=level (events, bus, trace; debug, info, warning, "
                "error, off)";
        return false;
      }
    } else if (argument == QLatin1String("--no-window")) {
      options.noWindow = true;
    } else if (value("--mqtt", text)) {
      if (!error.empty()) return false;
      options.mqttFile = text.toStdString();
    } else if (value("--test-address", text)) {
      if (!error.empty()) return false;
      options.testAddress = text.toStdString();
    } else if (value("--screenshot", text)) {
      if (!error.empty()) return false;
      options.screenshot = text.toStdString();
    } else if (value("--screenshot-delay", text)) {
      if (!error.empty()) return false;
      bool ok = false;
      options.screenshotDelay = text.toInt(&ok);
      if (!ok || options.screenshotDelay < 0) {
        error = "--screenshot-delay needs a number of seconds";
        return false;
      }
    } else if (value("--log-file", text)) {
      if (!error.empty()) return false;
      options.logFile = text.toStdString();
    } else if (argument == QLatin1String("--demo")) {
      options.demo = true;
    } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      options.help = true;
    } else if (argument == QLatin1String("--version")) {
      options.version = true;
    } else if (IsStartSwitch(argument.toStdString())) {
      switches.push_back(argument.toStdString());
    } else {
      error = "unknown argument \"" + argument.toStdString() + "\"";
      return false;
    }
  }
  options.mode = StartModeFromArguments(switches);
  return true;
}

// The bus to serve: "session", "system" or an address, with its name for the log.
QString BusAddress(const Options& options, QString& description) {
  QString address = options.bus;
  // The bus that started us is the one to serve, whichever bus the session's variables name.
  if (address.isEmpty() && options.mode == StartMode::Automation)
    address = qEnvironmentVariable("DBUS_STARTER_ADDRESS");
  if (address.isEmpty() || address == QLatin1String("session")) {
    description = QStringLiteral("the session bus");
    return QStringLiteral("session");
  }
  description = address == QLatin1String("system") ? QStringLiteral("the system bus") : address;
  return address;
}

// SIGINT, SIGTERM and SIGHUP end the server through the event loop, so that objects are released
// and engines closed as on any other end.
int signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  const int saved = errno;
  [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
  errno = saved;
}

std::unique_ptr<QSocketNotifier> WatchTerminationSignals() {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return nullptr;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  auto notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [] {
    unsigned char byte = 0;
    if (read(signalPipe[0], &byte, 1) == 1)
      LogInfo("Signal " + std::to_string(byte) + " received: ending");
    QCoreApplication::exit(0);
  });
  return notifier;
}

void UpdateRegistration(StartMode mode, int& exitCode) {
  std::string error;
  if (mode == StartMode::Unregister) {
    if (UnregisterServer(error)) {
      LogInfo("Registration of " + std::string(kBusName) + " removed");
    } else {
      // Asked for explicitly: a removal that did not happen is reported as such.
      LogError("Unregistering failed: " + error);
      exitCode = 1;
    }
    return;
  }
  const std::string program = QCoreApplication::applicationFilePath().toStdString();
  if (mode != StartMode::Register) {
    // Installed with its own activation file: a per-user one written now would be read first and
    // take the bus's starts away from the installed file and its systemd unit.
    if (const std::string installed = InstalledActivationFile(program); !installed.empty()) {
      std::string dataHomeError;
      const RegistrationFiles files = RegistrationPaths(DataHome(dataHomeError));
      LogInfo("Registration left to the installed activation file " + installed);
      if (std::error_code ignored; std::filesystem::exists(files.serviceFile, ignored))
        LogInfo("A registration of the user's, " + files.serviceFile +
                ", is read before it; \"qormodbus -UnregServer\" removes it");
      return;
    }
  }
  const QString xml = BuiltInIntrospectionXml();
  if (xml.isEmpty()) error = "the built-in interface description is missing";
  if (error.empty() && RegisterServer(program, xml.toStdString(), error)) {
    std::string dataHomeError;
    const RegistrationFiles files = RegistrationPaths(DataHome(dataHomeError));
    LogInfo("Registered " + std::string(kBusName) + " (" + program + "): " + files.serviceFile +
            ", " + files.interfaceFile);
    return;
  }
  if (mode == StartMode::Register) {
    LogError("Registering failed: " + error);
    exitCode = 1;
  } else {
    // A user who cannot write the registration still gets a working server.
    LogInfo("Registration not updated: " + error);
  }
}

int RunLoop(BusServer& server) {
  const std::unique_ptr<QSocketNotifier> terminationWatch = WatchTerminationSignals();
  const int result = QCoreApplication::exec();
  server.ReleaseName();
  LogInfo("Server ended (" + std::to_string(server.Registry().ObjectCount()) +
          " driver object(s) still alive are released)");
  return result;
}

// Serves hosts until the loop ends.
int Serve(const Options& options, const TMainForm& mainForm, ServerState& state, BusServer& server,
          const QString& busDescription) {
  state.objectCount = [&server] { return server.Registry().ObjectCount(); };
  QString error;
  if (!server.Start(error)) {
    LogError("Cannot serve on " + busDescription.toStdString() + ": " + error.toStdString());
    return 1;
  }
  LogInfo(mainForm.Caption() + " serving on " + busDescription.toStdString() + " (" +
          StartModeName(options.mode) + " start, process " + std::to_string(getpid()) + ")");

  if (options.mode == StartMode::Automation) {
    // Only a server the bus started ends with its last object. It ends a moment after the last
    // release rather than at once: a host that releases and creates again right away (a script
    // running qmbctl twice) would otherwise reach this process by the bus name while it ends,
    // and its next call a newly started server that knows nothing of its object.
    QTimer linger;
    linger.setSingleShot(true);
    linger.setInterval(kAutomationLingerMs);
    QObject::connect(&linger, &QTimer::timeout, [&server] {
      if (server.Registry().ObjectCount() != 0) return;
      LogInfo("Last driver object released: ending");
      // The name goes first, so that the next host call starts a new server.
      server.ReleaseName();
      QCoreApplication::exit(0);
    });
    server.OnObjectCountChanged = [&linger](size_t count) {
      if (count == 0) linger.start();
    };
    QTimer unused;
    unused.setSingleShot(true);
    QObject::connect(&unused, &QTimer::timeout, [&server] {
      if (server.Registry().CreatedCount() != 0) return;
      LogInfo("No host asked for a driver object since the start: ending");
      server.ReleaseName();
      QCoreApplication::exit(0);
    });
    unused.start(kUnusedAutomationServerSeconds * 1000);
    const int result = RunLoop(server);
    server.OnObjectCountChanged = nullptr;  // the timer goes before the server
    return result;
  }
  return RunLoop(server);
}

int RunServer(const Options& options) {
  QString busDescription;
  const QString address = BusAddress(options, busDescription);
  QString error;
  SdBusConnection connection = ConnectSdBus(address, error);
  if (!connection) {
    LogError("Cannot connect to " + busDescription.toStdString() + ": " + error.toStdString());
    return 1;
  }

  ServerState state;
  state.mode = options.mode;
  QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  QtMessageLoop loop;
  QtSerialPortFactory serialPorts;
  QtTcpClientFactory tcpClients;
  TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                     QCoreApplication::applicationFilePath().toStdString());
  if (!options.testAddress.empty()) mainForm.SetTestAddress(options.testAddress);
  // The windows, when the program has a display (or draws off screen for a picture): the main
  // window follows mainForm's engines and visibility, and asks before it ends a server that
  // host objects still use. Without one the server runs the same, with no window created.
  std::unique_ptr<ui::MainWindow> window;
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
    window = std::make_unique<ui::MainWindow>(mainForm,
                                              [&state] { return state.CloseNeedsConfirmation(); });
    if (mainForm.Visible()) window->show();
  }
  QTimer screenshot;
  if (window && !options.screenshot.empty()) {
    screenshot.setSingleShot(true);
    QObject::connect(&screenshot, &QTimer::timeout, [&window, &options] {
      // The picture shows every site window whole; the grown window is laid out before it is
      // drawn.
      window->ShowEverySiteWindowWhole();
      QTimer::singleShot(200, window.get(), [&window, &options] {
        const bool saved = window->grab().save(QString::fromStdString(options.screenshot), "PNG");
        if (saved)
          LogInfo("Main window saved to " + options.screenshot);
        else
          LogError("Cannot save the main window to " + options.screenshot);
        QCoreApplication::exit(saved ? 0 : 1);
      });
    });
    screenshot.start(options.screenshotDelay * 1000);
  }

  // Without its bus the server has no one to serve.
  QTimer busLost;
  busLost.setSingleShot(true);
  QObject::connect(&busLost, &QTimer::timeout, [] {
    LogError("The bus connection was lost: ending");
    QCoreApplication::exit(1);
  });

  BusServer server(mainForm, loop, std::move(connection));
  server.OnDisconnected = [&busLost] { busLost.start(); };
  // The MQTT bridge is one more host of the typed sites the bus serves: the same engines, locks
  // and Block switch. It starts with the loop and says "offline" before the server ends.
  std::unique_ptr<MosquittoClient> mqttClient;
  std::unique_ptr<MqttBridge> bridge;
  if (options.mqtt)
    // Once the loop runs the bus is served and its typed sites exist.
    loop.Post([&] {
      mqttClient = std::make_unique<MosquittoClient>(
          loop, options.mqtt->broker, MqttBridge::NodeTopic(*options.mqtt), "offline");
      bridge =
          std::make_unique<MqttBridge>(*options.mqtt, server.Typed().Sites(), loop, *mqttClient);
      bridge->Start();
    });
  const int result = Serve(options, mainForm, state, server, busDescription);
  if (bridge) bridge->Stop();
  return result;
}

// Windows are made when there is somewhere to show them: a desktop (DISPLAY, WAYLAND_DISPLAY),
// a platform named on purpose (QT_QPA_PLATFORM, e.g. offscreen), or a picture asked for.
bool WantsWindows(const Options& options) {
  if (options.noWindow || options.demo || options.help || options.version) return false;
  if (options.mode == StartMode::Register || options.mode == StartMode::Unregister) return false;
  if (!options.screenshot.empty()) return true;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  Options options;
  std::string error;
  const bool parsed = ParseOptions(arguments, options, error);
  const bool windows = parsed && WantsWindows(options);
  if (windows && !options.screenshot.empty() && !std::getenv("DISPLAY") &&
      !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");  // a picture needs no desktop
  std::unique_ptr<QCoreApplication> app;
  if (windows) {
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    // Without windows the loop waits on its descriptors with epoll: a wake-up costs what is
    // ready, not every site's socket (the windows need Qt's own dispatcher).
    QCoreApplication::setEventDispatcher(new qmb::EpollEventDispatcher);
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  std::setlocale(LC_NUMERIC, "");
  qmb::LoadDecimalSeparatorFromEnvironment();
  // Every conversion the driver does itself is locale-free; only the separator is taken over.
  std::setlocale(LC_NUMERIC, "C");
  // Site times are written in the date and time forms of the environment's LC_TIME locale.
  const std::string timeLocale = qmb::TimeLocaleNameFromEnvironment();
  const bool timeLocaleLoaded = qmb::SetTimeLocale(timeLocale);

  if (!parsed) {
    std::fprintf(stderr, "qormodbus: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("qormodbus %s\n", QMB_VERSION_TEXT);
    return 0;
  }

  if (!options.mqttFile.empty()) {
    // A bad file stops the start: better now, on the operator's screen, than a silent broker.
    auto config = qmb::LoadMqttConfig(options.mqttFile);
    if (const auto* why = std::get_if<std::string>(&config)) {
      std::fprintf(stderr, "qormodbus: %s\n", why->c_str());
      return 2;
    }
    options.mqtt = std::get<qmb::MqttConfig>(std::move(config));
  }

  if (options.demo) {
    qmb::QtMessageLoop loop;
    qmb::QtSerialPortFactory serialPorts;
    qmb::QtTcpClientFactory tcpClients;
    qmb::TMainForm mainForm(loop, loop, serialPorts, tcpClients,
                            QCoreApplication::applicationFilePath().toStdString());
    int result = 0;
    QTimer::singleShot(0, [&] {
      result = qmb::RunInProcessDemo(mainForm);
      QCoreApplication::exit(result);
    });
    const int loopResult = QCoreApplication::exec();
    return result ? result : loopResult;
  }

  // A server the bus started has its output discarded: it logs where a user can read it.
  qmb::ServerLogOptions logOptions;
  logOptions.toSystemLog = options.mode == qmb::StartMode::Automation;
  logOptions.logFile = options.logFile;
  if (logOptions.logFile.empty() && options.mode == qmb::StartMode::Automation)
    logOptions.logFile = qmb::DefaultServerLogFile();
  if (!qmb::InstallServerLog(logOptions, error)) qmb::LogWarning(error);
  if (!timeLocaleLoaded)
    qmb::LogWarning("The time locale \"" + timeLocale +
                    "\" is not on this machine: site times are written as yyyy-MM-dd HH:mm:ss");

  int exitCode = 0;
  UpdateRegistration(options.mode, exitCode);
  if (options.mode == qmb::StartMode::Register || options.mode == qmb::StartMode::Unregister)
    return exitCode;
  return RunServer(options);
}

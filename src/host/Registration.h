// Server start-up switches and registration with the bus: the activation file that lets the bus
// start the server on a host's first call, and the introspection XML that describes the server's
// interfaces (this platform's type library). No Qt here: main() and the tests drive it directly.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qmb {

// Well-known bus name and object paths.
inline constexpr const char* kBusName = "QorModBus.QorModBusCom";
inline constexpr const char* kFactoryPath = "/QorModBus/QorModBusCom";

// Identifiers of the class and its type library, written into the activation file's comment so a
// user can tell what registered it; the introspection XML carries them too.
inline constexpr const char* kClassName = "QorModBusCom";
inline constexpr const char* kClassDescription = "QorModBusCom Object";
inline constexpr const char* kClassId = "{50E245AB-DF62-4EF8-8836-4099061B67FF}";
inline constexpr const char* kTypeLibraryName = "QorModBus";
inline constexpr const char* kTypeLibraryId = "{9C0B2C8B-460D-4557-B7BC-CA64908FFF16}";
inline constexpr int kTypeLibraryMajor = 1;
inline constexpr int kTypeLibraryMinor = 0;

enum class StartMode { Standalone, Automation, Register, Unregister };

// True when the argument is a start switch: "-" or "/" followed by AUTOMATION, EMBEDDING,
// REGSERVER or UNREGSERVER, ignoring case.
bool IsStartSwitch(const std::string& argument);
// The start mode the arguments ask for. The switches are tested in the order above and the first
// one present decides; without any the server runs standalone.
StartMode StartModeFromArguments(const std::vector<std::string>& arguments);
const char* StartModeName(StartMode mode);

// Where registration writes its two files.
struct RegistrationFiles {
  std::string serviceFile;    // <data home>/dbus-1/services/QorModBus.QorModBusCom.service
  std::string interfaceFile;  // <data home>/dbus-1/interfaces/QorModBus.QorModBusCom.xml
};

// The user's data directory: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share
// ($HOME, or the password database when HOME is unset). Empty with an error text when neither
// can be found.
std::string DataHome(std::string& error);
RegistrationFiles RegistrationPaths(const std::string& dataHome);

// The argument as the bus daemon splits an Exec= command back into words: unchanged when it holds
// only harmless characters, else in single quotes. Nothing when it cannot be written on one line.
std::optional<std::string> QuoteExecArgument(const std::string& argument);
// The activation file's text for the given executable (an absolute path); the Exec= value is the
// quoted path with the key file's backslash escapes.
std::optional<std::string> ServiceFileText(const std::string& executablePath, std::string& error);

// The activation file installed with the program (the package's, in a system data directory of
// $XDG_DATA_DIRS, default /usr/local/share:/usr/share) when it starts this very executable; empty
// when there is none. A start then leaves the user's registration alone: that one would be read
// first and bypass the installed file (and its systemd unit).
std::string InstalledActivationFile(const std::string& executablePath);

// Writes both files (each replaced atomically). False with a reason on failure.
bool RegisterServer(const std::string& executablePath, const std::string& introspectionXml,
                    std::string& error);
// Removes both files; files that are not there are no error.
bool UnregisterServer(std::string& error);

}  // namespace qmb

// Where a COM number's device is: the entry COMn in one of three folders of links, else the
// fixed serial port /dev/ttyS(n-1). The folders, in this order:
//   1. $QORMODBUS_COMDIR: whoever starts the server named it, so it beats everything else;
//   2. COMDIR in the user's config file ($XDG_CONFIG_HOME/qormodbus/qormodbus.conf, by default
//      ~/.config/qormodbus/qormodbus.conf);
//   3. /dev/qormodbus, where a udev rule links adapters by their serial number.
// The first folder that holds COMn wins; a folder without it is passed over, so a link that
// exists always beats the fallback. An entry counts as soon as it exists, even dangling: a link
// whose device is gone must fail the open rather than send the bytes to /dev/ttyS(n-1), which is
// another device.
#pragma once

#include <string>

namespace qmb {

inline constexpr const char* kDefaultComDir = "/dev/qormodbus";

// The places a lookup consults; tests fill them by hand.
struct ComPortPlaces {
  std::string environmentDir;  // $QORMODBUS_COMDIR; empty when unset
  std::string configFile;      // the config file (which need not exist); empty for none
  std::string defaultDir = kDefaultComDir;

  // From this process's environment, read at each call so that a changed file counts at the
  // next open.
  static ComPortPlaces FromEnvironment();
};

struct ComPortLookup {
  std::string path;      // what to open: COMn in a folder, or /dev/ttyS(n-1); empty below 1
  bool viaLink = false;  // found in one of the folders
  std::string source;    // where it was found: "$QORMODBUS_COMDIR", "config COMDIR in FILE", ...
  std::string tried;     // the places passed over before it, for the log

  // How the device was chosen: "from /dev/qormodbus; tried $QORMODBUS_COMDIR unset, config
  // COMDIR unset". A server the bus started has not the operator's shell environment, so a
  // failure names this beside its reason: COM1 on /dev/ttyS0 is the machine's own port.
  std::string How() const;
  // One line for the log: "COM3: /dev/qormodbus/COM3 -> /dev/ttyUSB0 (from /dev/qormodbus;
  // tried $QORMODBUS_COMDIR unset, config COMDIR unset)".
  std::string Describe(int number) const;
};

ComPortLookup LookUpComPort(int number, const ComPortPlaces& places);

// $XDG_CONFIG_HOME/qormodbus/qormodbus.conf when XDG_CONFIG_HOME is an absolute path, else
// $HOME/.config/qormodbus/qormodbus.conf; empty when neither is known.
std::string ConfigFilePath();

// The COMDIR setting of a config file of KEY=VALUE lines (blanks around either are dropped;
// blank lines and lines starting with '#' are skipped); empty when the file or the setting is
// absent. A line that is not of that form, an unknown key or a COMDIR that is not an absolute
// path is warned about once, with file:line, and otherwise ignored.
std::string ConfigComDir(const std::string& file);

}  // namespace qmb

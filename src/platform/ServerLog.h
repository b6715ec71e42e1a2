// Where the server's log goes. Standard error always; a server the bus started has its output
// discarded by the daemon, so it also logs to the system log (the journal, where there is one)
// and to a log file a user can read. No Qt here.
#pragma once

#include <string>

namespace qmb {

struct ServerLogOptions {
  bool toSystemLog = false;
  std::string logFile;  // empty: none
};

// The default log file of a bus-started server: $XDG_STATE_HOME/qormodbus/qormodbus.log, else
// ~/.local/state/qormodbus/qormodbus.log. Empty when no home directory is known.
std::string DefaultServerLogFile();

// Whether standard error is systemd's journal stream (JOURNAL_STREAM names it).
bool StandardErrorIsJournal();

// Replaces the log sink. Returns false with a reason when the log file cannot be opened (the
// other destinations still work).
bool InstallServerLog(const ServerLogOptions& options, std::string& error);

}  // namespace qmb

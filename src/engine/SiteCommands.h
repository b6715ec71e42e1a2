// The host commands that do not deal with points: the site time, the site status, and GETDATA
// with its driver commands (lock, unlock, raw requests, and the backup and restore requests
// this driver answers as not supported).
#pragma once

#include <string>

#include "engine/CommandSession.h"
#include "engine/ConnectionManager.h"
#include "engine/LinkFlags.h"
#include "engine/TransactionEngine.h"
#include "model/TypeSite.h"
#include "platform/Log.h"
#include "platform/MessageLoop.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"

namespace qmb {

class SiteCommands {
 public:
  struct Parts {
    const TSite& site;
    const LinkFlags& flags;
    CommandSession& session;
    TransactionEngine& transactions;
    const ConnectionManager& link;
    const Clock& clock;
    const Logger& log;
  };
  explicit SiteCommands(Parts parts);

  // Command handlers (codes 4, 5 and 7); each ends its command.
  void SiteTime();
  void SiteStatus();
  Task<void> GetData();

  // Driver commands; true when done.
  Task<bool> SendCommand();
  bool NotSupported();

 private:
  bool IsConnected() const { return flags_.Connected && !site_.OfflineMode; }

  const TSite& site_;
  const LinkFlags& flags_;
  CommandSession& session_;
  TransactionEngine& transactions_;
  const ConnectionManager& link_;
  const Clock& clock_;
  const Logger& log_;
};

// The local date and time as the workstation writes it: short date, a blank, long time; the
// time left out at exactly midnight.
std::string DateTimeText(double dateTime);

}  // namespace qmb

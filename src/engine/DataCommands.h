// The host commands that read or write one point now (POINTGETVALUE, POINTMODIFY), GETALARMS,
// and the two accepted but unsupported ones (SENDDATA, POINTGETDISABLED).
#pragma once

#include <set>
#include <string>

#include "engine/BackgroundPoller.h"
#include "engine/CommandSession.h"
#include "engine/FrameCodec.h"
#include "engine/PointTable.h"
#include "engine/TransactionEngine.h"
#include "links/LinkFlags.h"
#include "links/SerialLine.h"
#include "platform/SerialPort.h"
#include "sites/DelayClock.h"
#include "sites/TypeSite.h"

namespace qmb {

class DataCommands {
 public:
  struct Parts {
    const TSite& site;
    const LinkFlags& flags;
    CommandSession& session;
    PointTable& points;
    FrameCodec& codec;
    SerialLine& line;
    TransactionEngine& transactions;
    BackgroundPoller& poller;
    DelayClock& delay;
  };
  explicit DataCommands(Parts parts);

  // Command handlers (codes 14, 12, 15, 8 and 13); each ends its command.
  void PointGetValue();
  void PointModify();
  void GetAlarms();
  void NotSupported();

  // Sorted, without duplicates; nothing in the driver raises alarms.
  std::set<std::string> Alarms;

 private:
  // One read exchange on the serial line; true with the value when the slave answered it.
  bool ReadSerial(const std::string& address, std::string& value);

  const TSite& site_;
  const LinkFlags& flags_;
  CommandSession& session_;
  PointTable& points_;
  FrameCodec& codec_;
  SerialLine& line_;
  TransactionEngine& transactions_;
  BackgroundPoller& poller_;
  DelayClock& delay_;
};

}  // namespace qmb

// The host commands that read or write one point now (POINTGETVALUE, POINTMODIFY), each one
// exchange on the site's link, GETALARMS, and the two accepted but unsupported ones (SENDDATA,
// POINTGETDISABLED).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/CommandSession.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/SiteParts.h"
#include "engine/TransactionEngine.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"
#include "protocol/PointAddress.h"
#include "protocol/TypedValue.h"

namespace qmb {

class DataCommands {
 public:
  using Parts = SiteParts;
  explicit DataCommands(Parts parts);

  // Command handlers (codes 14, 12, 15, 8 and 13); each ends its command.
  Task<void> PointGetValue();
  Task<void> PointModify();
  void GetAlarms();
  void NotSupported();

  // Sorted, without duplicates; GETALARMS reports and empties them. Nothing in the driver
  // raises alarms.
  const std::set<std::string>& Alarms() const { return alarms_; }
  void AddAlarm(const std::string& text) { alarms_.insert(text); }

 private:
  bool LinkUp() const { return flags_.Connected && !site_.OfflineMode; }
  // The point address of a command; one that does not parse is named as the cause.
  std::optional<PointAddress> ParsePoint(const std::string& text, bool tcpMode) const;
  void NameUnknownCause() const;
  // How a site that decodes by type reads the point; none for one register as the design has it.
  std::optional<TypedLayout> Typed(const PointAddress& point) const;
  // A typed layout that names no value is the cause of the command's failure.
  bool Valid(const TypedLayout& layout) const;
  void FinishRead(bool success, const std::string& value);
  void FinishWrite(bool success);

  // A write as POINT gives it: {key}{address}{VALUE=value}.
  struct WriteRequest {
    std::string key;
    PointAddress point;
    int32_t value = 0;
    // Written by its type (DECODE=TYPED): the registers, and the value as the point reads it.
    bool typed = false;
    std::vector<uint16_t> registers;
    std::string text;
  };
  // None while the link is down, or for an empty value or an address that does not parse.
  std::optional<WriteRequest> ParseWriteRequest(bool tcpMode) const;
  void StoreWritten(const WriteRequest& write);

  const TSite& site_;
  const LinkFlags& flags_;
  CommandSession& session_;
  PointTable& points_;
  TransactionEngine& transactions_;
  const Logger& log_;

  std::set<std::string> alarms_;
};

}  // namespace qmb

// The points hosts want kept fresh: each client's point list, merged into the engine's point
// table that polling fills and GETPOINTSLIST reports; and the point-list commands.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/CommandSession.h"
#include "engine/EngineClient.h"
#include "platform/Log.h"
#include "platform/Variant.h"
#include "protocol/PointAddress.h"

namespace qmb {

// A point record: the address fields (when it is a parsed address) and, as an entry of the point
// table, the latest value and the polling state.
struct TPointData : PointAddress {
  std::string Value;
  bool HasValue = false;
  bool Polled = false;       // got its value in the current polling cycle
  int32_t FailureCount = 0;  // consecutive failed reads; dropped while above 2
  int64_t RetryAt = 0;       // dropped: the tick (ElapsedTicks) from which it is read again
  double HoldUntil = 0.0;    // left out of GETPOINTSLIST while not 0 (nothing sets it)
};

// The brace groups "{a}{b}{c}" of a point text, by position: group n + 1 is searched from the
// character after group n's closing brace. A missing or unclosed group is empty.
std::vector<std::string> BraceGroups(const std::string& text, int count);
// The first two groups: the host's label and the point's key (its address text).
void SplitPointEntry(const std::string& entry, std::string& first, std::string& second);

// Delay ticks counted from a start, without the 16-bit delay clock's wrap.
class ElapsedTicks {
 public:
  explicit ElapsedTicks(uint16_t start) : seen_(start) {}
  int64_t Now(uint16_t delayTicks) {
    ticks_ += static_cast<uint16_t>(delayTicks - seen_);
    seen_ = delayTicks;
    return ticks_;
  }

 private:
  int64_t ticks_ = 0;
  uint16_t seen_;
};

class PointTable {
 public:
  PointTable(CommandSession& session, const Logger& log) : session_(session), log_(log) {}

  struct Entry {
    std::string Key;
    std::unique_ptr<TPointData> Data;
    // The key parsed as an address, for a site of mode ParsedAs (-1: not yet, 0: serial,
    // 1: Modbus/TCP). Every poll of the point needs it; it is parsed once per table.
    std::optional<PointAddress> Parsed;
    int8_t ParsedAs = -1;
  };

  static constexpr const char* kInvalidAddress =
      "Point addresses is invalid. See Help for address format information.";
  // The most points one client's list may hold. Every point is polled and kept in the table, so
  // one greedy host could otherwise hold the site (and the server's memory) alone; real hosts
  // register tens of thousands at most.
  static constexpr size_t kMaxPointsPerList = 100000;

  size_t Size() const { return entries_.size(); }
  const std::string& Key(size_t position) const { return entries_.at(position).Key; }
  TPointData& Data(size_t position) { return *entries_.at(position).Data; }
  const TPointData& Data(size_t position) const { return *entries_.at(position).Data; }
  // The address the key at a position names on a site of this mode; null when it names none.
  const PointAddress* Address(size_t position, bool tcpMode);
  // The position of a key (ignoring letter case), -1 when absent.
  int32_t IndexOf(const std::string& key) const;

  void ClearPointTable() { entries_.clear(); }
  void ClearPolledFlags();
  // Stores a value read or written ("ON..." as TRUE, "OFF..." as FALSE); nothing while the
  // table was rebuilt since the position was taken. A typed value's text is kept as it is: a
  // STRING reading "Online" is no switch.
  void SetPointValue(int32_t position, std::string value, bool typed = false);
  void RebuildPointTable();
  // Values stored since the table was made (polled, scanned or written): the refresh rate.
  uint64_t StoredValues() const { return storedValues_; }

  // Collects POINT0, POINT1 ... of the list into the client's point list, up to the first
  // missing or empty key; raises when an element cannot be read. A list of more than
  // kMaxPointsPerList points is refused: false with the reason, the client's list left as it was.
  static bool CollectPoints(EngineClient& client, const Variant& params, std::string& refusal);
  bool SendPointsListNow(EngineClient* client, const Variant& params);

  // Command handlers (codes 9, 10 and 6); each ends its command.
  void SendPointsList();
  void GetPointsList();
  // On a site that decodes by type, an extended address must also name a value (its Count the
  // type's width).
  void PointVerify(bool tcpMode, bool typed, bool slaveAddressed = false);

  // The read bookkeeping the poller and the fast scan share. A point whose reads failed more
  // than kSkipAfterFailures times in a row is dropped, except for one read every
  // kDroppedRetryTicks, so that a point whose device answers again (a slave that rebooted) is
  // fresh again. A rebuilt table reads its dropped points at once. `now` counts ElapsedTicks.
  static constexpr int32_t kSkipAfterFailures = 2;
  static constexpr int32_t kDroppedRetryTicks = 300;
  bool DueForRead(size_t position, int64_t now) const;
  // Counts a failed read; true when this failure dropped the point (the reader says so).
  bool CountFailedRead(size_t position, int64_t now);

  // The table was rebuilt since polling last took notice: positions taken before are stale.
  bool PointsChanged() const { return pointsChanged_; }
  // Takes notice of a rebuild; true when there was one.
  bool TakePointsChanged() { return std::exchange(pointsChanged_, false); }

 private:
  CommandSession& session_;
  const Logger& log_;
  std::vector<Entry> entries_;
  bool pointsChanged_ = false;
  uint64_t storedValues_ = 0;
};

}  // namespace qmb

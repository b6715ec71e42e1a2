// The fast scan (site key POLLMODE=FAST): instead of one point per few process ticks, the
// registered points are read back to back in block reads. Near points of one slave (or host) and
// kind share a request; the next request goes out as soon as the exchange before it ended (RTU:
// after the 3.5-character silence at the line's speed; ASCII: at the reply's CR LF; Modbus/TCP:
// on the matched reply), each with a reply timeout from the line's speed. Each point keeps its
// own value, failure count and Polled flag. A host command that uses the line waits for the
// exchange in flight only: the scan stops at its end and goes on after the command; the other
// commands leave the scan running. Each block read is one exchange, the one every request takes,
// under the event-driven wait (DirectExchange); the scan keeps only its bookkeeping around it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/CommandSession.h"
#include "engine/DirectExchange.h"
#include "engine/Exchange.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/SiteParts.h"
#include "engine/TransactionEngine.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/MessageLoop.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"
#include "protocol/PointAddress.h"

namespace qmb {

// One read request of the scan and the table positions of the points it answers.
struct ScanBlock {
  std::string Host;  // Modbus/TCP: the point's host ("" for the site's address)
  int32_t Slave = 0;
  PointAddress::Kind Kind = PointAddress::Kind::None;
  uint16_t Start = 0;     // first wire address
  uint16_t Quantity = 0;  // registers or bits
  struct Member {
    Member(int32_t position, uint16_t offset, PointRead read = {})
        : Position(position), Offset(offset), Read(std::move(read)) {}
    int32_t Position;
    uint16_t Offset;  // from Start
    PointRead Read;   // the registers its value spans and their layout (one, untyped, by default)
  };
  std::vector<Member> Members;
};

// The largest reads: what one reply frame holds (Modbus's own limits). Points further apart than
// the gap are read in separate requests: reading a few unwanted registers is cheaper than
// another exchange, but many are not, and a device may not have them.
inline constexpr uint16_t kMaxBlockRegisters = kMaxReadRegisters;
inline constexpr uint16_t kMaxBlockBits = 2000;
inline constexpr uint16_t kMaxGapRegisters = 8;
inline constexpr uint16_t kMaxGapBits = 64;

// The blocks for these points, ordered by host, slave, kind and address; points that are no
// address are left out. Positions are indices into `points`. On a site that decodes by type
// (`typed`) a block covers every register a typed point's value spans, and a typed address that
// names no value of its type is left out too.
std::vector<ScanBlock> PlanScanBlocks(const std::vector<PointAddress>& points, bool typed = false);
// The read request of a block: slave, function, start and quantity.
ModbusRequest BlockRequest(const ScanBlock& block);
// The value of a block's member in its accepted read reply, as PointValueOf gives a point's.
std::string BlockMemberValue(const ScanBlock& block, const ScanBlock::Member& member,
                             const ReplyBlock& reply);

// The silence that ends an RTU frame, 3.5 characters, in microseconds (fixed at 1.75 ms
// above 19200 baud, as Modbus over serial lines prescribes).
int64_t RtuFrameGapUs(int32_t baud);

class FastScanner {
 public:
  using Parts = SiteParts;
  explicit FastScanner(Parts parts);
  ~FastScanner();
  FastScanner(const FastScanner&) = delete;
  FastScanner& operator=(const FastScanner&) = delete;

  // Ticks a Modbus/TCP block waits for its connection before its points count as failed (and
  // the site's CONNECTPAUSE beside them).
  static constexpr int32_t kConnectTicks = 11;

  // Every process tick while the site is left to polling (no command, not locked): takes a new
  // point table, and starts scanning when nothing is in flight.
  void Tick();
  // Abandons the exchange in flight (the link went down); nothing is counted.
  void Stop();
  // An exchange is on the line: a command that uses the line waits for its end.
  bool InFlight() const { return exchange_.OnLine(); }

  // Asked between two exchanges: true when other work takes the line now (the scan then waits
  // for the next tick).
  std::function<bool()> YieldLine;

  // Link events.
  void BytesArrived();
  void ReplyArrived();
  // A Modbus/TCP connection was made (another host's block, or the device back): the scan goes
  // on at once rather than at the next tick.
  void LinkReady();

 private:
  bool MayScan() const;
  // The scan may take the line for its next request (asking YieldLine, which hands the line on).
  bool MayGoOn();
  void Replan();
  // Scanning goes on at once unless it is already running.
  void Resume();
  // The block reads, one exchange each, while the scan may go on and a block is due.
  Task<void> Run();
  // Moves the cursor to the next block due (a new cycle after the last), failing on the way the
  // ones no device can answer; false when none is due.
  bool NextDue();
  bool Due(const ScanBlock& block, int64_t now) const;
  // The site's RETRIES, a refusal that splits the block, or the block's points stored.
  void Account(const ExchangeResult& result);
  void Store(const ScanBlock& block, const ReplyBlock& reply);
  void Fail(const ScanBlock& block);
  // A device that refuses a block (an address it lacks inside a gap) gets its points one by one.
  void Split(size_t at);
  int64_t Now() { return elapsed_.Now(p_.delay.DelayTicks); }

  const SiteParts p_;
  DirectExchange exchange_;
  Task<void> run_;  // after exchange_: dropped first, it abandons the exchange in flight

  std::vector<ScanBlock> blocks_;
  size_t cursor_ = 0;
  int32_t attempt_ = 1;  // of the block at the cursor
  ElapsedTicks elapsed_;
};

}  // namespace qmb

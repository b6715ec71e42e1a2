#include "engine/FastScanner.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <numeric>
#include <utility>

namespace qmb {

namespace {

struct Item {
  const PointAddress* point;
  int32_t position;
  uint16_t wire;
  PointRead read;
};

bool SameRun(const PointAddress& a, const PointAddress& b) {
  return a.Host == b.Host && a.Slave == b.Slave && a.PointKind == b.PointKind;
}

// Its members start at more than one address: read one by one, they make other requests. (Points
// that share their first register, a typed value and a register of it, are read together still.)
bool Splittable(const ScanBlock& block) {
  return std::any_of(block.Members.begin(), block.Members.end(), [&](const auto& member) {
    return member.Offset != block.Members.front().Offset;
  });
}

}  // namespace

std::vector<ScanBlock> PlanScanBlocks(const std::vector<PointAddress>& points, bool typed) {
  std::vector<Item> items;
  items.reserve(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const PointAddress& point = points[i];
    if (ReadFunction(point.PointKind) == 0 || !HasWireAddress(point)) continue;
    PointRead read = ReadOf(point, typed);
    if (read.Quantity == 0) continue;
    items.push_back({&point, static_cast<int32_t>(i), WireAddress(point), std::move(read)});
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    const PointAddress& p = *a.point;
    const PointAddress& q = *b.point;
    if (p.Host != q.Host) return p.Host < q.Host;
    if (p.Slave != q.Slave) return p.Slave < q.Slave;
    if (p.PointKind != q.PointKind) return p.PointKind < q.PointKind;
    return a.wire < b.wire;
  });

  std::vector<ScanBlock> blocks;
  const PointAddress* runOf = nullptr;
  for (Item& item : items) {
    const bool registers = IsRegister(item.point->PointKind);
    const uint16_t most = registers ? kMaxBlockRegisters : kMaxBlockBits;
    const uint16_t gap = registers ? kMaxGapRegisters : kMaxGapBits;
    // One past the point's last register (or bit): a typed value spans several.
    const int32_t itemEnd = item.wire + item.read.Quantity;
    bool joins = false;
    if (runOf != nullptr && SameRun(*runOf, *item.point)) {
      const ScanBlock& last = blocks.back();
      const int32_t end = last.Start + last.Quantity;  // one past the last address read
      joins = (item.wire < end || item.wire - end <= gap) &&
              itemEnd - last.Start <= static_cast<int32_t>(most);
    }
    if (!joins) {
      ScanBlock block;
      block.Host = item.point->Host;
      block.Slave = item.point->Slave;
      block.Kind = item.point->PointKind;
      block.Start = item.wire;
      block.Quantity = 1;
      blocks.push_back(std::move(block));
      runOf = item.point;
    }
    ScanBlock& block = blocks.back();
    block.Quantity =
        static_cast<uint16_t>(std::max<int32_t>(block.Quantity, itemEnd - block.Start));
    block.Members.push_back(
        {item.position, static_cast<uint16_t>(item.wire - block.Start), std::move(item.read)});
  }
  return blocks;
}

ModbusRequest BlockRequest(const ScanBlock& block) {
  return ModbusRequest{
      std::string{static_cast<char>(block.Slave & 0xFF),
                  static_cast<char>(ReadFunction(block.Kind)), static_cast<char>(block.Start >> 8),
                  static_cast<char>(block.Start & 0xFF), static_cast<char>(block.Quantity >> 8),
                  static_cast<char>(block.Quantity & 0xFF)},
      0,
      {},
      block.Host};
}

std::string BlockMemberValue(const ScanBlock& block, const ScanBlock::Member& member,
                             const ReplyBlock& reply) {
  return ReplyValueAt(reply, block.Kind, member.Read, member.Offset);
}

int64_t RtuFrameGapUs(int32_t baud) {
  if (baud <= 0 || baud > 19200) return 1750;  // the fixed silence of the faster lines
  return static_cast<int64_t>(std::ceil(3.5 * 11 * 1000000 / baud));
}

FastScanner::FastScanner(Parts parts)
    : p_(parts),
      exchange_(parts.transactions, parts.site, parts.delay),
      elapsed_(parts.delay.DelayTicks) {}

FastScanner::~FastScanner() = default;

bool FastScanner::MayScan() const {
  return p_.site.FastScan && p_.flags.Connected && !p_.site.OfflineMode &&
         !CommandUsesLine(p_.session.CommandCode()) && !p_.session.Locked() &&
         p_.transactions.Link().Usable();
}

bool FastScanner::MayGoOn() {
  return MayScan() && !(YieldLine && YieldLine());
}

void FastScanner::Tick() {
  if (!p_.flags.Connected || p_.site.OfflineMode || !p_.transactions.Link().Usable()) {
    Stop();
    return;
  }
  // A connection waited for is looked at once a tick.
  exchange_.Tick();
  Resume();
}

void FastScanner::Stop() {
  // Dropping the scan drops its exchange: one in flight is abandoned, nothing counted.
  run_.Reset();
}

void FastScanner::Resume() {
  if (run_.Suspended()) return;
  // A scan that ended since (after one of its waits) hands on what it raised, as one that ends
  // here does.
  if (run_.Done()) std::exchange(run_, {}).Result();
  run_ = Run();
  run_.Start();
  if (run_.Done()) std::exchange(run_, {}).Result();
}

void FastScanner::Replan() {
  const bool typed = p_.site.TypedDecode;
  std::vector<PointAddress> points;
  points.reserve(p_.points.Size());
  size_t noValue = 0;  // typed addresses whose Count is not their type's width
  for (size_t i = 0; i < p_.points.Size(); ++i) {
    points.push_back(ParsePointAddress(p_.points.Key(i), HostAddresses(p_.site, p_.flags))
                         .value_or(PointAddress{}));
    // Blocks go by the address their requests carry: on Modbus/TCP unit FF whatever prefix a
    // point was written with, unless the site takes the unit from the point.
    points.back().Slave = SiteUnit(p_.site, p_.flags, points.back().Slave);
    if (typed && points.back().PointKind != PointAddress::Kind::None &&
        ReadOf(points.back(), true).Quantity == 0) {
      ++noValue;
      const auto layout = TypedLayoutOf(points.back());
      const std::string why = layout ? TypedLayoutError(*layout) : std::string();
      p_.log.Debug(LoggedText(p_.points.Key(i)) + " left out of the scan: " +
                   (why.empty() ? "its value runs past the last register" : why));
    }
  }
  blocks_ = PlanScanBlocks(points, typed);
  cursor_ = 0;
  attempt_ = 1;
  p_.points.ClearPolledFlags();
  const size_t planned = std::accumulate(
      blocks_.begin(), blocks_.end(), size_t{0},
      [](size_t sum, const ScanBlock& block) { return sum + block.Members.size(); });
  if (p_.points.Size() == 0) return;
  std::string text = "fast scan: " + std::to_string(planned) + " points in " +
                     std::to_string(blocks_.size()) + " block reads";
  if (planned + noValue < p_.points.Size())
    text +=
        "; " + std::to_string(p_.points.Size() - planned - noValue) + " keys are no point address";
  if (noValue > 0) text += "; " + std::to_string(noValue) + " name no value of their type";
  p_.log.Info(text);
  for (const ScanBlock& block : blocks_)
    if (const std::string refusal = p_.transactions.Refusal(BlockRequest(block)); !refusal.empty())
      p_.log.Info(std::to_string(block.Members.size()) + " points from wire address " +
                  std::to_string(block.Start) + " are not read: " + refusal);
}

bool FastScanner::Due(const ScanBlock& block, int64_t now) const {
  return std::any_of(block.Members.begin(), block.Members.end(), [&](const auto& member) {
    return p_.points.DueForRead(static_cast<size_t>(member.Position), now);
  });
}

bool FastScanner::NextDue() {
  const int64_t now = Now();
  for (size_t k = 0; k <= blocks_.size(); ++k) {
    if (cursor_ >= blocks_.size()) {
      cursor_ = 0;  // a new cycle
      p_.points.ClearPolledFlags();
    }
    if (Due(blocks_[cursor_], now)) {
      // A block no device can answer fails without being sent (its points drop out as silent
      // ones do, and are tried again as they are).
      if (p_.transactions.Refusal(BlockRequest(blocks_[cursor_])).empty()) return true;
      Fail(blocks_[cursor_]);
    }
    ++cursor_;
  }
  // Nothing due (every point dropped and waiting for its retry): the next tick looks again.
  return false;
}

Task<void> FastScanner::Run() {
  while (MayGoOn()) {
    if (p_.points.TakePointsChanged()) Replan();
    if (blocks_.empty() || !NextDue()) co_return;
    const ModbusRequest request = BlockRequest(blocks_[cursor_]);
    // The connection is looked at each tick and at the link's events; the GAP and the line's
    // silence are kept as for every exchange, the scan giving way after each of its waits.
    bool gaveWay = false;
    ExchangeTerms terms{kFastScanPolicy, kConnectTicks + PeriodsFor(p_.site.ConnectPauseMs, 100),
                        [this, &gaveWay] {
                          gaveWay = !MayGoOn();
                          return !gaveWay;
                        }};
    ExchangeResult result;
    try {
      result = co_await exchange_.Exchange(request, std::move(terms));
    } catch (const std::exception& e) {
      // A line that refuses the request fails this block; the scan goes on at the next tick
      // rather than trying the next block on a refusing line at once.
      p_.log.Warning(std::string("scan request failed: ") + e.what());
      Fail(blocks_[cursor_]);
      ++cursor_;
      co_return;
    }
    if (gaveWay) co_return;
    if (result.Failure == ExchangeFailure::NotReady) {
      // A host that never took the connection fails its points like a silent one; the ticks
      // look again.
      Fail(blocks_[cursor_]);
      ++cursor_;
      co_return;
    }
    Account(result);
  }
}

void FastScanner::BytesArrived() {
  exchange_.LinkEvent();
}

void FastScanner::LinkReady() {
  exchange_.LinkEvent();
  Resume();
}

void FastScanner::ReplyArrived() {
  exchange_.LinkEvent();
}

void FastScanner::Account(const ExchangeResult& result) {
  // A table rebuilt meanwhile makes the block's positions stale: its answer goes nowhere.
  if (p_.points.PointsChanged() || cursor_ >= blocks_.size()) return;
  if (result.Ok()) {
    Store(blocks_[cursor_], result.Reply);
    ++cursor_;
    attempt_ = 1;
  } else if (result.Accepted() && Splittable(blocks_[cursor_])) {
    Split(cursor_);
    attempt_ = 1;
  } else if (!result.Accepted() && attempt_ < SitePolicy(kFastScanPolicy, p_.site).Attempts) {
    ++attempt_;  // the site's RETRIES: the same block again, before its points count a failure
  } else {
    Fail(blocks_[cursor_]);
    ++cursor_;
  }
}

void FastScanner::Store(const ScanBlock& block, const ReplyBlock& reply) {
  for (const ScanBlock::Member& member : block.Members)
    p_.points.SetPointValue(member.Position, BlockMemberValue(block, member, reply),
                            member.Read.Layout.has_value());
}

void FastScanner::Fail(const ScanBlock& block) {
  attempt_ = 1;  // every caller moves on to the next block
  // An exchange lost with the serial port says nothing about the points: the port is being
  // reopened, and they are read after that.
  if (!p_.transactions.Link().Usable()) return;
  const int64_t now = Now();
  for (const ScanBlock::Member& member : block.Members) {
    const auto at = static_cast<size_t>(member.Position);
    if (p_.points.CountFailedRead(at, now))
      p_.log.Debug(LoggedText(p_.points.Key(at)) + " left out of the scan after " +
                   std::to_string(p_.points.Data(at).FailureCount) +
                   " failed reads; tried again every " +
                   std::to_string(PointTable::kDroppedRetryTicks / 10) + " s");
  }
}

void FastScanner::Split(size_t at) {
  const ScanBlock block = blocks_[at];
  std::vector<ScanBlock> singles;
  for (const ScanBlock::Member& member : block.Members) {
    // A typed member keeps every register of its value.
    const uint16_t span = member.Read.Quantity;
    if (!singles.empty() && singles.back().Start == block.Start + member.Offset) {
      singles.back().Quantity = std::max(singles.back().Quantity, span);
      singles.back().Members.push_back({member.Position, 0, member.Read});
      continue;
    }
    ScanBlock single = block;
    single.Start = static_cast<uint16_t>(block.Start + member.Offset);
    single.Quantity = span;
    single.Members = {{member.Position, 0, member.Read}};
    singles.push_back(std::move(single));
  }
  p_.log.Info(std::string(p_.transactions.Link().DeviceName()) + std::to_string(block.Slave) +
              " refused a read of " + std::to_string(block.Quantity) + " from wire address " +
              std::to_string(block.Start) + "; its " + std::to_string(singles.size()) +
              " points are read one by one");
  blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(at));
  blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(at), singles.begin(), singles.end());
}

}  // namespace qmb

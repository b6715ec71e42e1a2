// Costs of the protocol core per call: checksums (the table CRC side by side with the plain
// bit-by-bit one), hex decoding, address parsing, request building and the reply check.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"
#include "protocol/PointAddress.h"

namespace qmb {
namespace {

// The published CRC-16/MODBUS computed bit by bit, the yardstick for the table.
[[gnu::noinline]] uint16_t BitwiseCRC(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = ((crc ^ byte) & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
      byte >>= 1;
    }
  }
  return crc;
}

std::vector<uint8_t> Frame(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  return bytes;
}

// Values and const references only: Google Benchmark 1.7.1 under g++ 12 -O2 has miscompiled
// DoNotOptimize on a non-const pointer.
void BM_CalcCRC(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Frame(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(CalcCRC(bytes.data(), bytes.size()));
  }
}
BENCHMARK(BM_CalcCRC)->Arg(8)->Arg(256);

void BM_BitwiseCRC(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Frame(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(BitwiseCRC(bytes.data(), bytes.size()));
  }
}
BENCHMARK(BM_BitwiseCRC)->Arg(8)->Arg(256);

void BM_CalcLRC(benchmark::State& state) {
  const std::vector<uint8_t> bytes = Frame(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(CalcLRC(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
}
BENCHMARK(BM_CalcLRC)->Arg(8)->Arg(256);

void BM_HexToBytes(benchmark::State& state) {
  // A 250-character reply: 125 bytes.
  std::string hex;
  for (const uint8_t b : Frame(125)) hex += ByteToHex(b);
  for (auto _ : state) benchmark::DoNotOptimize(HexToBytes(hex));
}
BENCHMARK(BM_HexToBytes);

void BM_ParsePointAddress(benchmark::State& state) {
  const std::string address = "17-HREG40001,15,4096,STRING";
  for (auto _ : state) benchmark::DoNotOptimize(ParsePointAddress(address, false));
}
BENCHMARK(BM_ParsePointAddress);

void BM_BuildRTURead(benchmark::State& state) {
  const std::string address = "1-HREG100";
  for (auto _ : state) {
    const auto point = ParsePointAddress(address, false);
    benchmark::DoNotOptimize(FramingFor(Framing::RTU).Frame(ReadRequest(*point).value()));
  }
}
BENCHMARK(BM_BuildRTURead);

void BM_CheckReply(benchmark::State& state) {
  const ModbusRequest request = RequestFromHex("010300630001");
  const std::string reply("\x01\x03\x02\x12\x34\xB5\x33", 7);
  const FramingEntry& rtu = FramingFor(Framing::RTU);
  for (auto _ : state) benchmark::DoNotOptimize(rtu.Check(request, reply));
  if (!rtu.Check(request, reply).Accepted) state.SkipWithError("reply not accepted");
}
BENCHMARK(BM_CheckReply);

// One block's values as the fast scan stores them: 40 WORD points on registers 1-40 and 20 FLOAT
// points over the same registers, read one register a point (0) or by their type (1).
void BM_ScanBlockValues(benchmark::State& state) {
  const bool typed = state.range(0) != 0;
  ReplyBlock reply;
  reply.Data[0] = 80;
  for (size_t i = 1; i <= 80; ++i) reply.Data[i] = static_cast<uint8_t>(i * 37 + 11);
  reply.DataLength = 81;
  std::vector<std::pair<uint16_t, PointRead>> members;
  for (int n = 1; n <= 40; ++n)
    members.emplace_back(n - 1,
                         ReadOf(*ParsePointAddress("1-HREG" + std::to_string(n), false), typed));
  for (int n = 1; n <= 40; n += 2)
    members.emplace_back(
        n - 1,
        ReadOf(*ParsePointAddress("1-HREG" + std::to_string(n) + ",0,32,FLOAT", false), typed));
  for (auto _ : state)
    for (const auto& [offset, read] : members)
      benchmark::DoNotOptimize(
          ReplyValueAt(reply, PointAddress::Kind::HoldingRegister, read, offset));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(members.size()));
}
BENCHMARK(BM_ScanBlockValues)->Arg(0)->Arg(1);

}  // namespace
}  // namespace qmb

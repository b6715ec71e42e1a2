#include "protocol/PointAddress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "platform/ParamList.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

using Kind = PointAddress::Kind;

constexpr std::array<std::string_view, 5> kKindWords = {"", "OUT", "IN", "HREG", "IREG"};
// The order in which a kind word is matched at the front of an address.
constexpr std::array<Kind, 4> kKindMatchOrder = {Kind::DiscreteInput, Kind::HoldingRegister,
                                                 Kind::InputRegister, Kind::Coil};

constexpr int32_t kMaxNumber = 65535;
constexpr int32_t kMaxFirst = 15;
constexpr int32_t kMaxCount = 4096;
constexpr int32_t kHostSlave = 255;

constexpr int64_t kInt32Magnitude = int64_t{1} << 31;

// A signed decimal integer and nothing else: no blanks, no hex prefixes.
bool ParseDecimal(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kInt32Magnitude) return false;
  }
  const int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(signedValue);
  return true;
}

// Letters in either case match the upper-case words, compared in place: a host's list of tens of
// thousands of points is parsed in one go.
bool StartsWithKindWord(std::string_view text) {
  for (Kind kind : kKindMatchOrder)
    if (StartsWithIgnoringCase(text, KindWord(kind))) return true;
  return false;
}

// Reads "value," from the front of rest: the value must be followed by a comma.
bool TakeTailValue(std::string_view& rest, int32_t low, int32_t high, int32_t& value) {
  const size_t comma = rest.find(',');
  if (comma == std::string_view::npos || comma == 0) return false;
  if (!ParseDecimal(rest.substr(0, comma), value)) return false;
  if (value < low || value > high) return false;
  rest.remove_prefix(comma + 1);
  return true;
}

// The data word of a point's write request; none when the point cannot take the value.
std::optional<uint16_t> WriteWord(const PointAddress& point, int32_t value) {
  if (!HasWireAddress(point)) return std::nullopt;
  if (point.PointKind == Kind::Coil) return static_cast<uint16_t>(value != 0 ? 0xFF00 : 0x0000);
  if (point.PointKind == Kind::HoldingRegister && value >= 0 && value <= 0xFFFF)
    return static_cast<uint16_t>(value);
  return std::nullopt;
}

uint8_t WriteFunction(Kind kind) {
  return kind == Kind::Coil ? 0x05 : 0x06;
}

}  // namespace

bool IsRegister(PointAddress::Kind kind) {
  return kind == PointAddress::Kind::HoldingRegister || kind == PointAddress::Kind::InputRegister;
}

uint8_t ReadFunction(PointAddress::Kind kind) {
  switch (kind) {
    case PointAddress::Kind::Coil:
      return 0x01;
    case PointAddress::Kind::DiscreteInput:
      return 0x02;
    case PointAddress::Kind::HoldingRegister:
      return 0x03;
    case PointAddress::Kind::InputRegister:
      return 0x04;
    case PointAddress::Kind::None:
      break;
  }
  return 0;
}

bool HasWireAddress(const PointAddress& point) {
  return point.Number >= 1 && point.Number <= kMaxNumber;
}

uint16_t WireAddress(const PointAddress& point) {
  return static_cast<uint16_t>(point.Number - 1);
}

std::string_view KindWord(PointAddress::Kind kind) {
  const auto index = static_cast<size_t>(kind);
  return index < kKindWords.size() ? kKindWords[index] : std::string_view{};
}

std::string_view TypeWord(int32_t dataType) {
  if (dataType < 0 || dataType >= kValueTypeCount) return {};
  return TypeWordOf(static_cast<ValueType>(dataType));
}

std::optional<PointAddress> ParsePointAddress(std::string_view text, bool tcpMode,
                                              std::string* why) {
  // The rule that failed, for the operator: a host's typo should not read as a device fault.
  const auto fail = [&](std::string reason) -> std::optional<PointAddress> {
    if (why) *why = std::move(reason);
    return std::nullopt;
  };
  const auto quoted = [](std::string_view part) { return "\"" + std::string(part) + "\""; };
  if (text.size() < 3) return fail("too short for an address (such as 1-HREG100)");
  PointAddress point;
  std::string_view rest;

  const size_t open = text.find('[');
  const size_t close = open == std::string_view::npos ? open : text.find(']', open + 1);
  if (tcpMode && StartsWithKindWord(text)) {
    point.Slave = kHostSlave;
    rest = text;
  } else if (close != std::string_view::npos && close > open + 1) {
    point.Host = std::string(text.substr(open + 1, close - open - 1));
    point.Slave = kHostSlave;
    // The separator after "]" is skipped whatever it is: the canonical form writes "-".
    rest = text.substr(point.Host.size() + 2);
    if (!rest.empty()) rest.remove_prefix(1);
  } else {
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0)
      return fail(tcpMode ? "no kind word (OUT, IN, HREG or IREG) in " + quoted(text)
                  : StartsWithKindWord(text)
                      ? "a serial site's address starts with its slave: 1-" + std::string(text)
                      : "no slave prefix (SLAVE-KIND NUMBER, such as 1-HREG100)");
    if (!ParseDecimal(text.substr(0, dash), point.Slave) || point.Slave < 0 || point.Slave > 255)
      return fail("slave " + quoted(text.substr(0, dash)) + " is not 0 to 255");
    rest = text.substr(dash + 1);
  }

  std::string_view remaining = rest;
  for (Kind kind : kKindMatchOrder) {
    if (StartsWithIgnoringCase(remaining, KindWord(kind))) {
      point.PointKind = kind;
      remaining.remove_prefix(KindWord(kind).size());
      break;
    }
  }
  if (point.PointKind == Kind::None)
    return fail("no kind word (OUT, IN, HREG or IREG) in " + quoted(rest));
  if (remaining.empty())
    return fail("no point number after " + std::string(KindWord(point.PointKind)));

  const size_t comma = remaining.find(',');
  const std::string_view numberText = remaining.substr(0, comma);
  if (numberText.empty() || !ParseDecimal(numberText, point.Number) || point.Number < 1 ||
      point.Number > kMaxNumber)
    return fail("point number " + quoted(numberText) + " is not 1 to 65535");
  remaining.remove_prefix(numberText.size());
  if (remaining.empty()) return point;

  // Extended tail: ",first,count,TYPE", registers only.
  if (!IsRegister(point.PointKind))
    return fail("only registers (HREG, IREG) take the tail ,First,Count,TYPE");
  remaining.remove_prefix(1);  // the ","
  if (!TakeTailValue(remaining, 0, kMaxFirst, point.First))
    return fail("the tail's First is not 0 to 15 followed by \",Count,TYPE\"");
  if (!TakeTailValue(remaining, 1, kMaxCount, point.Count))
    return fail("the tail's Count is not 1 to 4096 followed by \",TYPE\"");
  // The type word, then perhaps the order: 1-HREG100,0,32,FLOAT,CDAB.
  const size_t orderComma = remaining.find(',');
  const std::string_view typeText = remaining.substr(0, orderComma);
  if (orderComma != std::string_view::npos) {
    const auto order = ParseOrderWord(remaining.substr(orderComma + 1));
    if (!order)
      return fail("order " + quoted(remaining.substr(orderComma + 1)) +
                  " is not ABCD, CDAB, BADC or DCBA");
    point.Order = static_cast<int32_t>(*order);
  }
  for (int32_t i = 0; i < kValueTypeCount; ++i) {
    if (EqualsIgnoringCase(typeText, TypeWord(i))) {
      point.DataType = static_cast<int32_t>(i);
      point.Extended = true;
      return point;
    }
  }
  return fail("type " + quoted(typeText) +
              " is not WORD, BYTE, DWORD, INT, BOOL, FLOAT, STRING, DINT, LWORD, LINT or DOUBLE");
}

std::string FormatPointAddress(const PointAddress& point, bool tcpMode, bool slaveAddressed) {
  std::string text;
  if (tcpMode) {
    if (!point.Host.empty())
      text = "[" + point.Host + "]-";
    else if (slaveAddressed && point.Slave != kHostSlave)
      text = std::to_string(point.Slave) + "-";
  } else {
    text = std::to_string(point.Slave) + "-";
  }
  text += KindWord(point.PointKind);
  text += std::to_string(point.Number);
  if (point.Extended) {
    text += "," + std::to_string(point.First) + "," + std::to_string(point.Count) + ",";
    text += TypeWord(point.DataType);
    if (point.Order >= 0) text += "," + std::string(OrderWord(static_cast<WordOrder>(point.Order)));
  }
  return text;
}

std::optional<ModbusRequest> ReadRequest(const PointAddress& point) {
  const uint8_t function = ReadFunction(point.PointKind);
  if (function == 0 || !HasWireAddress(point)) return std::nullopt;
  // Built as bytes: every poll takes this, and a text to parse again would cost it twice.
  const uint16_t wire = WireAddress(point);
  return ModbusRequest{
      std::string{static_cast<char>(point.Slave & 0xFF), static_cast<char>(function),
                  static_cast<char>(wire >> 8), static_cast<char>(wire & 0xFF), 0, 1},
      0,
      {},
      point.Host};
}

std::optional<ModbusRequest> ReadRequest(const PointAddress& point, uint16_t quantity) {
  auto request = ReadRequest(point);
  if (!request || quantity < 1 || WireAddress(point) + quantity - 1 > 0xFFFF) return std::nullopt;
  request->Bytes[4] = static_cast<char>(quantity >> 8);
  request->Bytes[5] = static_cast<char>(quantity);
  return request;
}

std::optional<TypedLayout> TypedLayoutOf(const PointAddress& point) {
  if (!point.Extended || !IsRegister(point.PointKind)) return std::nullopt;
  return TypedLayout{static_cast<ValueType>(point.DataType), point.First, point.Count,
                     point.Order < 0 ? WordOrder::ABCD : static_cast<WordOrder>(point.Order)};
}

std::vector<uint16_t> ReplyRegisters(const ReplyBlock& reply) {
  // Data[0] is the byte count; the registers follow it, high byte first.
  std::vector<uint16_t> registers;
  const int32_t bytes = std::min<int32_t>(reply.Data[0], reply.DataLength - 1);
  for (int32_t i = 1; i + 1 <= bytes; i += 2)
    registers.push_back(static_cast<uint16_t>(reply.Data[static_cast<size_t>(i)] << 8 |
                                              reply.Data[static_cast<size_t>(i) + 1]));
  return registers;
}

std::optional<ModbusRequest> WriteRegistersRequest(const PointAddress& point,
                                                   const std::vector<uint16_t>& registers,
                                                   bool multiple) {
  if (point.PointKind != Kind::HoldingRegister || !HasWireAddress(point) || registers.empty() ||
      registers.size() > 123 || WireAddress(point) + registers.size() - 1 > 0xFFFF)
    return std::nullopt;
  const uint16_t address = WireAddress(point);
  std::string bytes{static_cast<char>(point.Slave & 0xFF), static_cast<char>(0x06),
                    static_cast<char>(address >> 8), static_cast<char>(address)};
  if (registers.size() == 1 && !multiple) {
    bytes += {static_cast<char>(registers[0] >> 8), static_cast<char>(registers[0])};
  } else {
    // Preset Multiple Registers: the quantity, its byte count, the registers.
    const auto count = static_cast<uint16_t>(registers.size());
    bytes[1] = static_cast<char>(0x10);
    bytes +=
        {static_cast<char>(count >> 8), static_cast<char>(count), static_cast<char>(2 * count)};
    for (const uint16_t word : registers)
      bytes += {static_cast<char>(word >> 8), static_cast<char>(word)};
  }
  return ModbusRequest{bytes, kTCPWriteTransactionId, {}, point.Host};
}

std::optional<int32_t> ParseWriteValue(std::string_view text) {
  const std::string upper = UpperCase(std::string(text));
  if (upper.find("-ON") != std::string::npos) return -1;
  if (upper.find("ON") != std::string::npos) return 1;
  if (upper.find("OFF") != std::string::npos) return 0;

  std::string number = StripLeadingSpaces(upper);
  number = number.substr(0, number.find(' '));
  number = number.substr(0, number.find('%'));
  if (number == "TRUE") return 1;
  if (number == "FALSE") return 0;
  double value = 0;
  if (!ParseNumberText(number, value)) return std::nullopt;
  const double whole = std::trunc(value);
  if (!(whole >= std::numeric_limits<int32_t>::min() &&
        whole <= std::numeric_limits<int32_t>::max()))
    return std::nullopt;
  return static_cast<int32_t>(whole);
}

std::string WriteRefusal(const PointAddress& point, int32_t value) {
  if (WriteWord(point, value)) return "";
  const std::string name = std::string(KindWord(point.PointKind)) + std::to_string(point.Number);
  switch (point.PointKind) {
    case Kind::DiscreteInput:
      return name + " is a discrete input, which cannot be written";
    case Kind::InputRegister:
      return name + " is an input register, which cannot be written";
    case Kind::HoldingRegister:
      if (HasWireAddress(point))
        return "VALUE " + std::to_string(value) + " does not fit " + name +
               ", a 16-bit register (0 to 65535)";
      break;
    default:
      break;
  }
  return name + " has no address to write";
}

std::optional<ModbusRequest> WriteRequest(const PointAddress& point, int32_t value, bool multiple) {
  const auto word = WriteWord(point, value);
  if (!word) return std::nullopt;
  if (multiple && point.PointKind == Kind::HoldingRegister)
    return WriteRegistersRequest(point, {*word}, true);
  const uint16_t address = WireAddress(point);
  if (multiple) {
    // Force Multiple Coils: quantity 1, one byte of bits.
    return ModbusRequest{
        std::string{static_cast<char>(point.Slave & 0xFF), static_cast<char>(0x0F),
                    static_cast<char>(address >> 8), static_cast<char>(address & 0xFF), 0, 1, 1,
                    static_cast<char>(*word ? 1 : 0)},
        kTCPWriteTransactionId,
        {},
        point.Host};
  }
  return ModbusRequest{
      std::string{static_cast<char>(point.Slave & 0xFF),
                  static_cast<char>(WriteFunction(point.PointKind)),
                  static_cast<char>(address >> 8), static_cast<char>(address & 0xFF),
                  static_cast<char>(*word >> 8), static_cast<char>(*word & 0xFF)},
      kTCPWriteTransactionId,
      {},
      point.Host};
}

std::string BuildSerialWriteText(const PointAddress& point, int32_t value) {
  const auto word = WriteWord(point, value);
  if (!word) return {};
  return ByteToHex(static_cast<uint8_t>(point.Slave & 0xFF)) +
         ByteToHex(WriteFunction(point.PointKind)) + WordToHex(WireAddress(point)) +
         WordToHex(*word);
}

PointRead ReadOf(const PointAddress& point, bool typed) {
  PointRead read;
  if (!typed) return read;
  read.Layout = TypedLayoutOf(point);
  if (!read.Layout) return read;
  const int32_t count = RegisterCount(*read.Layout);
  if (!TypedLayoutError(*read.Layout).empty() || WireAddress(point) + count - 1 > 0xFFFF)
    read.Quantity = 0;
  else
    read.Quantity = static_cast<uint16_t>(count);
  return read;
}

std::string ReplyValueAt(const ReplyBlock& reply, Kind kind, const PointRead& read,
                         uint16_t offset) {
  // Data[0] is the byte count; the values follow it.
  if (IsRegister(kind)) {
    const int32_t at = 1 + 2 * offset;
    const int32_t count = read.Layout ? read.Quantity : 1;
    if (count == 0 || count > kMaxReadRegisters || reply.DataLength <= at + 2 * count - 1)
      return {};
    const auto data = [&](int32_t i) { return reply.Data[static_cast<size_t>(i)]; };
    if (!read.Layout) return std::to_string(256 * data(at) + data(at + 1));
    std::array<uint16_t, kMaxReadRegisters> registers;  // the first `count` are read
    for (int32_t i = 0; i < count; ++i)
      registers[static_cast<size_t>(i)] =
          static_cast<uint16_t>(data(at + 2 * i) << 8 | data(at + 2 * i + 1));
    return DecodeTypedValue(*read.Layout,
                            std::span<const uint16_t>(registers).first(static_cast<size_t>(count)));
  }
  const int32_t at = 1 + offset / 8;
  if (reply.DataLength <= at) return {};
  return (reply.Data[static_cast<size_t>(at)] >> (offset % 8)) & 1 ? "TRUE" : "FALSE";
}

std::string PointValueOf(const ReplyBlock& reply, const PointAddress& point, bool typed) {
  return ReplyValueAt(reply, point.PointKind, ReadOf(point, typed), 0);
}

std::string DecodePointValue(const ReplyBlock& reply, const PointAddress& point) {
  return ReplyValueAt(reply, point.PointKind, PointRead{}, 0);
}

std::string DecodePointValue(const ReplyBlock& reply, std::string_view addressText, bool tcpMode) {
  const auto point = ParsePointAddress(addressText, tcpMode);
  return point ? DecodePointValue(reply, *point) : std::string{};
}

}  // namespace qmb

// Point addresses as hosts write them (1-HREG100, [10.0.0.7]-IREG3, HREG40001 on a Modbus/TCP
// site, 1-HREG100,0,16,WORD), the read and write requests built from them, and the value a read
// reply carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <vector>

#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"
#include "protocol/TypedValue.h"

namespace qmb {

// The address part of a point record; the point table's records extend it with their value and
// polling fields.
struct PointAddress {
  enum class Kind : int32_t {
    None = 0,
    Coil = 1,             // "OUT"
    DiscreteInput = 2,    // "IN"
    HoldingRegister = 3,  // "HREG"
    InputRegister = 4,    // "IREG"
  };

  std::string Host;   // from "[host]"; empty for none
  int32_t Slave = 0;  // 0-255; 255 for a host address or a Modbus/TCP address without prefix
  Kind PointKind = Kind::None;
  int32_t Number = 0;  // 1-65535; the wire address is Number - 1
  // The extended tail (register kinds only). Kept and rendered back; a site that decodes by type
  // reads and writes the value it names, any other one register as unsigned 16 bits.
  int32_t First = 0;     // 0-15
  int32_t Count = 16;    // 1-4096
  int32_t DataType = 0;  // index into the type words, 0-10 (ValueType)
  bool Extended = false;
  // The tail's optional fifth item, the device's word and byte order (WordOrder); -1 when the
  // address gives none (rendered back only when given).
  int32_t Order = -1;

  bool operator==(const PointAddress&) const = default;
};

// "OUT", "IN", "HREG", "IREG"; empty for Kind::None.
std::string_view KindWord(PointAddress::Kind kind);
// "WORD", "BYTE", "DWORD", "INT", "BOOL", "FLOAT", "STRING", then "DINT", "LWORD", "LINT",
// "DOUBLE" for 0-10; empty otherwise.
std::string_view TypeWord(int32_t dataType);

// The record an address text names, or none when it is no valid address (with `why`, the rule
// it broke). On a Modbus/TCP site the slave prefix may be left out. Never raises.
std::optional<PointAddress> ParsePointAddress(std::string_view text, bool tcpMode,
                                              std::string* why = nullptr);
// The canonical text: "[host]-" or nothing on a Modbus/TCP site (whose unit id is FF, so the
// slave is not kept, unless its requests go to the point's slave: `slaveAddressed` keeps a slave
// other than 255), "slave-" on a serial one (which has no hosts); then kind and number, then the
// extended tail when there was one.
std::string FormatPointAddress(const PointAddress& point, bool tcpMode,
                               bool slaveAddressed = false);

// Registers (holding or input) rather than bits.
bool IsRegister(PointAddress::Kind kind);
// The read function of a kind (1 to 4), 0 for none.
uint8_t ReadFunction(PointAddress::Kind kind);
// A number 1-65535, whose wire address is Number - 1.
bool HasWireAddress(const PointAddress& point);
uint16_t WireAddress(const PointAddress& point);

// The read request of one point (slave, function 01-04, wire address, quantity 1); none for an
// address without a read function or wire address. Any framing frames it (Modbus/TCP with a
// transaction id the caller sets).
std::optional<ModbusRequest> ReadRequest(const PointAddress& point);
// The same for `quantity` registers from the point's own (a typed value spanning them).
std::optional<ModbusRequest> ReadRequest(const PointAddress& point, uint16_t quantity);

// How a site that decodes by type (DECODE=TYPED) reads an extended register address: its type,
// First, Count and order. None for an address without the tail, or a kind that is no register.
std::optional<TypedLayout> TypedLayoutOf(const PointAddress& point);
// The registers a read reply carries, in the order they came.
std::vector<uint16_t> ReplyRegisters(const ReplyBlock& reply);
// The write of a holding register point's registers: function 06 for one register (unless
// `multiple`), 16 (Preset Multiple Registers) for more, in one request. None for any other kind.
std::optional<ModbusRequest> WriteRegistersRequest(const PointAddress& point,
                                                   const std::vector<uint16_t>& registers,
                                                   bool multiple);

// A host's write value: anything containing "-ON" is -1, "ON" 1, "OFF" 0, "TRUE" 1, "FALSE" 0;
// otherwise the number before the first blank or "%" with its fraction dropped. None for a text
// that is none of these, or a number beyond 32 bits: a typo must not write 0 to a device.
std::optional<int32_t> ParseWriteValue(std::string_view text);

// Write requests exist for coils (any non-zero value switches on) and holding registers (values
// 0-65535). Empty for any other kind and for a register value outside 16 bits: there is no
// honest 16-bit encoding of it, so the write is refused rather than truncated.
// The request carries the write transaction id for Modbus/TCP.
// With `multiple`, for devices that lack the single writes: a coil goes with function 15 and a
// register with 16, each as a quantity of one.
std::optional<ModbusRequest> WriteRequest(const PointAddress& point, int32_t value,
                                          bool multiple = false);
// Why WriteRequest gives no request for a point and value ("" when it gives one): inputs and
// input registers are read-only, a holding register holds 0 to 65535.
std::string WriteRefusal(const PointAddress& point, int32_t value);
// The serial write request as hex text.
std::string BuildSerialWriteText(const PointAddress& point, int32_t value);

// The value of the point that the reply block holds: "TRUE"/"FALSE" for a coil or input, the
// register as an unsigned decimal; empty for an invalid address or a reply too short for it.
std::string DecodePointValue(const ReplyBlock& reply, std::string_view addressText, bool tcpMode);
std::string DecodePointValue(const ReplyBlock& reply, const PointAddress& point);

// The most registers one read reply holds (Modbus's own limit; the longest STRING fills it).
inline constexpr uint16_t kMaxReadRegisters = 125;

// How one read takes a point on a site that decodes by type (`typed`) or not: the registers (or
// bits) from its own, and the layout its value has (none: a bit, or one unsigned register).
struct PointRead {
  // 0 when the point cannot be read by type: its tail names no value of the type (Count not the
  // type's width), or the value runs past the last register.
  uint16_t Quantity = 1;
  std::optional<TypedLayout> Layout;
};
PointRead ReadOf(const PointAddress& point, bool typed);
// The value `offset` registers (or bits) into an accepted read reply of the kind, as `read` lays
// it out; empty when the reply is too short for it. A bit or an untyped register decodes as
// DecodePointValue does.
std::string ReplyValueAt(const ReplyBlock& reply, PointAddress::Kind kind, const PointRead& read,
                         uint16_t offset);
// The value of a point in the reply to its own read, by its type when `typed` (a site opened with
// DECODE=TYPED, or the typed interface, which always decodes by type).
std::string PointValueOf(const ReplyBlock& reply, const PointAddress& point, bool typed);

}  // namespace qmb

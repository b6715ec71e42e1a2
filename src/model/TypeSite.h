// The configuration record of one site and the panel-type tables.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Variant.h"

namespace qmb {

class TSite : public Component {
 public:
  TSite() = default;

  // Copies every field (the unpublished ones included) when source is a TSite; any other
  // source (or none) leaves the record unchanged.
  void AssignFrom(const Component* source);

  // The 26 published properties, by name (compared ignoring case). Reading or writing an unknown
  // name raises VariantError; writing converts the value to the property's type.
  static const std::vector<std::string>& PublishedProperties();
  Variant GetProperty(const std::string& name) const;
  void SetProperty(const std::string& name, const Variant& value);

  // Fields in declaration order; every one starts false, 0 or empty.
  bool IsRemoteClient = false;
  bool OfflineMode = false;
  bool DirectConnect = false;
  int32_t UpdateRate = 0;
  int32_t Comport = 0;
  int32_t BaudRate = 0;
  std::string Address;
  std::string DeviceType;
  std::string Username;
  std::string ModemInit;
  std::string Password;
  std::string Description;
  std::string PanelType;
  std::string DisconnectString;
  std::string PreLogoffString;
  std::string PostLogonString;
  std::string PhoneNumber;
  std::string ConnectString;
  std::string PanelTypeID;
  int32_t PanelTypeIndex = 0;
  bool Use485 = false;
  bool UseRTU = false;
  int32_t Parity = 0;
  int32_t StopBits = 0;
  bool UseTCP = false;
  std::string IPAddress;
  int32_t ServerIndex = 0;  // not published; copied by AssignFrom
  // Reads the points back to back in block reads instead of one point per few ticks (site key
  // POLLMODE=FAST); not published, copied by AssignFrom.
  bool FastScan = false;
  // Extended register addresses are read and written by their type (site key DECODE=TYPED);
  // without it each is one unsigned register, as the design has it. Not published; copied.
  bool TypedDecode = false;
  // Single writes go as the multiple-write functions 15 and 16 (site key WRITEFUNCTION=16), for
  // devices that lack 05 and 06. Not published; copied.
  bool WriteMultiple = false;
  // A Modbus/TCP site's connection carries RTU frames (slave address, CRC) instead of Modbus/TCP
  // ones, as serial device servers pass them (site key TCPFRAMING=RTU). Not published; copied.
  bool RTUOverTCP = false;
  // A Modbus/TCP request goes to the unit its point's slave prefix names (FF for a point without
  // one) instead of always to unit FF (site key TCPUNIT=POINT). Not published; copied.
  bool UnitFromPoint = false;
  // Timing for slow or picky devices (site keys TIMEOUT, RETRIES, GAP, CONNECTPAUSE), in
  // milliseconds and attempts; 0 keeps the driver's own budgets. Not published; copied.
  int32_t TimeoutMs = 0;       // how long a device may take to answer
  int32_t ReadAttempts = 0;    // attempts of each request that is not a write
  int32_t GapMs = 0;           // silence kept on the link between a reply and the next request
  int32_t ConnectPauseMs = 0;  // wait after a Modbus/TCP connection before its first request
};

// Panel-type tables, indexed by PanelTypeIndex (0..3).
constexpr int kPanelTypeCount = 4;
const std::array<std::string, kPanelTypeCount>& PanelTypeNames();
const std::array<std::string, kPanelTypeCount>& PanelTypeIDs();

}  // namespace qmb

#include "model/TypeSite.h"

#include <variant>

#include "platform/TextHelpers.h"

namespace qmb {

namespace {

using FieldPointer = std::variant<bool TSite::*, int32_t TSite::*, std::string TSite::*>;

struct PublishedProperty {
  const char* name;
  FieldPointer field;
};

// In published order: the order in which the properties are listed to anyone who enumerates them.
const std::array<PublishedProperty, 26>& PropertyTable() {
  static const std::array<PublishedProperty, 26> table{{
      {"Description", &TSite::Description},
      {"OfflineMode", &TSite::OfflineMode},
      {"DirectConnect", &TSite::DirectConnect},
      {"Comport", &TSite::Comport},
      {"BaudRate", &TSite::BaudRate},
      {"ModemInit", &TSite::ModemInit},
      {"PhoneNumber", &TSite::PhoneNumber},
      {"DisconnectString", &TSite::DisconnectString},
      {"ConnectString", &TSite::ConnectString},
      {"Username", &TSite::Username},
      {"Password", &TSite::Password},
      {"PreLogoffString", &TSite::PreLogoffString},
      {"PostLogonString", &TSite::PostLogonString},
      {"DeviceType", &TSite::DeviceType},
      {"Address", &TSite::Address},
      {"UpdateRate", &TSite::UpdateRate},
      {"PanelType", &TSite::PanelType},
      {"PanelTypeID", &TSite::PanelTypeID},
      {"PanelTypeIndex", &TSite::PanelTypeIndex},
      {"IsRemoteClient", &TSite::IsRemoteClient},
      {"StopBits", &TSite::StopBits},
      {"Parity", &TSite::Parity},
      {"Use485", &TSite::Use485},
      {"UseRTU", &TSite::UseRTU},
      {"UseTCP", &TSite::UseTCP},
      {"IPAddress", &TSite::IPAddress},
  }};
  return table;
}

const PublishedProperty& FindProperty(const std::string& name) {
  for (const auto& property : PropertyTable())
    if (SameTextIgnoringCase(property.name, name)) return property;
  throw VariantError("Site has no property \"" + name + "\"");
}

}  // namespace

void TSite::AssignFrom(const Component* source) {
  const auto* site = dynamic_cast<const TSite*>(source);
  if (site == nullptr || site == this) return;
  IsRemoteClient = site->IsRemoteClient;
  OfflineMode = site->OfflineMode;
  DirectConnect = site->DirectConnect;
  UpdateRate = site->UpdateRate;
  Comport = site->Comport;
  BaudRate = site->BaudRate;
  Address = site->Address;
  DeviceType = site->DeviceType;
  Username = site->Username;
  ModemInit = site->ModemInit;
  Password = site->Password;
  Description = site->Description;
  PanelType = site->PanelType;
  DisconnectString = site->DisconnectString;
  PreLogoffString = site->PreLogoffString;
  PostLogonString = site->PostLogonString;
  PhoneNumber = site->PhoneNumber;
  ConnectString = site->ConnectString;
  PanelTypeID = site->PanelTypeID;
  PanelTypeIndex = site->PanelTypeIndex;
  Use485 = site->Use485;
  UseRTU = site->UseRTU;
  Parity = site->Parity;
  StopBits = site->StopBits;
  UseTCP = site->UseTCP;
  IPAddress = site->IPAddress;
  ServerIndex = site->ServerIndex;
  FastScan = site->FastScan;
  TypedDecode = site->TypedDecode;
  WriteMultiple = site->WriteMultiple;
  RTUOverTCP = site->RTUOverTCP;
  UnitFromPoint = site->UnitFromPoint;
  TimeoutMs = site->TimeoutMs;
  ReadAttempts = site->ReadAttempts;
  GapMs = site->GapMs;
  ConnectPauseMs = site->ConnectPauseMs;
}

const std::vector<std::string>& TSite::PublishedProperties() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const auto& property : PropertyTable()) list.emplace_back(property.name);
    return list;
  }();
  return names;
}

Variant TSite::GetProperty(const std::string& name) const {
  const FieldPointer& field = FindProperty(name).field;
  if (const auto* flag = std::get_if<bool TSite::*>(&field))
    return Variant::FromBool(this->*(*flag));
  if (const auto* number = std::get_if<int32_t TSite::*>(&field)) return Variant(this->*(*number));
  return Variant(this->*std::get<std::string TSite::*>(field));
}

void TSite::SetProperty(const std::string& name, const Variant& value) {
  const FieldPointer& field = FindProperty(name).field;
  // Convert before storing, so that a value of the wrong kind leaves the field as it was.
  if (const auto* flag = std::get_if<bool TSite::*>(&field)) {
    const bool converted = value.AsBool();
    this->*(*flag) = converted;
  } else if (const auto* number = std::get_if<int32_t TSite::*>(&field)) {
    const int32_t converted = value.AsInt32();
    this->*(*number) = converted;
  } else {
    std::string converted = value.ToText();
    this->*std::get<std::string TSite::*>(field) = std::move(converted);
  }
}

// Built on first use, so that no static initialisation order can hand out an empty table.
const std::array<std::string, kPanelTypeCount>& PanelTypeNames() {
  static const std::array<std::string, kPanelTypeCount> names{
      "Qor Panel Series 1", "Qor Panel Series 2", "Qor Panel Series 3", "Qor Panel Series 4"};
  return names;
}

const std::array<std::string, kPanelTypeCount>& PanelTypeIDs() {
  static const std::array<std::string, kPanelTypeCount> ids{"Series1", "Series2", "Series3",
                                                            "Series4"};
  return ids;
}

}  // namespace qmb

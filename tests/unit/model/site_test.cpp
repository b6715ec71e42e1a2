#include <gtest/gtest.h>

#include <tuple>

#include "model/TypeSite.h"

namespace qmb {
namespace {

// Every field set directly to a value no other field of its type holds, so a field copied or
// written through the wrong name shows.
TSite DistinctSite() {
  TSite site;
  site.IsRemoteClient = site.OfflineMode = site.DirectConnect = true;
  site.Use485 = site.UseRTU = site.UseTCP = true;
  site.UpdateRate = 11;
  site.Comport = 12;
  site.BaudRate = 9600;
  site.PanelTypeIndex = 3;
  site.Parity = 2;
  site.StopBits = 1;
  site.ServerIndex = 7;
  int k = 0;
  for (std::string* text :
       {&site.Address, &site.DeviceType, &site.Username, &site.ModemInit, &site.Password,
        &site.Description, &site.PanelType, &site.DisconnectString, &site.PreLogoffString,
        &site.PostLogonString, &site.PhoneNumber, &site.ConnectString, &site.PanelTypeID,
        &site.IPAddress})
    *text = "text" + std::to_string(++k);
  return site;
}

// Field by field, not through the property table, so that the table itself is checked too.
void ExpectSameFields(const TSite& a, const TSite& b) {
  EXPECT_EQ(
      std::tie(a.IsRemoteClient, a.OfflineMode, a.DirectConnect, a.Use485, a.UseRTU, a.UseTCP),
      std::tie(b.IsRemoteClient, b.OfflineMode, b.DirectConnect, b.Use485, b.UseRTU, b.UseTCP));
  EXPECT_EQ(std::tie(a.UpdateRate, a.Comport, a.BaudRate, a.PanelTypeIndex, a.Parity, a.StopBits,
                     a.ServerIndex),
            std::tie(b.UpdateRate, b.Comport, b.BaudRate, b.PanelTypeIndex, b.Parity, b.StopBits,
                     b.ServerIndex));
  EXPECT_EQ(std::tie(a.Address, a.DeviceType, a.Username, a.ModemInit, a.Password, a.Description,
                     a.PanelType, a.DisconnectString, a.PreLogoffString, a.PostLogonString,
                     a.PhoneNumber, a.ConnectString, a.PanelTypeID, a.IPAddress),
            std::tie(b.Address, b.DeviceType, b.Username, b.ModemInit, b.Password, b.Description,
                     b.PanelType, b.DisconnectString, b.PreLogoffString, b.PostLogonString,
                     b.PhoneNumber, b.ConnectString, b.PanelTypeID, b.IPAddress));
}

class OtherComponent : public Component {};

TEST(SiteAssign, CopiesEveryFieldFromASiteOnly) {
  const TSite fresh;
  EXPECT_EQ(fresh.BaudRate, 0);
  EXPECT_EQ(fresh.StopBits, 0);

  const TSite source = DistinctSite();
  TSite copy;
  const Component& asComponent = source;  // engines receive it through the base class
  copy.AssignFrom(&asComponent);
  ExpectSameFields(copy, source);
  EXPECT_EQ(copy.ServerIndex, 7);  // copied although it is not published
  EXPECT_TRUE(copy.UseTCP);

  TSite untouched = DistinctSite();
  const OtherComponent other;
  untouched.AssignFrom(&other);
  untouched.AssignFrom(nullptr);
  untouched.AssignFrom(&untouched);
  ExpectSameFields(untouched, source);
}

TEST(SiteProperties, PublishedInOrderAndReadByNameOfAnyCase) {
  const std::vector<std::string> expected = {
      "Description", "OfflineMode",     "DirectConnect",    "Comport",        "BaudRate",
      "ModemInit",   "PhoneNumber",     "DisconnectString", "ConnectString",  "Username",
      "Password",    "PreLogoffString", "PostLogonString",  "DeviceType",     "Address",
      "UpdateRate",  "PanelType",       "PanelTypeID",      "PanelTypeIndex", "IsRemoteClient",
      "StopBits",    "Parity",          "Use485",           "UseRTU",         "UseTCP",
      "IPAddress"};
  EXPECT_EQ(TSite::PublishedProperties(), expected);

  TSite site = DistinctSite();
  EXPECT_EQ(site.GetProperty("description"), Variant("text6"));
  EXPECT_EQ(site.GetProperty("BAUDRATE"), Variant(9600));
  EXPECT_EQ(site.GetProperty("UseTCP"), Variant::FromBool(true));
  EXPECT_EQ(site.GetProperty("ipaddress"), Variant("text14"));
  EXPECT_EQ(TSite().GetProperty("OfflineMode"), Variant::FromBool(false));

  // Each property reads and writes its own field: a copy made by name alone equals the source.
  TSite byName;
  for (const auto& name : TSite::PublishedProperties())
    byName.SetProperty(name, site.GetProperty(name));
  site.ServerIndex = 0;
  ExpectSameFields(byName, site);
}

TEST(SiteProperties, WritesConvertAndUnknownNamesRaise) {
  TSite site;
  site.SetProperty("baudrate", Variant("38400"));
  EXPECT_EQ(site.BaudRate, 38400);
  site.SetProperty("UseRTU", Variant(1));
  EXPECT_TRUE(site.UseRTU);
  site.SetProperty("UseRTU", Variant("False"));
  EXPECT_FALSE(site.UseRTU);
  site.SetProperty("PhoneNumber", Variant(5551234));
  EXPECT_EQ(site.PhoneNumber, "5551234");

  // A value of the wrong kind raises and leaves the field as it was.
  site.Description = "kept";
  EXPECT_THROW(site.SetProperty("BaudRate", Variant("fast")), VariantError);
  EXPECT_THROW(site.SetProperty("Description", Variant::Null()), VariantError);
  EXPECT_THROW(site.SetProperty("UseTCP", Variant::Unsupported()), VariantError);
  EXPECT_EQ(site.BaudRate, 38400);
  EXPECT_EQ(site.Description, "kept");

  for (const char* name : {"ServerIndex", "Colour", "", "Description "}) {
    EXPECT_THROW(site.GetProperty(name), VariantError) << name;
    EXPECT_THROW(site.SetProperty(name, Variant(1)), VariantError) << name;
  }
  try {
    site.GetProperty("Colour");
  } catch (const VariantError& error) {
    EXPECT_NE(std::string(error.what()).find("\"Colour\""), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace qmb

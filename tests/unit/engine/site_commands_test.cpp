// SITETIME, SITESTATUS and GETDATA's driver commands as a host sees them: the result layouts,
// the lock, raw requests in text and byte form, and the commands this driver declines.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <utility>

#include "platform/DateTime.h"
#include "platform/Locale.h"
#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

class SiteCommandsTest : public SiteFixture {
 protected:
  static std::vector<std::string> Data(const Variant& reply) {
    const std::vector<std::string> all = Texts(reply);
    return std::vector<std::string>(all.begin() + 3, all.end());
  }
  Variant Driver(const std::vector<std::string>& keys, TQorModBusCom* who = nullptr) {
    std::vector<std::string> command{"COMMAND=GETDATA"};
    command.insert(command.end(), keys.begin(), keys.end());
    return Run(command, who);
  }
  // The local clock at the next tick is exactly this date-time.
  void ClockAtNextTick(const CivilTime& t) {
    loop.SetLocalBase(EncodeDateTime(t) - static_cast<double>(loop.NowMs() + 100) / 86400000.0);
  }
};

TEST_F(SiteCommandsTest, SiteTimeIsTheLocalClock) {
  auto offline = OpenOffline("Desk");
  TModBusForm& engine = *offline->Engine;
  engine.Session.SetSiteClockOffset(0.25);
  ClockAtNextTick({2027, 3, 4, 17, 5, 9, 0});
  const Variant reply = Run({"COMMAND=SITETIME"}, offline.get());
  EXPECT_EQ(Texts(reply), (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS",
                                                    "", "SITETIME=2027-03-04 17:05:09", ""}));
  EXPECT_EQ(engine.Session.SiteClockOffset(), 0.0);
  // At exactly midnight only the date is written.
  ClockAtNextTick({2027, 3, 5, 0, 0, 0, 0});
  EXPECT_EQ(Data(Run({"COMMAND=SITETIME"}, offline.get()))[0], "SITETIME=2027-03-05");
}

TEST_F(SiteCommandsTest, SiteStatusOfflineSerialAndTcp) {
  auto offline = OpenOffline("Desk");
  EXPECT_EQ(Data(Run({"COMMAND=SITESTATUS"}, offline.get())),
            (std::vector<std::string>{"Desk", "Offline"}));

  // A serial site whose link never came up is reported offline too.
  auto down = NewClient();
  ASSERT_TRUE(down->OpenSite(List({"DESCRIPTION=Line 2", "COMPORT=2"})));
  ASSERT_EQ(Status(down->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "FALSE");
  EXPECT_EQ(Data(Run({"COMMAND=SITESTATUS"}, down.get())),
            (std::vector<std::string>{"Line 2", "Offline"}));

  for (const bool rtu : {false, true}) {
    OpenSerial(rtu);
    ClockAtNextTick({2027, 3, 4, 17, 5, 9, 0});
    EXPECT_EQ(Data(Run({"COMMAND=SITESTATUS"})),
              (std::vector<std::string>{"Site: Plant", "", "Date: 2027-03-04", "Time: 05:05pm", "",
                                        rtu ? "Protocol: RTU" : "Protocol: ASCII", "Comport: 1",
                                        "Baud: 19200", "Parity: None", "Stop Bits: 2"}));
    client.reset();
    loop.RunFor(1000);
  }

  OpenTcp("10.0.0.5:1502");
  SendPoints({"{a}{HREG1}"});
  ASSERT_TRUE(RunUntil([&] { return Point("HREG1").HasValue; }));
  ClockAtNextTick({2027, 3, 4, 9, 5, 0, 0});
  EXPECT_EQ(Data(Run({"COMMAND=SITESTATUS"})),
            (std::vector<std::string>{"Site: Gateway", "", "Date: 2027-03-04", "Time: 09:05am", "",
                                      "", "ModBus/TCP Connection", "Remote Host: 10.0.0.5:1502",
                                      "Remote Port: 1502", ""}));
}

// Site times in the date and time forms of the LC_TIME locale; the C locale keeps the fixed forms.
struct TimeLocaleCase {
  const char* locale;
  const char* siteTime;  // at 2027-03-04 17:05:09
  const char* date;
};

class SiteTimeLocaleTest : public SiteCommandsTest,
                           public ::testing::WithParamInterface<TimeLocaleCase> {
 protected:
  ~SiteTimeLocaleTest() override { SetTimeLocale("C"); }
};

TEST_P(SiteTimeLocaleTest, SiteTimeAndStatusDateFollowTheLocale) {
  const TimeLocaleCase& c = GetParam();
  if (!SetTimeLocale(c.locale))
    GTEST_SKIP() << "locale " << c.locale << " is not on this machine (tools/setup-debian.sh "
                 << "generates it)";
  auto offline = OpenOffline("Desk");
  ClockAtNextTick({2027, 3, 4, 17, 5, 9, 0});
  EXPECT_EQ(Data(Run({"COMMAND=SITETIME"}, offline.get()))[0],
            std::string("SITETIME=") + c.siteTime);
  ClockAtNextTick({2027, 3, 4, 0, 0, 0, 0});
  EXPECT_EQ(Data(Run({"COMMAND=SITETIME"}, offline.get()))[0], std::string("SITETIME=") + c.date)
      << "at exactly midnight only the date";

  OpenSerial(false);
  ClockAtNextTick({2027, 3, 4, 17, 5, 9, 0});
  const std::vector<std::string> status = Data(Run({"COMMAND=SITESTATUS"}));
  ASSERT_EQ(status.size(), 10u);
  EXPECT_EQ(status[2], std::string("Date: ") + c.date);
  EXPECT_EQ(status[3], "Time: 05:05pm") << "the status time keeps its own 12-hour form";
}

INSTANTIATE_TEST_SUITE_P(
    Locales, SiteTimeLocaleTest,
    ::testing::Values(TimeLocaleCase{"C", "2027-03-04 17:05:09", "2027-03-04"},
                      TimeLocaleCase{"POSIX", "2027-03-04 17:05:09", "2027-03-04"},
                      TimeLocaleCase{"C.UTF-8", "2027-03-04 17:05:09", "2027-03-04"},
                      TimeLocaleCase{"en_US.UTF-8", "03/04/2027 05:05:09 PM", "03/04/2027"},
                      TimeLocaleCase{"de_DE.UTF-8", "04.03.2027 17:05:09", "04.03.2027"}),
    [](const ::testing::TestParamInfo<TimeLocaleCase>& info) {
      std::string name = info.param.locale;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(TimeLocale, NamedByTheEnvironmentAndRefusedWhenAbsent) {
  // A locale the machine lacks keeps the fixed forms and says so.
  EXPECT_FALSE(SetTimeLocale("xx_NOWHERE.UTF-8"));
  const double at = EncodeDateTime({2027, 3, 4, 17, 5, 9, 0});
  EXPECT_EQ(ShortDateText(at) + " " + LongTimeText(at), "2027-03-04 17:05:09");
  EXPECT_TRUE(SetTimeLocale("C"));

  // LC_ALL over LC_TIME over LANG, each only when set and not empty.
  const char* names[] = {"LC_ALL", "LC_TIME", "LANG"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const char* name : names) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  const struct {
    const char *all, *time, *lang, *expected;
  } cases[] = {
      {"de_DE.UTF-8", "en_US.UTF-8", "fr_FR.UTF-8", "de_DE.UTF-8"},
      {"", "en_US.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8"},
      {nullptr, nullptr, "fr_FR.UTF-8", "fr_FR.UTF-8"},
      {nullptr, "", nullptr, "C"},
  };
  for (const auto& c : cases) {
    for (const auto& [name, value] :
         {std::pair{names[0], c.all}, std::pair{names[1], c.time}, std::pair{names[2], c.lang}})
      value ? setenv(name, value, 1) : unsetenv(name);
    EXPECT_EQ(TimeLocaleNameFromEnvironment(), c.expected);
  }
  for (const auto& [name, value] : saved)
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

TEST_F(SiteCommandsTest, LockUnlockAndUnknownDriverCommands) {
  auto a = OpenOffline("Desk");
  auto b = OpenOffline("Desk");
  TModBusForm& engine = *a->Engine;

  const Variant locked = Driver({"DRIVERCOMMAND=lockclient", "LOCKCOMMENT=tuning"}, a.get());
  EXPECT_EQ(Texts(locked), (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS",
                                                     "", "", "", "", ""}));
  EXPECT_TRUE(engine.Session.Locked());
  EXPECT_EQ(engine.Session.LockOwner(), a.get());
  const Variant refused = b->ExecuteCommand(List({"COMMAND=SITETIME"}));
  EXPECT_EQ(Texts(refused),
            (std::vector<std::string>{"COMMANDSTATUS=LOCKED", "COMMANDERROR=tuning"}));
  // A second lock fails and leaves the first as it was.
  const Variant again = Driver({"DRIVERCOMMAND=LOCKCLIENT", "LOCKCOMMENT=other"}, a.get());
  EXPECT_EQ(Texts(again)[0], "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Texts(again)[1], "");
  EXPECT_EQ(engine.Session.LockComment(), "tuning");

  EXPECT_EQ(Status(Driver({"DRIVERCOMMAND=UNLOCKCLIENT"}, a.get())), "TRUE");
  EXPECT_FALSE(engine.Session.Locked());
  EXPECT_EQ(engine.Session.LockOwner(), nullptr);
  EXPECT_EQ(Status(Driver({"DRIVERCOMMAND=UnlockClient"}, b.get())), "TRUE")
      << "unlocking an unlocked site is no failure";

  for (const std::vector<std::string>& keys :
       {std::vector<std::string>{"DRIVERCOMMAND=BACKUPSTARTX"},
        std::vector<std::string>{"DRIVERCOMMAND="}, std::vector<std::string>{}}) {
    const Variant reply = Driver(keys, a.get());
    EXPECT_EQ(Texts(reply), (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  }
}

TEST_F(SiteCommandsTest, BackupAndRestoreAreDeclinedAsSuccesses) {
  auto a = OpenOffline("Desk");
  for (const char* command : {"BACKUPSTART", "BACKUPUPDATE", "BACKUPABORT", "RESTORESTART",
                              "RESTORESTATUS", "RESTOREUPDATE", "restoreabort"}) {
    SCOPED_TRACE(command);
    const Variant reply = Driver({std::string("DRIVERCOMMAND=") + command}, a.get());
    EXPECT_EQ(Texts(reply),
              (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS",
                                        "COMMANDERROR=Command not supported", "", "", "", ""}));
  }
}

TEST_F(SiteCommandsTest, SendCommandTextAndByteForms) {
  OpenSerial(true);
  slave->Holding[99] = 0x04D2;
  const std::string reply = std::string("\x01\x03\x02\x04\xD2", 5) + "\x3A\xD9";
  const Variant text = Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"});
  EXPECT_EQ(Data(text), (std::vector<std::string>{"RETURNVALUE=" + CleanASCIIReply(reply), ""}));
  EXPECT_EQ(port->Written.substr(0, 8), std::string("\x01\x03\x00\x63\x00\x01\x74\x14", 8));
  EXPECT_EQ(Data(Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001",
                         "RETURNASBYTES=TRUE"}))[0],
            "RETURNVALUE=" + CleanASCIIReply(reply));

  // Any other RETURNASBYTES value, lower-case true included, gives the reply's bytes.
  for (const char* value : {"FALSE", "true"}) {
    SCOPED_TRACE(value);
    const Variant bytes = Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001",
                                  std::string("RETURNASBYTES=") + value});
    ASSERT_TRUE(bytes.IsByteType());
    EXPECT_EQ(bytes.AsArray().LowerBound(), 0);
    EXPECT_EQ(bytes.AsArray().Bytes(), reply);
  }
  // An exception reply is a reply.
  slave->ExceptionCode = 2;
  const Variant exception =
      Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001", "RETURNASBYTES=FALSE"});
  ASSERT_TRUE(exception.IsByteType());
  EXPECT_EQ(exception.AsArray().Bytes().substr(0, 3), std::string("\x01\x83\x02", 3));
  EXPECT_EQ(slave->Requests, 5);
}

TEST_F(SiteCommandsTest, SendCommandInAsciiGivesTheDecodedReply) {
  OpenSerial(false);
  slave->Holding[0] = 0x4142;  // "AB"
  const Variant text = Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300000001"});
  EXPECT_EQ(port->Written, ":010300000001FB\r\n");
  // The receive buffer holds the decoded bytes, LRC included; the text form cleans them.
  const std::string decoded = std::string("\x01\x03\x02\x41\x42", 5) + "\x77";
  EXPECT_EQ(Data(text)[0], "RETURNVALUE=" + CleanASCIIReply(decoded));
  const Variant bytes =
      Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300000001", "RETURNASBYTES=no"});
  ASSERT_TRUE(bytes.IsByteType());
  EXPECT_EQ(bytes.AsArray().Bytes(), decoded);
}

TEST_F(SiteCommandsTest, SendCommandRefusals) {
  OpenSerial(true);
  // Locked, even by the client asking: nothing goes out.
  ASSERT_EQ(Status(Driver({"DRIVERCOMMAND=LOCKCLIENT"})), "TRUE");
  const Variant locked = Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"});
  EXPECT_EQ(Texts(locked),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE",
                                      "COMMANDERROR=Driver is in use by another client"}));
  EXPECT_EQ(port->Written, "");
  ASSERT_EQ(Status(Driver({"DRIVERCOMMAND=UNLOCKCLIENT"})), "TRUE");

  // No command string; a slave that never answers (three attempts): failure, no error text.
  EXPECT_EQ(Texts(Driver({"DRIVERCOMMAND=SENDCOMMAND"})),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  slave->Silent = true;
  EXPECT_EQ(Texts(Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"})),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  EXPECT_EQ(slave->Requests, 3);
  // An error of the serial line reaches the host as the error text.
  port->WriteError = "COM1: cannot send: write error";
  EXPECT_EQ(Texts(Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"})),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE",
                                      "COMMANDERROR=COM1: cannot send: write error"}));
  client.reset();
  loop.RunFor(1000);

  // Not connected, or Modbus/TCP: failure, no error text, nothing sent.
  auto offline = OpenOffline("Desk");
  EXPECT_EQ(
      Texts(Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"}, offline.get())),
      (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  OpenTcp();
  EXPECT_EQ(Texts(Driver({"DRIVERCOMMAND=SENDCOMMAND", "COMMANDSTRING=010300630001"})),
            (std::vector<std::string>{"COMMANDSTATUS=FALSE", ""}));
  EXPECT_TRUE(tcp->Sent.empty());
}

}  // namespace
}  // namespace qmb::test

// The Hayes dialer in virtual time against a scripted modem: which status each result code gives,
// lines split and terminated every way a modem does it, echo, the time-outs and cancelling.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "links/HayesDialer.h"
#include "support/VirtualLoop.h"

namespace qmb {
namespace {

// A modem on a serial port: collects what the dialer sends and answers each complete command
// (up to its CR) after a short virtual delay, in pieces as a real line delivers them.
class ScriptedModem : public SerialPort {
 public:
  ScriptedModem(test::VirtualLoop& loop, HayesDialer*& dialer) : loop_(loop), dialer_(dialer) {}

  // Answer to the next command starting with prefix ("AT" matches any); several answers for
  // the same prefix are used in turn. Each piece is fed separately, 5 ms apart.
  void Answer(const std::string& prefix, std::vector<std::string> pieces) {
    script_.push_back({prefix, std::move(pieces)});
  }
  bool echo = true;
  bool open = true;

  std::string sent;
  std::vector<std::string> commands;

  void SetPortNumber(int) override {}
  int PortNumber() const override { return 1; }
  void SetBaudRate(int32_t) override {}
  int32_t BaudRate() const override { return 9600; }
  void SetDataBits(int) override {}
  int DataBits() const override { return 8; }
  void SetStopBits(int) override {}
  int StopBits() const override { return 1; }
  void SetParity(SerialParity) override {}
  SerialParity Parity() const override { return SerialParity::None; }
  void SetRs485(bool) override {}
  void SetRts(bool) override {}
  void SetDtr(bool) override {}
  void Open() override { open = true; }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  int OutputFree() const override { return kOutputBufferSize; }
  void PutByte(uint8_t byte) override { PutBlock(std::string(1, static_cast<char>(byte))); }
  void PutBlock(const std::string& bytes) override {
    if (!open) throw SerialError("COM1 is not open");
    sent += bytes;
    for (const char c : bytes) {
      pending_ += c;
      if (c != '\r') continue;
      Command(pending_);
      pending_.clear();
    }
  }
  uint8_t GetByte() override { throw SerialError("unused"); }
  SerialLineState Lines() const override { return {}; }
  FlowControlState FlowState() const override { return FlowControlState::Off; }
  void DisableFlowControl() override {}
  uint16_t AddTrigger(const std::string&, bool) override { return 0; }
  void RemoveTrigger(uint16_t) override {}
  void RemoveAllTriggers() override {}
  void SetAvailableThreshold(int) override {}

 private:
  struct Step {
    std::string prefix;
    std::vector<std::string> pieces;
  };

  void Command(const std::string& command) {
    commands.push_back(command);
    std::vector<std::string> pieces;
    if (echo) pieces.push_back(command);
    for (auto it = script_.begin(); it != script_.end(); ++it) {
      if (command.rfind(it->prefix, 0) != 0) continue;
      pieces.insert(pieces.end(), it->pieces.begin(), it->pieces.end());
      script_.erase(it);
      break;
    }
    int64_t at = 5;
    for (const auto& piece : pieces) {
      loop_.ScheduleIn(at, [this, piece] {
        if (dialer_ && dialer_->Active()) dialer_->Feed(piece);
      });
      at += 5;
    }
  }

  test::VirtualLoop& loop_;
  HayesDialer*& dialer_;
  std::vector<Step> script_;
  std::string pending_;
};

class HayesDialerTest : public ::testing::Test {
 protected:
  HayesDialerTest() : modem(loop, dialerPointer), dialer(modem, loop) {
    dialerPointer = &dialer;
    dialer.InitCommand = "ATV1Q0&C1&D2\r";
    dialer.PhoneNumber = "5551234";
    dialer.OnStatus = [this](int status) {
      statuses.push_back(status);
      statusTimes.push_back(loop.NowMs());
    };
  }

  // Dials and runs until the dialer is done (or a minute of virtual time past its time-out).
  void DialToEnd() {
    dialer.Dial();
    ASSERT_TRUE(loop.RunUntilTrue([&] { return !dialer.Active(); }, 200000));
  }

  test::VirtualLoop loop;
  HayesDialer* dialerPointer = nullptr;
  ScriptedModem modem;
  HayesDialer dialer;
  std::vector<int> statuses;
  std::vector<int64_t> statusTimes;
};

TEST_F(HayesDialerTest, ConnectsAfterInitialisationAndDial) {
  modem.Answer("ATV1", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nCONNECT 9600\r\n"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 11}));
  ASSERT_EQ(modem.commands.size(), 2u);
  EXPECT_EQ(modem.commands[0], "ATV1Q0&C1&D2\r");
  EXPECT_EQ(modem.commands[1], "ATDT5551234\r");
  EXPECT_FALSE(dialer.Active());
}

TEST_F(HayesDialerTest, EachResultCodeGivesItsStatus) {
  const std::map<std::string, int> results = {
      {"CONNECT", 11},
      {"CONNECT 33600/ARQ", 11},
      {"connect 2400", 11},  // lower case from a quirky modem
      {"NO CARRIER", 15},
      {"BUSY", 15},
      {"NO ANSWER", 15},
      {"ERROR", 15},
      {"NO DIALTONE", 9},
      {"NO DIAL TONE", 9},
      {"1", 11},
      {"3", 15},  // numeric result codes (V0)
      {"6", 9},
      {"7", 15},
  };
  for (const auto& [result, status] : results) {
    statuses.clear();
    modem.Answer("AT", {"\r\nOK\r\n"});
    modem.Answer("ATD", {"\r\n" + result + "\r\n"});
    DialToEnd();
    EXPECT_EQ(statuses, (std::vector<int>{2, 7, status})) << result;
  }
}

TEST_F(HayesDialerTest, LinesSplitAnywhereAndEndedAnyWayAreRecognised) {
  // Echo split in the middle, OK with a bare LF, the result split inside its word and closed
  // by a bare CR; information lines and RING before the result are no result.
  modem.echo = false;
  modem.Answer("ATV1", {"ATV1Q0&", "C1&D2\r", "\nO", "K\n"});
  modem.Answer("ATD", {"ATDT5551234\r\r\n", "RING\r\n\r\nCARRIER 28800\r\nPROTOCOL: LAP-M\n",
                       "\r\nCONN", "ECT 28", "800\r"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 11}));
}

TEST_F(HayesDialerTest, AnErrorToTheInitialisationFailsWithoutDialling) {
  modem.Answer("ATV1", {"\r\nERROR\r\n"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 15}));
  EXPECT_EQ(modem.commands.size(), 1u) << "dialled after a refused initialisation";
}

TEST_F(HayesDialerTest, ALateOkDuringTheDialDoesNotEndIt) {
  modem.Answer("ATV1", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nOK\r\n", "\r\nBUSY\r\n"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 15}));
}

TEST_F(HayesDialerTest, SilenceAfterTheDialFailsAtTheTimeOutAndAbortsTheCall) {
  modem.Answer("ATV1", {"\r\nOK\r\n"});
  dialer.Dial();
  ASSERT_TRUE(loop.RunUntilTrue([&] { return statuses.size() == 2; }));
  const int64_t dialledAt = loop.NowMs();
  loop.RunFor(59999);
  EXPECT_TRUE(dialer.Active()) << "gave up before 60 s";
  ASSERT_TRUE(loop.RunUntilTrue([&] { return !dialer.Active(); }, 10));
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 15}));
  EXPECT_EQ(statusTimes.back() - dialledAt, 60000);
  EXPECT_EQ(modem.sent.substr(modem.sent.size() - 1), "\r") << "the call was not abandoned";
  EXPECT_EQ(modem.commands.size(), 3u);
}

TEST_F(HayesDialerTest, AModemThatNeverAnswersTheInitialisationFails) {
  dialer.InitTimeoutMs = 3000;
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 15}));
  EXPECT_EQ(statusTimes.back(), 3000);
}

TEST_F(HayesDialerTest, CancelAbandonsTheCallAndReportsNothingMore) {
  modem.Answer("ATV1", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nCONNECT 9600\r\n"});
  dialer.Dial();
  ASSERT_TRUE(loop.RunUntilTrue([&] { return statuses.size() == 2; }));
  const std::string sentBefore = modem.sent;
  dialer.Cancel();
  EXPECT_FALSE(dialer.Active());
  EXPECT_EQ(modem.sent, sentBefore + "\r") << "the call was not abandoned";
  const size_t sentAtCancel = modem.sent.size();
  loop.RunFor(120000);  // the modem's CONNECT and the old time-out both pass
  EXPECT_EQ(statuses, (std::vector<int>{2, 7}));
  EXPECT_EQ(modem.sent.size(), sentAtCancel);
  dialer.Feed("\r\nCONNECT\r\n");
  EXPECT_EQ(statuses.size(), 2u) << "fed while inactive";
}

TEST_F(HayesDialerTest, DiallingAgainRestartsAndAHandlerMayRedial) {
  dialer.DialTimeoutMs = 1000;
  modem.Answer("AT", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nBUSY\r\n"});
  modem.Answer("AT", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nCONNECT\r\n"});
  int failures = 0;
  dialer.OnStatus = [&](int status) {
    statuses.push_back(status);
    if (status == HayesDialer::kDialFailed && ++failures == 1) dialer.Dial();
  };
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 15, 2, 7, 11}));
}

TEST_F(HayesDialerTest, NumbersAndCommandsAreSentAsTheModemNeedsThem) {
  dialer.InitCommand = "ATZ";  // no CR given: one is added, or the modem never answers
  dialer.PhoneNumber = "P0,5551234";
  modem.Answer("ATZ", {"\r\nOK\r\n"});
  modem.Answer("ATD", {"\r\nNO CARRIER\r\n"});
  DialToEnd();
  ASSERT_EQ(modem.commands.size(), 2u);
  EXPECT_EQ(modem.commands[0], "ATZ\r");
  EXPECT_EQ(modem.commands[1], "ATDP0,5551234\r");

  modem.commands.clear();
  dialer.InitCommand.clear();  // nothing to initialise: straight to the number
  dialer.PhoneNumber = "5551234";
  statuses.clear();
  modem.Answer("ATD", {"\r\nCONNECT\r\n"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 11}));
  EXPECT_EQ(modem.commands, (std::vector<std::string>{"ATDT5551234\r"}));
}

TEST_F(HayesDialerTest, NoNumberOrNoPortFailsAtOnce) {
  dialer.PhoneNumber.clear();
  dialer.Dial();
  EXPECT_EQ(statuses, (std::vector<int>{15}));
  EXPECT_FALSE(dialer.Active());
  EXPECT_TRUE(modem.sent.empty());

  dialer.PhoneNumber = "5551234";
  modem.open = false;
  EXPECT_THROW(dialer.Dial(), SerialError);
  EXPECT_FALSE(dialer.Active()) << "a dial that could not start stays active";
  loop.RunFor(120000);
  EXPECT_EQ(statuses, (std::vector<int>{15})) << "its time-out fired anyway";
}

}  // namespace
}  // namespace qmb

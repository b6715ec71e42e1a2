// Serial transactions in virtual time: the reply wait's periods, three attempts with a link
// reset before the third, and what ends a reply in each framing.
#include <gtest/gtest.h>

#include <map>

#include "platform/Log.h"
#include "protocol/FrameCodec.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class TransactionEngineTest : public HostFixture {
 protected:
  // A connected direct site in the given framing, its port answered by Answer().
  void OpenSite(bool rtu, int comport = 1) {
    serialPorts.Available.insert(comport);
    client = NewClient();
    const std::string number = std::to_string(comport);
    ASSERT_TRUE(client->OpenSite(
        List({comport == 1 ? "DESCRIPTION=Slave" : "DESCRIPTION=Slave " + number,
              "COMPORT=" + number, "BAUDRATE=19200", rtu ? "BP2=TRUE" : "BP2=FALSE"})));
    ASSERT_EQ(Status(RunToEnd(*client, {"COMMAND=COMMANDSTATUS"})), "TRUE");
    engine = client->Engine;
    port = serialPorts.Created.back();
    port->OnWrite = [this](uint8_t byte) { OnByte(byte); };
  }
  // Collects each request; frames end with LF (ASCII) or after the RTU request's 8 bytes.
  void OnByte(uint8_t byte) {
    request_.push_back(static_cast<char>(byte));
    const bool ascii = !engine->Site.UseRTU;
    if ((ascii && byte == '\n') || (!ascii && request_.size() == 8)) {
      requestTimes.push_back(loop.NowMs());
      opensAtRequest.push_back(port->Opens);
      ++requests;
      const std::string request = request_;
      request_.clear();
      if (answerFrom > 0 && requests >= answerFrom)
        for (const auto& [delay, bytes] : answer) port->ReceiveIn(delay, bytes);
    }
  }
  // One site a framing, on ports of their own, opened when first used and kept for the test.
  void UseSiteOf(bool rtu) {
    auto& [kept, keptPort] = sites_[rtu];
    if (!kept) {
      OpenSite(rtu, rtu ? 1 : 2);
      kept = std::move(client);
      keptPort = port;
    }
    engine = kept->Engine;
    port = keptPort;
  }
  int32_t Transact(const std::string& text) {
    return RunTask(loop, engine->Transactions.Transact(text));
  }

  std::unique_ptr<TQorModBusCom> client;
  TModBusForm* engine = nullptr;
  FakeSerialPort* port = nullptr;
  int requests = 0;
  std::vector<int64_t> requestTimes;
  std::vector<int> opensAtRequest;  // port opens so far when each request went out
  int answerFrom = 0;               // the request number from which the slave answers; 0: never
  std::vector<std::pair<int64_t, std::string>> answer;

 private:
  std::string request_;
  std::map<bool, std::pair<std::unique_ptr<TQorModBusCom>, FakeSerialPort*>> sites_;
};

TEST_F(TransactionEngineTest, SilentSlaveGetsThreeAttemptsAndOneReset) {
  OpenSite(true);
  const int opensBefore = port->Opens;
  EXPECT_EQ(Transact("010300630001"), 0);
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(port->Opens - opensBefore, 1) << "one link reset, between attempts 2 and 3";
  EXPECT_EQ(port->BaudRate(), 19200);
  // Each silent attempt waits 8 delay periods (0.8 to 1.6 s) for a first byte.
  EXPECT_GE(requestTimes[1] - requestTimes[0], 800);
  EXPECT_LE(requestTimes[1] - requestTimes[0], 1600);
  EXPECT_GE(requestTimes[2] - requestTimes[1], 900) << "the reset sleeps 100 ms";
  EXPECT_EQ(engine->Log.CurrentCause(), "no reply from slave 1 to function 3 (3 attempts)");
  engine->Log.ForgetCause();
  EXPECT_EQ(Transact("01"), 0);
  EXPECT_EQ(engine->Log.CurrentCause(),
            "no reply to the raw request \"01\": a request is a slave and a function at least "
            "(2 bytes)");
}

TEST_F(TransactionEngineTest, RtuReplyEndsAfterOneSilentPeriod) {
  OpenSite(true);
  answerFrom = 3;
  answer = {{30, std::string("\x01\x03\x02\x12", 4)}, {60, std::string("\x34\xB5\x33", 3)}};
  const int opensBefore = port->Opens;
  EXPECT_EQ(Transact("010300630001"), 7);
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(port->Opens - opensBefore, 1) << "reset before the attempt that succeeded";
  EXPECT_EQ(engine->Transactions.Reply().ErrorCode, 0);
  EXPECT_EQ(engine->Model.ReplyDataLbl.empty(), false);
  // The reply is taken one delay period after its last byte, not at the 8-period limit.
  EXPECT_LE(loop.NowMs() - requestTimes.back(), 500);
  EXPECT_FALSE(engine->Line.ReceptionEnabled());
}

TEST_F(TransactionEngineTest, AsciiReplyEndsAtItsLineEnd) {
  OpenSite(false);
  answerFrom = 1;
  answer = {{20, ":010302123"}, {40, "4B4\r\n"}};
  const int64_t start = loop.NowMs();
  // The count includes the LRC byte: the reply is decoded whole into the receive buffer.
  EXPECT_EQ(Transact("010300630001"), 6);
  EXPECT_EQ(port->Written.substr(port->Written.size() - 17), ":01030063000198\r\n");
  EXPECT_LE(loop.NowMs() - start, 200) << "CR LF ends the wait at once";
  EXPECT_EQ(engine->Receive.Text(), std::string("\x01\x03\x02\x12\x34\xB4", 6));
  EXPECT_EQ(engine->Line.EolTrigger(), 0) << "the trigger is removed after each attempt";
  EXPECT_EQ(port->TriggerCount(), 0u);

  // Without CR LF the reply is taken after one silent period.
  requests = 0;
  answer = {{20, ":010302123"}, {40, "4B4"}};
  const int64_t second = loop.NowMs();
  EXPECT_EQ(Transact("010300630001"), 6);
  EXPECT_GE(loop.NowMs() - second, 100);
  EXPECT_LE(loop.NowMs() - second, 500);
}

TEST_F(TransactionEngineTest, ExceptionReplyCountsAsAReply) {
  OpenSite(true);
  answerFrom = 1;
  answer = {{20, std::string("\x01\x83\x02\xC0\xF1", 5)}};
  EXPECT_EQ(Transact("010300630001"), 5);
  EXPECT_EQ(engine->Transactions.Reply().ErrorCode, 2);
  EXPECT_EQ(requests, 1);
}

// An RS-485 adapter that hears its own transmission: the request comes back before the reply.
TEST_F(TransactionEngineTest, TheRequestsEchoIsSkippedAndIsNeverTheReply) {
  OpenSite(true);
  const std::string echo("\x01\x03\x00\x63\x00\x01\x74\x14", 8);
  const std::string reply("\x01\x03\x02\x12\x34\xB5\x33", 7);
  answerFrom = 1;
  answer = {{0, echo}, {30, reply}};
  EXPECT_EQ(Transact("010300630001"), 7);
  EXPECT_EQ(engine->Transactions.ReceivedText(), reply) << "a raw request gets the reply alone";
  EXPECT_EQ(engine->Transactions.Reply().Data[1], 0x12);
  EXPECT_EQ(requests, 1);

  // The echo alone is retried as no reply would be.
  answer = {{0, echo}};
  EXPECT_EQ(Transact("010300630001"), 0);
  EXPECT_EQ(requests, 4);
}

TEST_F(TransactionEngineTest, GarbledRepliesAreRetriedWithTheResetBeforeTheThirdAttempt) {
  OpenSite(false);
  answerFrom = 1;
  answer = {{20, ":0103021234B5\r\n"}};  // wrong LRC
  EXPECT_EQ(Transact("010300630001"), 0);
  EXPECT_EQ(requests, 3);
  // Bytes came back every time, yet the failed second attempt still resets the link.
  EXPECT_EQ(opensAtRequest[1], opensAtRequest[0]);
  EXPECT_EQ(opensAtRequest[2], opensAtRequest[1] + 1);
  EXPECT_EQ(port->BaudRate(), 19200);
}

TEST_F(TransactionEngineTest, SilentAsciiSlaveGetsThreeFramesAndOneReset) {
  OpenSite(false);
  EXPECT_EQ(Transact("010300630001"), 0);
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(opensAtRequest[2] - opensAtRequest[0], 1);
  EXPECT_EQ(opensAtRequest[1], opensAtRequest[0]);
  EXPECT_EQ(port->Written, ":01030063000198\r\n:01030063000198\r\n:01030063000198\r\n");
  EXPECT_EQ(port->TriggerCount(), 0u);
  EXPECT_FALSE(engine->Line.ReceptionEnabled());
}

// The first byte has eight delay periods (here 200 ms each, the wait starting on a tick).
TEST_F(TransactionEngineTest, FirstByteMustComeWithinEightPeriods) {
  OpenSite(true);
  answerFrom = 1;
  answer = {{1590, std::string("\x01\x03\x02\x12\x34\xB5\x33", 7)}};
  EXPECT_EQ(Transact("010300630001"), 7);
  EXPECT_EQ(requests, 1);

  // Just too late: the second attempt is sent, and the late reply is taken by it.
  requests = 0;
  answer = {{1610, std::string("\x01\x03\x02\x12\x34\xB5\x33", 7)}};
  EXPECT_EQ(Transact("010300630001"), 7);
  EXPECT_EQ(requests, 2);
  EXPECT_EQ(requestTimes[requestTimes.size() - 1] - requestTimes[requestTimes.size() - 2], 1600);
}

// The one exchange under each named policy: how many requests go out, how many link resets,
// and what the caller is told.
TEST_F(TransactionEngineTest, EachPolicyWaitsRetriesAndResetsAsNamed) {
  const std::string value("\x01\x03\x02\x12\x34\xB5\x33", 7);
  const std::string exception("\x01\x83\x02\xC0\xF1", 5);
  struct Case {
    const char* what;
    bool rtu;
    const WaitPolicy& policy;
    std::string answer;  // empty: a silent slave
    ExchangeFailure failure;
    int requests;
    int resets;
  };
  const Case cases[] = {
      {"raw, RTU, silent", true, kRawRequestPolicy, "", ExchangeFailure::NoReply, 3, 1},
      {"raw, ASCII, value", false, kRawRequestPolicy, ":0103021234B4\r\n", ExchangeFailure::None, 1,
       0},
      {"point read, RTU, silent", true, kPointReadPolicy, "", ExchangeFailure::NoReply, 1, 0},
      {"point read, RTU, value", true, kPointReadPolicy, value, ExchangeFailure::None, 1, 0},
      {"point read, ASCII, silent", false, kPointReadPolicy, "", ExchangeFailure::NoReply, 1, 1},
      {"point read, ASCII, no line end", false, kPointReadPolicy, ":0103021234B4",
       ExchangeFailure::NoReply, 1, 0},
      {"point write, RTU, exception", true, kPointWritePolicy, exception,
       ExchangeFailure::Exception, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseSiteOf(c.rtu);
    requests = 0;
    answerFrom = c.answer.empty() ? 0 : 1;
    answer = {{20, c.answer}};
    const int opensBefore = port->Opens;
    const ExchangeResult result =
        RunTask(loop, engine->Transactions.Exchange(RequestFromHex("010300630001"), c.policy));
    EXPECT_EQ(result.Failure, c.failure);
    EXPECT_EQ(result.Accepted(), c.failure != ExchangeFailure::NoReply);
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(port->Opens - opensBefore, c.resets);
    EXPECT_FALSE(engine->Line.ReceptionEnabled());
    EXPECT_EQ(port->TriggerCount(), 0u);
    if (result.Ok()) {
      EXPECT_EQ(result.Reply.Data[1], 0x12);
    }
  }
}

TEST_F(TransactionEngineTest, OddLengthAsciiTextKeepsItsLastCharacter) {
  OpenSite(false);
  EXPECT_EQ(Transact("0103006300011"), 0);
  // The LRC covers the whole pairs only, so the slave sees a wrong checksum.
  EXPECT_EQ(port->Written.substr(0, 18), ":010300630001198\r\n");
}

TEST_F(TransactionEngineTest, ReceiveStorageWrapsAfterOneThousandBytes) {
  OpenSite(true);
  engine->Transactions.StartReceive();
  std::string bytes(1003, '\x55');
  bytes.replace(1000, 3, "abc");
  port->Receive(bytes);
  EXPECT_EQ(engine->Receive.Count, 3);
  EXPECT_EQ(engine->Transactions.ReceivedText(), "abc");
  EXPECT_EQ(engine->Line.ActivityCount(), 1003);
  // Bytes that arrive while reception is off are counted, not stored.
  engine->Transactions.StopReceive();
  port->Receive("xyz");
  EXPECT_EQ(engine->Transactions.ReceivedText(), "abc");
  EXPECT_EQ(engine->Line.ActivityCount(), 1006);
  engine->Transactions.ClearReceive();
  EXPECT_EQ(engine->Receive.Count, 0);
  EXPECT_EQ(engine->Receive.Bytes[0], 0);
}

TEST_F(TransactionEngineTest, NothingGoesOutOnTcpOrForOversizedRequests) {
  OpenSite(true);
  EXPECT_THROW(Transact(std::string(600, 'A')), std::length_error);
  EXPECT_EQ(requests, 0);
  port->Close();
  EXPECT_THROW(Transact("010300630001"), SerialError) << "a closed port reaches the caller";

  auto tcp = NewClient();
  tcp->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE"}));
  EXPECT_EQ(RunTask(loop, tcp->Engine->Transactions.Transact("010300630001")), 0);
  EXPECT_EQ(tcp->Engine->Log.CurrentCause(),
            "raw requests go on a serial line; a Modbus/TCP site sends none");
}

TEST_F(TransactionEngineTest, RefusedSendLeavesNothingArmed) {
  OpenSite(false);
  port->WriteError = "Input/output error";
  EXPECT_THROW(Transact("010300630001"), SerialError);
  // The point read runs its own exchange: same rule.
  const Variant reply = RunToEnd(*client, {"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG100}"});
  EXPECT_EQ(Element(reply, 1), "COMMANDERROR=Could not read data from panel.");
  EXPECT_EQ(port->TriggerCount(), 0u);
  EXPECT_FALSE(engine->Line.ReceptionEnabled());
  EXPECT_EQ(engine->Line.EolTrigger(), 0);
}

TEST_F(TransactionEngineTest, AnExchangeDroppedWhileItWaitsLeavesNothingArmed) {
  // Every kind of wait goes through the one exchange; each must let go of the line when its
  // caller drops it mid-wait (a poll abandoned, a scan stopped), or the next exchange starts
  // with reception and a line-end trigger already on.
  enum class Kind { Delay, Stepped, Events };
  struct Case {
    const char* what;
    bool rtu;
    Kind kind;
  };
  const Case cases[] = {
      {"ASCII, delay clock", false, Kind::Delay},  {"RTU, delay clock", true, Kind::Delay},
      {"ASCII, stepped", false, Kind::Stepped},    {"RTU, stepped", true, Kind::Stepped},
      {"ASCII, link events", false, Kind::Events}, {"RTU, link events", true, Kind::Events},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseSiteOf(c.rtu);
    DelayClock steps(loop, DelayClock::Counting::EveryStep);
    ExchangePace stepped(steps, true);
    ExchangePace& pace = c.kind == Kind::Stepped  ? stepped
                         : c.kind == Kind::Events ? static_cast<ExchangePace&>(engine->Direct)
                                                  : engine->Transactions.DelayPace();
    const ModbusRequest request = RequestFromHex("010300630001");
    Task<ExchangeResult> exchange =
        c.kind == Kind::Events ? engine->Direct.Exchange(request)
                               : engine->Transactions.Exchange(&request, kPointReadPolicy, pace);
    exchange.Start();
    loop.RunFor(30);
    ASSERT_TRUE(exchange.Suspended());
    EXPECT_TRUE(pace.OnLine());
    EXPECT_TRUE(engine->Line.ReceptionEnabled());
    exchange.Reset();
    EXPECT_FALSE(pace.OnLine());
    EXPECT_FALSE(engine->Line.ReceptionEnabled());
    EXPECT_EQ(engine->Line.EolTrigger(), 0);
    EXPECT_EQ(port->TriggerCount(), 0u);
  }
}

TEST_F(TransactionEngineTest, CommandAndResponseBoxesFollowWhatWasFramedAndChecked) {
  OpenSite(false);
  SiteWindowModel& window = engine->Model;
  EXPECT_FALSE(engine->Transactions.FrameASCIIRead("1-HREG100").empty());
  EXPECT_EQ(window.CmdFuncLbl, "3 (Read Holding Registers)");
  EXPECT_EQ(window.CmdDataLbl, "[00] [63] [00] [01] ");

  // An invalid address frames nothing and leaves the box as it was.
  window.CmdAddLbl = "previous";
  EXPECT_TRUE(engine->Transactions.FrameASCIIRead("1-HREG0").empty());
  EXPECT_FALSE(engine->Transactions.FrameRTURead("HREG100"));
  EXPECT_EQ(window.CmdAddLbl, "previous");

  // A reply under four bytes is not shown; a longer one is, refused or not.
  window.ReplyAddLbl = "untouched";
  engine->Receive.Clear();
  for (uint8_t byte : {0x01, 0x03, 0x02}) engine->Receive.Store(byte);
  EXPECT_FALSE(engine->Transactions.CheckReply(SerialFraming::ASCII));
  EXPECT_EQ(window.ReplyAddLbl, "untouched");
  engine->Receive.Store(0x00);
  EXPECT_FALSE(engine->Transactions.CheckReply(SerialFraming::ASCII));
  EXPECT_EQ(window.ReplyAddLbl, "1");
  EXPECT_EQ(window.ReplyFuncLbl, "255 (Checksum/Unknown Error)");
  EXPECT_EQ(engine->Transactions.Reply().ErrorCode, 255);

  // A refused Modbus/TCP reply is not shown.
  window.ReplyDataLbl = "untouched";
  const std::string request = engine->Transactions.FrameTCP(
      ModbusRequest{std::string("\xFF\x03\x00\x63\x00\x01", 6), 0, {}, {}});
  EXPECT_FALSE(engine->Transactions.CheckTCPReply(request, std::string(12, '\x01')));
  EXPECT_EQ(window.ReplyDataLbl, "untouched");
}

TEST_F(TransactionEngineTest, FrameTraceShowsEachRequestAndReplyOfTheSite) {
  OpenSite(true);
  std::vector<std::string> lines;
  SetLogSink([&](LogLevel, const std::string& line) { lines.push_back(line); });
  answerFrom = 1;
  answer = {{30, std::string("\x01\x03\x02\x12\x34\xB5\x33", 7)}};
  EXPECT_EQ(Transact("010300630001"), 7);
  EXPECT_TRUE(lines.empty()) << "the trace is off until asked for";

  SetCategoryLevel(LogCategory::Trace, LogLevel::Debug);
  EXPECT_EQ(Transact("010300630001"), 7);
  SetLogSink(nullptr);
  ResetLogLevels();
  const std::vector<std::string> expected = {
      "[trace] Site \"Slave\": > 01 03 00 63 00 01 74 14",
      "[trace] Site \"Slave\": < 01 03 02 12 34 B5 33",
  };
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace qmb::test

// The point commands against a slave in virtual time: POINTGETVALUE's single exchange in each
// framing, POINTMODIFY through the full transaction (or the Modbus/TCP write), and the commands
// that only answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

class DataCommandsTest : public SiteFixture {
 protected:
  Variant GetValue(const std::string& point) {
    return Run({"COMMAND=POINTGETVALUE", "POINT=" + point});
  }
  Variant Modify(const std::string& point) {
    return Run({"COMMAND=POINTMODIFY", "POINT=" + point});
  }
  static std::string Error(const Variant& reply) { return Texts(reply)[1]; }
  // What a read came to: its VALUE element, or its COMMANDERROR.
  static std::string Outcome(const Variant& reply) {
    const std::vector<std::string> texts = Texts(reply);
    return texts[0] == "COMMANDSTATUS=TRUE" && texts.size() > 3 ? texts[3] : texts[1];
  }
  size_t Sent() const { return port ? port->Written.size() : tcp->Sent.size(); }
};

TEST_F(DataCommandsTest, RtuReadSendsOneRequestAndDecodesTheReply) {
  OpenSerial(true);
  slave->Holding[99] = 1234;
  slave->Coils[4] = true;
  const Variant reply = GetValue("{Pump}{1-HREG100}");
  EXPECT_EQ(port->Written, Bytes({0x01, 0x03, 0x00, 0x63, 0x00, 0x01, 0x74, 0x14}));
  EXPECT_EQ(Texts(reply), (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS",
                                                    "", "VALUE=1234", ""}));
  // A pass of two delay ticks (300 ms) with the reply in it, then one without a byte.
  EXPECT_EQ(loop.NowMs() - acceptedAt, 100 + 600);
  EXPECT_EQ(engine->Session.CommandResult().AsArray().UpperBound(), 1);
  EXPECT_EQ(Texts(GetValue("{x}{1-OUT5}"))[3], "VALUE=TRUE");
  EXPECT_EQ(slave->Requests, 2) << "a read makes one attempt";

  // A silent slave: still one request, failure, and no link reset in RTU.
  slave->Silent = true;
  const int opens = port->Opens;
  const Variant silent = GetValue("{x}{1-HREG100}");
  EXPECT_EQ(Texts(silent)[0], "COMMANDSTATUS=FALSE");
  EXPECT_EQ(Error(silent), "COMMANDERROR=Could not read data from panel.");
  EXPECT_EQ(slave->Requests, 3);
  EXPECT_EQ(port->Opens, opens);
  EXPECT_EQ(loop.NowMs() - acceptedAt, 100 + 300) << "one pass without a byte ends the read";
}

TEST_F(DataCommandsTest, RtuReplyIsTakenAtTheFirstPassWithoutNewBytes) {
  OpenSerial(true);
  slave->Holding[0] = 7;
  // Bytes 250 ms apart: every pass of 300 ms sees a new byte, so the read goes on until the
  // first pass without one (the seventh).
  slave->ByteGapMs = 250;
  const Variant slow = GetValue("{x}{1-HREG1}");
  EXPECT_EQ(Texts(slow)[3], "VALUE=7");
  EXPECT_EQ(loop.NowMs() - acceptedAt, 100 + 7 * 300);
  // A reply that starts after the first pass has ended is not waited for.
  slave->ByteGapMs = 0;
  slave->ReplyDelayMs = 350;
  EXPECT_EQ(Error(GetValue("{x}{1-HREG1}")), "COMMANDERROR=Could not read data from panel.");
}

TEST_F(DataCommandsTest, AsciiReadEndsAtTheLineEnd) {
  OpenSerial(false);
  slave->Holding[99] = 1234;
  const Variant reply = GetValue("{Pump}{1-HREG100}");
  const int64_t doneAt = loop.NowMs();
  EXPECT_EQ(port->Written, ":01030063000198\r\n");
  EXPECT_EQ(Texts(reply)[3], "VALUE=1234");
  // Taken after the first pass of one delay tick: the handler's tick plus 200 ms.
  EXPECT_EQ(doneAt - acceptedAt, 100 + 200);
  EXPECT_EQ(port->TriggerCount(), 0u);
  EXPECT_EQ(engine->Line.EolTrigger(), 0);

  // Bytes without CR LF: twenty passes, failure, and no reset since bytes came.
  slave->Silent = true;
  const int opens = port->Opens;
  client->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{1-HREG100}"}));
  // The handler sends in the next tick and waits inside it; the bytes come meanwhile.
  const int64_t accepted = loop.NowMs();
  loop.ScheduleAt(accepted + 120, [this] { port->Receive(":0103020001F9"); });
  ASSERT_TRUE(RunUntil([&] { return engine->Session.CommandState() == kStateFailed; }));
  EXPECT_EQ(loop.NowMs() - slave->FrameTimes[1], 20 * 200);
  EXPECT_EQ(port->Opens, opens);
  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "FALSE");

  // Nothing at all: the link is reset before the failure is reported.
  const Variant silent = GetValue("{x}{1-HREG100}");
  EXPECT_EQ(Error(silent), "COMMANDERROR=Could not read data from panel.");
  EXPECT_EQ(port->Opens, opens + 1);
  EXPECT_EQ(port->BaudRate(), 19200);
}

TEST_F(DataCommandsTest, ExceptionAndBadPointsFailTheRead) {
  for (const LinkKind link : {LinkKind::ASCII, LinkKind::RTU}) {
    SCOPED_TRACE(LinkName(link));
    Open(link);
    slave->ExceptionCode = 2;
    const Variant exception = GetValue("{Pump}{1-HREG100}");
    EXPECT_EQ(Texts(exception)[0], "COMMANDSTATUS=FALSE");
    EXPECT_EQ(Error(exception), "COMMANDERROR=Could not read data from panel.");
    EXPECT_EQ(engine->Transactions.Reply().ErrorCode, 2) << "the exception itself was read";
    EXPECT_EQ(slave->Requests, 1);

    // A missing POINT or an address that does not parse: at once, nothing sent.
    const size_t sent = Sent();
    for (const auto& command :
         {std::vector<std::string>{"COMMAND=POINTGETVALUE"},
          std::vector<std::string>{"COMMAND=POINTGETVALUE", "POINT={Pump}{1-HREG0}"},
          std::vector<std::string>{"COMMAND=POINTGETVALUE", "POINT={1-HREG5}"}}) {
      const Variant reply = Run(command);
      EXPECT_EQ(Error(reply), "COMMANDERROR=Could not read data from panel.");
      EXPECT_EQ(loop.NowMs() - acceptedAt, 100) << "no wait at all";
    }
    EXPECT_EQ(Sent(), sent);
    client.reset();
    loop.RunFor(1000);
  }
}

TEST_F(DataCommandsTest, ModifyWritesCoilsAndRegistersAndTheTableEntry) {
  OpenSerial(true);
  // Polled entries for the written points (held idle by a lock so the writes are all we see).
  SendPoints({"{a}{1-OUT5}", "{b}{1-HREG100}"});
  ASSERT_EQ(Status(Run({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT"})), "TRUE");
  slave->Frames.clear();

  EXPECT_EQ(Status(Modify("{1-OUT5}{1-OUT5}{VALUE=ON}{}")), "TRUE");
  EXPECT_EQ(Requests().back(), "01050004FF00");
  EXPECT_TRUE(slave->Coils[4]);
  EXPECT_EQ(Point("1-OUT5").Value, "1") << "the written value, until a poll reads TRUE";
  EXPECT_TRUE(Point("1-OUT5").HasValue);

  EXPECT_EQ(Status(Modify("{1-out5}{1-OUT5}{VALUE=OFF}{}")), "TRUE");
  EXPECT_EQ(Requests().back(), "010500040000");
  EXPECT_FALSE(slave->Coils[4]);
  EXPECT_EQ(Point("1-OUT5").Value, "0") << "the key is looked up ignoring case";

  // A group without "=" loses its first character instead.
  EXPECT_EQ(Status(Modify("{1-HREG100}{1-HREG100}{x4660}")), "TRUE");
  EXPECT_EQ(Requests().back(), "010600631234");
  EXPECT_EQ(slave->Holding[99], 0x1234);
  EXPECT_EQ(Point("1-HREG100").Value, "4660");

  // A key that is not in the table: the write is still done.
  EXPECT_EQ(Status(Modify("{Other}{1-HREG100}{VALUE=65535.9}")), "TRUE");
  EXPECT_EQ(Requests().back(), "01060063FFFF");
  EXPECT_EQ(Point("1-HREG100").Value, "4660");
  EXPECT_EQ(engine->Session.ErrorText(), "");
}

TEST_F(DataCommandsTest, ModifyThatCannotBeSentFailsWithoutSending) {
  OpenSerial(false);
  const char* const refused[] = {
      "{1-IN3}{1-IN3}{VALUE=1}",       "{1-IREG3}{1-IREG3}{VALUE=1}",
      "{1-HREG1}{1-HREG1}{VALUE=}",    "{1-HREG1}{1-HREG1}",
      "{1-HREG1}{1-HREG1}{VALUE=-1}",  "{1-HREG1}{1-HREG1}{VALUE=70000}",
      "{1-HREG1}{1-HREG0}{VALUE=1}",   "{1-HREG1}{}{VALUE=1}",
      "{1-HREG1}{1-HREG1}{VALUE=abc}", "{1-HREG1}{1-HREG1}{VALUE=1e99}",
  };
  for (const char* point : refused) {
    SCOPED_TRACE(point);
    const Variant reply = Modify(point);
    EXPECT_EQ(Texts(reply)[0], "COMMANDSTATUS=FALSE");
    EXPECT_EQ(Error(reply), "COMMANDERROR=Could not modify point.");
  }
  EXPECT_EQ(Error(Run({"COMMAND=POINTMODIFY"})), "COMMANDERROR=Could not modify point.");
  EXPECT_EQ(port->Written, "");

  // A slave that never answers: the full transaction, three requests, then the failure.
  slave->Silent = true;
  EXPECT_EQ(Error(Modify("{1-HREG1}{1-HREG1}{VALUE=5}")), "COMMANDERROR=Could not modify point.");
  EXPECT_EQ(slave->Requests, 3);
  // An exception reply is a reply, but no success.
  slave->Silent = false;
  slave->ExceptionCode = 3;
  EXPECT_EQ(Error(Modify("{1-HREG1}{1-HREG1}{VALUE=5}")), "COMMANDERROR=Could not modify point.");
  EXPECT_EQ(slave->Requests, 4);

  // An offline site is not connected: nothing is tried.
  auto offline = OpenOffline("Desk");
  const Variant reply =
      Run({"COMMAND=POINTMODIFY", "POINT={1-OUT1}{1-OUT1}{VALUE=ON}"}, offline.get());
  EXPECT_EQ(Texts(reply)[1], "COMMANDERROR=Could not modify point.");
}

TEST_F(DataCommandsTest, AlarmsAndUnsupportedCommands) {
  auto offline = OpenOffline("Desk");
  const Variant alarms = Run({"COMMAND=GETALARMS"}, offline.get());
  EXPECT_EQ(Texts(alarms),
            (std::vector<std::string>{"COMMANDSTATUS=TRUE", "COMMAND=COMMANDSTATUS", ""}));

  // A list with entries reports them in order and is emptied.
  offline->Engine->DataCmds.AddAlarm("B high");
  offline->Engine->DataCmds.AddAlarm("A low");
  const std::vector<std::string> two = Texts(Run({"COMMAND=GETALARMS"}, offline.get()));
  EXPECT_EQ(std::vector<std::string>(two.begin() + 3, two.end()),
            (std::vector<std::string>{"ALARM0=A low", "ALARM1=B high"}));
  EXPECT_TRUE(offline->Engine->DataCmds.Alarms().empty());

  for (const char* command : {"COMMAND=SENDDATA", "COMMAND=POINTGETDISABLED"}) {
    const Variant reply = Run({command}, offline.get());
    EXPECT_EQ(Texts(reply)[0], "COMMANDSTATUS=FALSE") << command;
    EXPECT_EQ(Texts(reply)[1], "COMMANDERROR=Command not supported") << command;
  }
}

TEST_F(DataCommandsTest, TcpReadAndWrite) {
  OpenTcp();
  slave->Holding[99] = 1234;
  slave->Coils[4] = false;
  SendPoints({"{a}{1-OUT5}"});
  ASSERT_TRUE(RunUntil([&] { return Point("1-OUT5").HasValue; }));

  EXPECT_EQ(Texts(GetValue("{Pump}{HREG100}"))[3], "VALUE=1234");
  EXPECT_EQ(HexOf(slave->RequestPdus.back()), "0300630001");

  EXPECT_EQ(Status(Modify("{1-OUT5}{1-OUT5}{VALUE=ON}{}")), "TRUE");
  EXPECT_EQ(HexOf(tcp->Sent.back()), "AA5500000006FF050004FF00");
  EXPECT_TRUE(slave->Coils[4]);
  EXPECT_EQ(Point("1-OUT5").Value, "1");
  EXPECT_EQ(Status(Modify("{x}{HREG100}{VALUE=77}")), "TRUE");
  EXPECT_EQ(slave->Holding[99], 77);

  // Inputs and out-of-range values are refused without sending.
  slave->Frames.clear();
  for (const char* point :
       {"{x}{IN3}{VALUE=1}", "{x}{IREG3}{VALUE=1}", "{x}{HREG3}{VALUE=-1}", "{x}{HREG3}{VALUE=}"}) {
    SCOPED_TRACE(point);
    EXPECT_EQ(Error(Modify(point)), "COMMANDERROR=Could not modify point.");
    for (const std::string& frame : slave->Frames)
      EXPECT_TRUE(frame[1] == 1) << "only polls of the coil went out: " << HexOf(frame);
  }

  // No reply within 101 delay periods.
  slave->Silent = true;
  const Variant read = GetValue("{Pump}{HREG100}");
  EXPECT_EQ(Error(read), "COMMANDERROR=Could not read data from panel.");
  EXPECT_EQ(loop.NowMs() - acceptedAt, 100 + 101 * 200);
  EXPECT_EQ(Error(Modify("{x}{HREG100}{VALUE=5}")), "COMMANDERROR=Could not modify point.");
  EXPECT_FALSE(engine->Session.Busy());
}

// A Modbus/TCP reply counts only when it is whole and answers the request: however the peer's
// chunks fall, with a late reply to an earlier request in front of it, or a device that answers
// with the wrong function or byte count.
TEST_F(DataCommandsTest, TcpReadsAndWritesBelieveOnlyTheirOwnAnswer) {
  OpenTcp();
  slave->Holding[99] = 1000;
  using Wire = std::function<std::string(const std::string&, const std::string&)>;
  const Wire asBuilt = [](const std::string&, const std::string& reply) { return reply; };
  const auto set = [](size_t at, int value) -> Wire {
    return [=](const std::string&, std::string reply) {
      reply[at] = static_cast<char>(value);
      return reply;
    };
  };
  const Wire lateFirst = [](const std::string&, const std::string& reply) {
    std::string late = reply;
    late[1] = static_cast<char>(late[1] ^ 0x40);
    return late + reply;
  };
  const Wire otherAddress = [](const std::string& request, std::string reply) {
    if (request[7] == 6) reply[9] = static_cast<char>(reply[9] ^ 1);
    return reply;
  };
  const Wire oneByte = [](const std::string&, const std::string& reply) {
    return reply.substr(0, 5) + Bytes({4, 0xFF, 0x03, 0x01, 0xE8});
  };
  struct Case {
    const char* what;
    size_t chunk;
    Wire wire;
    bool read;   // the read gives VALUE=1000
    bool write;  // the write is done
  };
  const Case cases[] = {
      {"in two chunks", 6, asBuilt, true, true},
      {"byte by byte", 1, asBuilt, true, true},
      {"a late reply first, in the same chunk", 0, lateFirst, true, true},
      {"a late reply first, byte by byte", 1, lateFirst, true, true},
      {"function 4 for 3 and for 6", 0, set(7, 4), false, false},
      {"one data byte", 0, oneByte, false, false},
      {"another address written", 0, otherAddress, true, false},
      {"another unit", 0, set(6, 1), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    slave->ChunkBytes = c.chunk;
    slave->Wire = c.wire;
    EXPECT_EQ(Outcome(GetValue("{Pump}{HREG100}")),
              c.read ? "VALUE=1000" : "COMMANDERROR=Could not read data from panel.");
    EXPECT_EQ(Status(Modify("{x}{HREG100}{VALUE=1000}")), c.write ? "TRUE" : "FALSE");
  }
}

// An RS-485 adapter that hears its own transmission: the request comes back before the reply,
// and the value is the reply's, never the echo's.
TEST_F(DataCommandsTest, SerialReadsAndWritesSkipTheAdaptersEcho) {
  for (const LinkKind link : {LinkKind::ASCII, LinkKind::RTU}) {
    SCOPED_TRACE(LinkName(link));
    Open(link);
    slave->Holding[0] = 1000;
    slave->Wire = [](const std::string& request, const std::string& reply) {
      return request + reply;
    };
    EXPECT_EQ(Outcome(GetValue("{x}{1-HREG1}")), "VALUE=1000");
    EXPECT_EQ(Status(Modify("{x}{1-HREG1}{VALUE=7}")), "TRUE");
    EXPECT_EQ(slave->Holding[0], 7);
    EXPECT_EQ(slave->Requests, 2) << "each answered at the first attempt";
    // The echo alone is no reply to a read.
    slave->Wire = [](const std::string& request, const std::string&) { return request; };
    EXPECT_EQ(Error(GetValue("{x}{1-HREG1}")), "COMMANDERROR=Could not read data from panel.");
    client.reset();
    loop.RunFor(1000);
  }
}

// Sites whose devices accept the connection but never answer, each with a read in flight, cost a
// healthy site nothing: its reads take the time they take alone, while the silent ones keep their
// own timing (the 101-period reply wait) and end on their own.
TEST_F(DataCommandsTest, SilentSitesDoNotHoldUpAHealthyOne) {
  OpenTcp();
  slave->Holding[99] = 1234;
  EXPECT_EQ(Texts(GetValue("{Pump}{HREG100}"))[3], "VALUE=1234");  // connects
  EXPECT_EQ(Texts(GetValue("{Pump}{HREG100}"))[3], "VALUE=1234");
  const int64_t alone = loop.NowMs() - acceptedAt;

  std::vector<std::unique_ptr<TQorModBusCom>> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(NewClient());
    const std::string name = "Silent " + std::to_string(i);
    ASSERT_TRUE(silent.back()->OpenSite(List({"DESCRIPTION=" + name, "BP3=TRUE", "SP3=10.0.1.9"})));
    ASSERT_EQ(Status(RunToEnd(*silent.back(), {"COMMAND=COMMANDSTATUS"})), "TRUE");
    silent.back()->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{HREG1}"}));
  }
  ASSERT_TRUE(RunUntil([&] {
    return std::all_of(silent.begin(), silent.end(),
                       [](const auto& c) { return c->Engine->IsSuspended(); });
  }));
  const int64_t silentSince = loop.NowMs();

  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Texts(GetValue("{Pump}{HREG100}"))[3], "VALUE=1234");
    EXPECT_EQ(loop.NowMs() - acceptedAt, alone) << "round " << round;
  }
  for (const auto& c : silent) EXPECT_TRUE(c->Engine->IsSuspended()) << "still waiting";

  // Each silent read fails at its own deadline: the connection (10 ms) within the first pass of
  // the ready wait, then 101 passes of one delay period (two ticks each) for a reply that never
  // comes.
  ASSERT_TRUE(RunUntil([&] {
    return std::none_of(silent.begin(), silent.end(),
                        [](const auto& c) { return c->Engine->IsSuspended(); });
  }));
  EXPECT_GE(loop.NowMs() - silentSince, 20200 - 300);
  EXPECT_LE(loop.NowMs() - silentSince, 20200 + 300);
  for (const auto& c : silent) {
    const Variant reply = c->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
    EXPECT_EQ(Error(reply), "COMMANDERROR=Could not read data from panel.");
  }
}

// What hosts see of an engine that waits: its owner's status polls report progress, another
// client is told to wait, and a point list given for immediate use is taken at once.
TEST_F(DataCommandsTest, HostCallsAreAnsweredWhileTheEngineWaits) {
  OpenTcp();
  slave->Silent = true;
  auto other = NewClient();
  ASSERT_TRUE(other->OpenSite(List({"DESCRIPTION=Gateway", "BP3=TRUE", "SP3=10.0.0.5"})));
  ASSERT_EQ(Status(RunToEnd(*other, {"COMMAND=COMMANDSTATUS"})), "TRUE");
  client->ExecuteCommand(List({"COMMAND=POINTGETVALUE", "POINT={x}{HREG100}"}));
  ASSERT_TRUE(RunUntil([&] { return engine->IsSuspended(); }));

  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))),
            "Reading Point Value...");
  EXPECT_EQ(Status(other->ExecuteCommand(List({"COMMAND=SITESTATUS"}))), "Waiting for driver...");
  const Variant immediate =
      other->ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST", "POINT0={a}{HREG100}"}));
  EXPECT_EQ(Status(immediate), "TRUE");
  EXPECT_TRUE(engine->IsSuspended()) << "none of it disturbs the waiting step";
  ASSERT_TRUE(RunUntil([&] { return !engine->IsSuspended(); }));
  EXPECT_EQ(Error(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))),
            "COMMANDERROR=Could not read data from panel.");
}

}  // namespace
}  // namespace qmb::test

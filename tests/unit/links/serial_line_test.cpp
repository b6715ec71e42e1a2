// The serial line: command-string escapes and their pauses, paced output, waiting for output
// space, the modem hang-up, triggers and the receive path into the wrapping buffer.
#include <gtest/gtest.h>

#include "links/HayesDialer.h"
#include "links/SerialLine.h"
#include "model/SiteWindowModel.h"
#include "support/HostFixture.h"

namespace qmb::test {
namespace {

class SerialLineTest : public HostFixture {
 protected:
  SerialLineTest() : port(loop), line(port, serialPorts, receive, main.Delay(), log) {
    port.Open();
    port.OnTrigger = [this](uint16_t handle) { line.ComPort1TriggerData(handle); };
    port.OnAvailable = [this](uint16_t count) { line.ComPort1TriggerAvail(count); };
  }
  // Virtual time between the first and the last byte of the written text's part [from, to).
  int64_t Gap(size_t before, size_t after) const {
    return port.WriteTimes.at(after) - port.WriteTimes.at(before);
  }

  FakeSerialPort port;
  ReceiveBuffer receive;
  Logger log;
  SerialLine line;
};

TEST_F(SerialLineTest, EscapesSendControlBytesHexBytesAndPauses) {
  RunTask(loop, line.SendEscaped("AT$DT5551234^M"));
  EXPECT_EQ(port.Written, "ATDT5551234\r");
  // "$" waits Delay(5): between 500 and 600 ms; the rest goes out without pauses.
  EXPECT_GE(Gap(1, 2), 500);
  EXPECT_LE(Gap(1, 2), 600);
  EXPECT_EQ(Gap(2, 11), 0);

  port.Written.clear();
  RunTask(loop, line.SendEscaped("^m#0d#ff#4G^1^"));
  EXPECT_EQ(port.Written, std::string("\r\r\xFF#4G^1^"));
  port.Written.clear();
  RunTask(loop, line.SendEscaped("#0"));  // too short for a hex pair
  EXPECT_EQ(port.Written, "#0");
}

TEST_F(SerialLineTest, PacedOutputPausesAfterEveryElement) {
  RunTask(loop, line.SendPaced("AB^C"));
  EXPECT_EQ(port.Written, "AB\x03");
  EXPECT_EQ(Gap(0, 1), 10);
  EXPECT_EQ(Gap(1, 2), 10);
}

TEST_F(SerialLineTest, ClosedPortSendsNothingAndTakesNoTrigger) {
  port.Close();
  RunTask(loop, line.SendEscaped("ATZ^M"));
  RunTask(loop, line.PutCharWait('X'));
  EXPECT_EQ(port.Written, "");
  EXPECT_EQ(line.AddTextTrigger("\r\n", false), 0);
  EXPECT_EQ(line.RemoveTextTrigger(7), 0);
  EXPECT_FALSE(line.CarrierDetect());
  EXPECT_FALSE(line.PortAvailable(0));
}

TEST_F(SerialLineTest, FullOutputBufferDropsTheByteAfter270Attempts) {
  port.OutputFreeBytes = 0;
  port.Flow = FlowControlState::HoldingForCts;
  const int64_t start = loop.NowMs();
  RunTask(loop, line.PutCharWait('A'));
  EXPECT_EQ(port.Written, "");
  EXPECT_EQ(port.FlowControlDisabled, 1) << "a holding line must not block the next bytes";
  EXPECT_GE(loop.NowMs() - start, 270 * 200);

  // Flow control that is on but not holding stays on; room that frees up lets the byte out.
  port.Flow = FlowControlState::OnNotHolding;
  RunTask(loop, line.PutCharWait('B'));
  EXPECT_EQ(port.FlowControlDisabled, 1);
  loop.ScheduleIn(1000, [this] { port.OutputFreeBytes = 10; });
  RunTask(loop, line.PutCharWait('C'));
  EXPECT_EQ(port.Written, "C");
}

// A far end that never reads: a string fails once it has waited longer than its bytes need at the
// line's speed plus the margin, instead of holding its command (and its engine) for ever.
TEST_F(SerialLineTest, StringThePortCannotTakeFailsWithinItsBudget) {
  struct Case {
    size_t length;
    int32_t baud;
    bool paced;
  };
  const Case cases[] = {{100000, 38400, false}, {20, 9600, false}, {12, 1200, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes at " + std::to_string(c.baud));
    port.SetBaudRate(c.baud);
    port.OutputFreeBytes = 0;
    port.Flow = FlowControlState::OnNotHolding;
    const int64_t start = loop.NowMs();
    const std::string text(c.length, 'A');
    EXPECT_THROW(RunTask(loop, c.paced ? line.SendPaced(text) : line.SendEscaped(text)),
                 SerialError);
    // The budget in ms: 11 bits a byte at the line's speed, one tick, the margin (five seconds),
    // and for paced strings a tick a byte; the first byte's wait finds it spent.
    const int64_t budgetMs =
        static_cast<int64_t>(c.length) * 11 * 1000 / c.baud + 100 + 5000 + (c.paced ? 100 : 0);
    EXPECT_GE(loop.NowMs() - start, budgetMs - 100);
    EXPECT_LE(loop.NowMs() - start, budgetMs + 400);
    EXPECT_EQ(port.Written, "");
  }
  // Room again: the next string goes out whole.
  port.OutputFreeBytes = 100;
  RunTask(loop, line.SendEscaped("ATZ"));
  EXPECT_EQ(port.Written, "ATZ");
}

TEST_F(SerialLineTest, HangUpEscapesThenDropsDtrUntilTheCarrierGoes) {
  port.LineState.dcd = true;
  int dtrDrops = 0;
  port.OnWrite = [](uint8_t) {};
  // The carrier drops during the second DTR pulse.
  loop.ScheduleIn(4000, [this] { port.LineState.dcd = false; });
  EXPECT_TRUE(RunTask(loop, line.HangUpModem()));
  EXPECT_EQ(port.Written, "+++ATH\r");
  EXPECT_GE(Gap(0, 1), 300);  // guard time around the escape characters
  for (bool on : port.DtrChanges) dtrDrops += on ? 0 : 1;
  EXPECT_GE(dtrDrops, 1);
  EXPECT_LE(dtrDrops, 2);

  port.DtrChanges.clear();
  port.Written.clear();
  port.LineState.dcd = true;  // a carrier that never drops
  EXPECT_FALSE(RunTask(loop, line.HangUpModem()));
  EXPECT_EQ(port.DtrChanges,
            (std::vector<bool>{false, true, false, true, false, true, false, true}));
  port.Close();
  EXPECT_TRUE(RunTask(loop, line.HangUpModem())) << "no port, no carrier";
}

TEST_F(SerialLineTest, ReceivePathWrapsAndCounts) {
  line.EnableReception(true);
  std::string bytes(1000, 'x');
  bytes.push_back('!');
  port.Receive(bytes);
  EXPECT_EQ(receive.Count, 1);
  EXPECT_EQ(receive.Bytes[0], '!');
  EXPECT_EQ(line.ActivityCount(), 1001);

  line.EnableReception(false);
  port.Receive("dropped");
  EXPECT_EQ(receive.Count, 1);
  EXPECT_EQ(line.ActivityCount(), 1008);

  line.SetInUse(false);  // port events are ignored on a TCP site: nothing taken, nothing counted
  port.Receive("tcp");
  EXPECT_EQ(line.ActivityCount(), 1008);
}

TEST_F(SerialLineTest, OnlyTheArmedEndOfLineTriggerCounts) {
  line.ArmEndOfLine();
  const uint16_t other = line.AddTextTrigger("OK", true);
  ASSERT_NE(line.EolTrigger(), 0);
  line.EnableReception(true);
  port.Receive("ok");
  EXPECT_FALSE(line.EolFired());
  port.Receive(":0103\r");
  port.Receive("\n");  // the trigger text split across two deliveries
  EXPECT_TRUE(line.EolFired());
  EXPECT_EQ(receive.Text(), "ok:0103\r\n");
  line.DisarmEndOfLine();
  EXPECT_EQ(line.EolTrigger(), 0);
  EXPECT_EQ(port.TriggerCount(), 1u);
  line.RemoveTextTrigger(other);
  EXPECT_THROW(line.AddTextTrigger(std::string(22, 'x'), false), SerialError);
}

}  // namespace
}  // namespace qmb::test

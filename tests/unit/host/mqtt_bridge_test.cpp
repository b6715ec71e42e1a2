// The MQTT bridge's rules in virtual time, against a scripted broker connection: what goes out
// when, what a write does, and how the broker's absence is ridden out.
#include <gtest/gtest.h>

#include "host/mqtt/MqttBridge.h"
#include "support/SiteFixture.h"

namespace qmb::test {
namespace {

// A broker connection the test drives: it comes up a moment after Connect (unless refused),
// numbers every message and keeps it, and goes down when told.
class ScriptedBroker : public MqttClient {
 public:
  explicit ScriptedBroker(VirtualLoop& loop) : loop_(loop) {}
  struct Sent {
    std::string topic, payload;
    bool retained;
  };
  bool Connect(std::string& error) override {
    attempts.push_back(loop_.NowMs());
    if (refuse) {
      error = "refused";
      return false;
    }
    loop_.Post([this] {
      up = true;
      OnConnected();
    });
    return true;
  }
  void Disconnect() override { up = false; }
  int Publish(const std::string& topic, const std::string& payload, int, bool retain) override {
    if (!up) return 0;
    sent.push_back({topic, payload, retain});
    return static_cast<int>(sent.size());
  }
  bool Subscribe(const std::string& pattern, int) override {
    patterns.push_back(pattern);
    return up;
  }
  void Drop() {
    up = false;
    OnDisconnected("gone");
  }
  std::vector<std::string> Payloads(const std::string& topic, size_t from = 0) const {
    std::vector<std::string> out;
    for (size_t i = from; i < sent.size(); ++i)
      if (sent[i].topic == topic) out.push_back(sent[i].payload);
    return out;
  }
  std::vector<Sent> sent;
  std::vector<std::string> patterns;
  std::vector<int64_t> attempts;
  bool up = false;
  bool refuse = false;

 private:
  VirtualLoop& loop_;
};

class MqttBridgeTest : public SiteFixture {
 protected:
  void SetUp() override {
    OpenTcp();
    typed = std::make_unique<TypedSites>(main, loop);
    config.broker.host = "broker";
    config.broker.port = 1883;
    config.broker.node = "n";
    config.broker.clientId = "qormodbus-n";
    MqttSiteConfig site;
    site.name = "s";
    site.options = {{"Description", std::string("gateway")}};
    site.intervalMs = 100;
    site.points = {{"level", "HREG1", 5, false, 0},
                   {"setpoint", "HREG2", 0, true, 0},
                   {"pump", "OUT1", 0, true, 0}};
    config.sites.push_back(site);
    slave->Holding = {{0, 100}, {1, 7}};
    slave->Coils = {{0, false}};
    broker = std::make_unique<ScriptedBroker>(loop);
    bridge = std::make_unique<MqttBridge>(config, *typed, loop, *broker);
    bridge->Start();
    ASSERT_TRUE(RunUntil([&] { return broker->Payloads("qormodbus/n/s/pump").size() == 1; }));
  }
  void TearDown() override { bridge.reset(); }
  // Lets the site read its points a few times over.
  void Cycles(int count = 3) { loop.RunFor(100 * count + 50); }
  std::string Value(const std::string& payload) {
    const size_t at = payload.find("\"value\":") + 8;
    return payload.substr(at, payload.find(',', at) - at);
  }

  MqttConfig config;
  std::unique_ptr<TypedSites> typed;
  std::unique_ptr<ScriptedBroker> broker;
  std::unique_ptr<MqttBridge> bridge;
};

TEST_F(MqttBridgeTest, TheFirstReportCarriesEveryPointThenOnlyChangesBeyondTheDeadband) {
  EXPECT_EQ(broker->Payloads("qormodbus/n/$state"), std::vector<std::string>{"online"});
  EXPECT_EQ(broker->patterns, std::vector<std::string>{"qormodbus/n/+/+/set"});
  EXPECT_FALSE(broker->Payloads("qormodbus/n/s/$state").empty());
  const auto level = broker->Payloads("qormodbus/n/s/level");
  ASSERT_EQ(level.size(), 1u);
  EXPECT_EQ(Value(level[0]), "100");
  EXPECT_NE(level[0].find("\"quality\":192"), std::string::npos) << level[0];
  EXPECT_EQ(Value(broker->Payloads("qormodbus/n/s/pump")[0]), "false");
  for (const auto& message : broker->sent) EXPECT_TRUE(message.retained) << message.topic;
  slave->Holding[0] = 104;  // within the deadband of 5
  Cycles();
  EXPECT_EQ(broker->Payloads("qormodbus/n/s/level").size(), 1u);
  slave->Holding[0] = 110;
  Cycles();
  ASSERT_EQ(broker->Payloads("qormodbus/n/s/level").size(), 2u);
  EXPECT_EQ(Value(broker->Payloads("qormodbus/n/s/level")[1]), "110");
  EXPECT_EQ(broker->Payloads("qormodbus/n/s/setpoint").size(), 1u);  // unchanged: said once
}

TEST_F(MqttBridgeTest, WhileTheBrokerIsAwayOnlyTheLatestValueOfEachPointGoesOutOnReturn) {
  // The broker confirmed the level's messages, not the pump's.
  for (size_t i = 0; i < broker->sent.size(); ++i)
    if (broker->sent[i].topic == "qormodbus/n/s/level")
      broker->OnPublished(static_cast<int>(i + 1));
  broker->refuse = true;
  broker->Drop();
  for (const uint16_t value : {20, 30, 40}) {
    slave->Holding[1] = value;
    Cycles();
  }
  const size_t before = broker->sent.size();
  broker->refuse = false;
  ASSERT_TRUE(RunUntil([&] { return broker->up; }, 60000));
  loop.RunFor(10);
  EXPECT_EQ(broker->Payloads("qormodbus/n/$state", before), std::vector<std::string>{"online"});
  const auto setpoint = broker->Payloads("qormodbus/n/s/setpoint", before);
  ASSERT_EQ(setpoint.size(), 1u);
  EXPECT_EQ(Value(setpoint[0]), "40");
  // A point that did not change while away is not sent again, but one whose last message the
  // broker never confirmed is.
  EXPECT_TRUE(broker->Payloads("qormodbus/n/s/level", before).empty());
  EXPECT_EQ(broker->Payloads("qormodbus/n/s/pump", before).size(), 1u);
}

TEST_F(MqttBridgeTest, ReconnectsBackOffFromOneSecondDoublingToThirty) {
  broker->refuse = true;
  const int64_t lost = loop.NowMs();
  broker->Drop();
  loop.RunFor(130000);
  std::vector<int64_t> gaps;
  int64_t last = lost;
  for (const int64_t at : broker->attempts)
    if (at > lost) gaps.push_back(at - std::exchange(last, at));
  ASSERT_GE(gaps.size(), 7u);
  EXPECT_EQ(std::vector<int64_t>(gaps.begin(), gaps.begin() + 7),
            (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
}

TEST_F(MqttBridgeTest, WritesGoOnlyToWritablePointsAndSayHowTheyEnded) {
  struct Row {
    std::string point, payload;
    bool retained;
    std::string result;  // "" for no result at all
    int wire;            // the holding register to look at, -1 for the coil
    int expected;
  };
  const std::vector<Row> rows = {
      {"setpoint", "1234", false, "ok", 1, 1234},
      {"setpoint", "{\"value\": 77}", false, "ok", 1, 77},
      {"pump", "true", false, "ok", -1, 1},
      {"level", "5", false, "level is not writable (writable = false)", 0, 100},
      {"setpoint", "twelve", false, "\"twelve\" is no value", 1, 77},
      {"setpoint", "70000", false, "point \"HREG2\" takes 0 to 65535, not 70000", 1, 77},
      {"setpoint", "55", true, "", 1, 77},  // retained: never carried out
      {"nosuch", "1", false, "", 1, 77},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.point + " <- " + row.payload);
    const std::string topic = "qormodbus/n/s/" + row.point + "/set";
    const size_t before = broker->sent.size();
    broker->OnMessage({topic, row.payload, row.retained});
    Cycles(2);
    const auto results = broker->Payloads(topic + "/result", before);
    if (row.result.empty()) {
      EXPECT_TRUE(results.empty());
    } else {
      ASSERT_EQ(results.size(), 1u);
      EXPECT_EQ(results[0], row.result);
    }
    EXPECT_EQ(row.wire < 0 ? int(slave->Coils[0]) : int(slave->Holding[row.wire]), row.expected);
  }
}

TEST(MqttPayloadTest, ReadingsAreJsonAndSetPayloadsAreValuesOfThePointsType) {
  TypedReading good{3.5, 1765236540123000, 192, ""};
  EXPECT_EQ(ReadingJson(good), R"({"value":3.5,"ts":"2025-12-08T23:29:00.123Z","quality":192})");
  TypedReading bad{uint16_t{0}, 0, 0, "no \"reply\""};
  EXPECT_EQ(ReadingJson(bad),
            R"({"value":null,"ts":"1970-01-01T00:00:00.000Z","quality":0,"error":"no \"reply\""})");
  EXPECT_EQ(ReadingJson({std::string("a\xE9"), 0, 192, ""}).substr(0, 14),
            "{\"value\":\"a\xC3\xA9\"");
  EXPECT_EQ(ReadingJson({std::nan(""), 0, 192, ""}).substr(0, 14), "{\"value\":null,");

  struct Row {
    std::string payload;
    size_t alternative;  // the point's TypedScalar index
    std::string value;   // TypedScalarText of the result, or the error's start
  };
  const std::vector<Row> rows = {
      {"42", 3, "42"},
      {" -7 ", 1, "-7"},
      {"2.5e1", 8, "25"},
      {"true", 0, "1"},
      {"{\"value\":false}", 0, "0"},
      {"\"x\\u00e9\"", 9, "x\xE9"},
      {"plain text", 9, "plain text"},
      {"\"7\"", 3, "the point takes a number"},
      {"7", 9, "7"},
      {"{\"value\":1", 3, "\"{\"value\":1\" is no value"},
      {"nan", 8, "\"nan\" is no value"},
      {"{\"other\":1}", 3, "the payload is no value"},
      {"", 3, "\"\" is no value"},
  };
  for (const Row& row : rows) {
    const auto parsed = ParseSetPayload(row.payload, row.alternative);
    const std::string got = std::holds_alternative<std::string>(parsed)
                                ? std::get<std::string>(parsed)
                                : TypedScalarText(std::get<TypedScalar>(parsed));
    EXPECT_EQ(got.substr(0, row.value.size()), row.value) << row.payload;
  }
}

}  // namespace
}  // namespace qmb::test

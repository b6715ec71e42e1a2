// The bridge's configuration file: what a good file gives, and every kind of mistake refused with
// the file, the line and what is wrong, before the server starts anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/mqtt/MqttConfig.h"

namespace qmb::test {
namespace {

// Lines 1-3 and 4-10: a broker, and a site with one point, to build rows on.
const std::string kBroker = "[broker]\nurl = \"mqtt://h\"\nnode = \"n\"\n";
const std::string kSite =
    "[[site]]\nname = \"s\"\ntransport = \"tcp\"\nhost = \"h\"\n"
    "[[site.point]]\nname = \"p\"\naddress = \"HREG1\"\n";

MqttConfig Parsed(const std::string& text, const std::string& path = "/etc/q/b.toml") {
  auto parsed = ParseMqttConfig(text, path);
  if (auto* why = std::get_if<std::string>(&parsed)) ADD_FAILURE() << *why;
  return std::get_if<MqttConfig>(&parsed) ? std::get<MqttConfig>(parsed) : MqttConfig{};
}

TEST(MqttConfigTest, AGoodFileGivesTheBrokerAndTheSitesTypedOptions) {
  const MqttConfig config = Parsed(
      "[broker]\nurl = \"mqtts://[fd00::1]:8884\"\nnode = \"plant\"\nusername = \"u\"\n"
      "password_file = \"secret/p\"\nca_file = \"/etc/ssl/ca.crt\"\nkeepalive = 60\n"
      "[[site]]\nname = \"rtu\"\ntransport = \"rtu\"\ncom_port = 3\nbaud = 9600\nstop_bits = 2\n"
      "rs485 = true\ntimeout_ms = 800\ninterval_ms = 250\n"
      "  [[site.point]]\n  name = \"t\"\n  address = \"1-HREG5,0,32,FLOAT\"\n  deadband = 2\n"
      "  [[site.point]]\n  name = \"c\"\n  address = \"2-OUT1\"\n  writable = true\n" +
      kSite);
  const MqttBrokerConfig& b = config.broker;
  EXPECT_EQ(b.host, "fd00::1");
  EXPECT_EQ(b.port, 8884);
  EXPECT_TRUE(b.tls);
  EXPECT_EQ(b.clientId, "qormodbus-plant");
  EXPECT_EQ(b.passwordFile, "/etc/q/secret/p");
  EXPECT_EQ(b.caFile, "/etc/ssl/ca.crt");
  EXPECT_EQ(b.keepaliveSeconds, 60u);
  ASSERT_EQ(config.sites.size(), 2u);
  const MqttSiteConfig& rtu = config.sites[0];
  EXPECT_EQ(rtu.line, 8);
  EXPECT_EQ(rtu.intervalMs, 250u);
  EXPECT_EQ(rtu.options, (TypedOptions{{"Description", std::string("rtu")},
                                       {"Transport", std::string("rtu")},
                                       {"ComPort", uint32_t{3}},
                                       {"Baud", uint32_t{9600}},
                                       {"StopBits", uint8_t{2}},
                                       {"RS485", true},
                                       {"TimeoutMs", uint32_t{800}}}));
  ASSERT_EQ(rtu.points.size(), 2u);
  EXPECT_EQ(rtu.points[0].line, 17);
  EXPECT_EQ(rtu.points[0].deadband, 2.0);
  EXPECT_FALSE(rtu.points[0].writable);
  EXPECT_TRUE(rtu.points[1].writable);
  // Defaults: the plain port, the site's interval; a Modbus/TCP address without its slave.
  EXPECT_EQ(config.sites[1].intervalMs, 1000u);
  EXPECT_EQ(config.sites[1].options.at("Host"), TypedScalar(std::string("h")));
  EXPECT_EQ(Parsed(kBroker + kSite).broker.port, 1883);
  // Outside ASCII in texts and comments, wherever the quotes leave off.
  const std::string text = "\"\"\"Salle \\\"°C\\\n  \\u00b0\"\"\"\"  # 3° étage\n";
  const size_t at = kSite.find("transport");
  EXPECT_EQ(Parsed(kBroker + kSite.substr(0, at) + "description = " + text + kSite.substr(at))
                .sites[0]
                .options.at("Description"),
            TypedScalar(std::string("Salle \"°C\u00b0\"")));
  EXPECT_EQ(Parsed("[broker]\nurl = \"mqtts://h\"\nnode = \"n\"\n" + kSite).broker.port, 8883);
}

TEST(MqttConfigTest, TheExampleFileReads) {
  std::ifstream file(QMB_MQTT_EXAMPLE);
  std::stringstream text;
  text << file.rdbuf();
  ASSERT_TRUE(file) << QMB_MQTT_EXAMPLE;
  const MqttConfig config = Parsed(text.str(), QMB_MQTT_EXAMPLE);
  EXPECT_EQ(config.sites.size(), 2u);
}

TEST(MqttConfigTest, MistakesAreRefusedAtTheirLine) {
  struct Row {
    std::string text;
    int line;
    std::string phrase;
  };
  const std::string noPoint = "[[site]]\nname = \"s\"\ntransport = \"tcp\"\nhost = \"h\"\n";
  const std::string point = "[[site.point]]\nname = \"p\"\naddress = \"HREG1\"\n";
  const Row rows[] = {
      {"[broker\n", 1, "expected"},  // the parser's own, with its line
      {kBroker + "node = \"m\"\n", 4, "redefine"},
      {kSite, 1, "no [broker]"},
      {kBroker, 1, "no [[site]]"},
      {"[broker]\nurl = \"http://h\"\nnode = \"n\"\n" + kSite, 2, "mqtt://"},
      {"[broker]\nurl = \"mqtt://:1883\"\nnode = \"n\"\n" + kSite, 2, "no host"},
      {"[broker]\nurl = \"mqtt://h:65536\"\nnode = \"n\"\n" + kSite, 2, "port 1 to 65535"},
      {"[broker]\nurl = \"mqtt://h:0\"\nnode = \"n\"\n" + kSite, 2, "port 1 to 65535"},
      {"[broker]\nurl = \"mqtt://h:1883/x\"\nnode = \"n\"\n" + kSite, 2, "\"/x\" after"},
      {"[broker]\nurl = 5\nnode = \"n\"\n" + kSite, 2, "url must be a text"},
      {"[broker]\nurl = \"mqtt://h\"\nnode = \"a/b\"\n" + kSite, 3, "topic level"},
      {"[broker]\nurl = \"mqtt://h\"\n" + kSite, 1, "no node"},
      {kBroker + "keepalive = 4\n" + kSite, 4, "5 to 3600"},
      {kBroker + "passwrd_file = \"p\"\n" + kSite, 4, "unknown key \"passwrd_file\""},
      {kBroker + "password_file = \"p\"\n" + kSite, 4, "needs a username"},
      {kBroker + "ca_file = \"c\"\n" + kSite, 4, "mqtts://"},
      {kBroker + "extra = 1\n" + kSite, 4, "unknown key \"extra\""},
      {"top = 1\n" + kBroker + kSite, 1, "unknown key \"top\""},
      {kBroker + "[site]\nname = \"s\"\n", 4, "[[site]] tables"},
      {kBroker + noPoint, 4, "has no [[site.point]]"},
      {kBroker + kSite + kSite, 11, "at line 4 already"},
      {kBroker + kSite +
           "[[site]]\nname = \"t\"\ndescription = \"S\"\ntransport = \"tcp\"\n"
           "host = \"h\"\n" +
           point,
       11, "description \"S\" of site \"s\""},
      {kBroker + "[[site]]\nname = \"+\"\n", 5, "topic level"},
      {kBroker + "[[site]]\nname = \"s\"\nhost = \"h\"\n" + point, 4, "Transport is needed"},
      {kBroker + "[[site]]\nname = \"s\"\ntransport = \"tcp\"\n" + point, 4, "Host is needed"},
      {kBroker + noPoint + "parity = \"\\u0000\"\n" + point, 8, "parity holds a control character"},
      {kBroker + noPoint + "parity = \"\"\n" + point, 8, "parity is empty"},
      {kBroker + noPoint + "port = 70000\n" + point, 8, "port must be a whole number from 0"},
      {kBroker + noPoint + "port = \"502\"\n" + point, 8, "port must be a whole number"},
      {kBroker + noPoint + "port = 0\n" + point, 4, "Port must be 1 to 65535"},
      {kBroker + noPoint + "stop_bits = 256\n" + point, 8, "0 to 255"},
      {kBroker + noPoint + "com_port = -1\n" + point, 8, "0 to 4294967295"},
      {kBroker + noPoint + "rs485 = 1\n" + point, 8, "true or false"},
      {kBroker + noPoint + "interval_ms = 9\n" + point, 8, "10 to 3600000"},
      {kBroker + noPoint + "tranport = \"tcp\"\n" + point, 8, "unknown key \"tranport\""},
      {kBroker + noPoint + "point = 1\n", 8, "[[site.point]] tables"},
      {kBroker + kSite + point, 11, "a point \"p\" already, at line 8"},
      {kBroker + noPoint + "[[site.point]]\nname = \"p\"\naddress = \"HREGX\"\n", 10,
       "point \"HREGX\""},
      // A serial site's addresses need their slave; a Modbus/TCP site's do not (kSite).
      {kBroker + "[[site]]\nname = \"s\"\ntransport = \"rtu\"\ncom_port = 1\n" + point, 10,
       "slave"},
      {kBroker + noPoint + "[[site.point]]\nname = \"p\"\n", 8, "has no address"},
      {kBroker + noPoint + "[[site.point]]\nname = \"$p\"\naddress = \"HREG1\"\n", 9,
       "topic level"},
      {kBroker + kSite + "deadband = -1\n", 11, "0 or more"},
      {kBroker + kSite + "deadband = nan\n", 11, "0 or more"},
      {kBroker + kSite + "deadband = true\n", 11, "0 or more"},
      {kBroker + noPoint + "[[site.point]]\nname = \"p\"\naddress = \"OUT1\"\ndeadband = 1\n", 11,
       "is no number"},
      {kBroker + noPoint + "[[site.point]]\nname = \"p\"\naddress = \"IREG1\"\nwritable = true\n",
       11, "cannot be writable"},
      {kBroker + kSite + "writable = \"yes\"\n", 11, "true or false"},
      {kBroker + kSite + "dedband = 1\n", 11, "unknown key \"dedband\""},
      {kBroker + kSite + "deadband = 1 °\n", 11, "outside ASCII outside quotes"},
      {kBroker + noPoint + "description = \"\"\"a\\\n  °\"\"\"\n" + point, 9, "after a backslash"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const auto parsed = ParseMqttConfig(row.text, "b.toml");
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
    const std::string& why = std::get<std::string>(parsed);
    EXPECT_EQ(why.rfind("b.toml:" + std::to_string(row.line) + ": ", 0), 0u) << why;
    EXPECT_NE(why.find(row.phrase), std::string::npos) << why;
  }
}

TEST(MqttConfigTest, LoadingReadsThePasswordAndNamesTheFileItCannotRead) {
  const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / "mqtt_config";
  std::filesystem::create_directories(folder);
  const auto write = [&folder](const char* name, const std::string& text) {
    std::ofstream(folder / name) << text;
    return (folder / name).string();
  };
  const std::string user = "[broker]\nurl = \"mqtts://h\"\nnode = \"n\"\nusername = \"u\"\n";
  write("p", "s3cret\r\nnext line\n");
  write("empty", "\n");
  write("ca.crt", "-----BEGIN CERTIFICATE-----\n");
  std::filesystem::create_directories(folder / "folder");
  const auto good = std::get<MqttConfig>(LoadMqttConfig(
      write("good.toml", user + "password_file = \"p\"\nca_file = \"ca.crt\"\n" + kSite)));
  EXPECT_EQ(good.broker.password, "s3cret");
  EXPECT_EQ(good.broker.caFile, (folder / "ca.crt").string());
  struct Row {
    std::string file;  // the configuration, in the folder
    std::string error;
  };
  const Row rows[] = {
      {"none.toml", "none.toml: cannot read: No such file or directory"},
      {write("nopass.toml", user + "password_file = \"nope\"\n" + kSite),
       "password_file " + (folder / "nope").string() + ": cannot read: No such file"},
      {write("emptypass.toml", user + "password_file = \"empty\"\n" + kSite),
       "its first line is empty"},
      {write("noca.toml", user + "ca_file = \"folder\"\n" + kSite),
       "ca_file " + (folder / "folder").string() + ": cannot read: Is a directory"},
  };
  for (const Row& row : rows) {
    const auto loaded = LoadMqttConfig((folder / row.file).string());
    ASSERT_TRUE(std::holds_alternative<std::string>(loaded)) << row.file;
    EXPECT_NE(std::get<std::string>(loaded).find(row.error), std::string::npos)
        << std::get<std::string>(loaded);
  }
  // A broken file is named with its line as ParseMqttConfig names it.
  const auto broken = LoadMqttConfig(write("broken.toml", kBroker + "keepalive = 1\n"));
  EXPECT_EQ(std::get<std::string>(broken).rfind((folder / "broken.toml").string() + ":4: ", 0), 0u);
}

}  // namespace
}  // namespace qmb::test

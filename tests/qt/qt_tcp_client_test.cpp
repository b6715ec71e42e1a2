// The TCP client against a QTcpServer on the loopback interface: the order and number of its
// events, data as it arrives, refused connections and the peer closing, and the address forms.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <string>
#include <vector>

#include "QtTestSupport.h"
#include "platform/qt/QtTcpClient.h"

namespace qmb {
namespace {

using test::WaitUntil;

// Records every event of a client as a short line, in order.
struct EventLog {
  explicit EventLog(TcpClient& client) {
    client.OnConnected = [this](int, const std::string&) { events.push_back("connected"); };
    client.OnReadyToSend = [this] { events.push_back("ready"); };
    client.OnDisconnected = [this](int, const std::string& text) {
      events.push_back("disconnected");
      lastText = text;
    };
    client.OnError = [this](int code, const std::string& text) {
      events.push_back("error " + std::to_string(code));
      lastText = text;
    };
    client.OnDataIn = [this](const std::string& bytes) { data.push_back(bytes); };
  }
  int Count(const std::string& event) const {
    int n = 0;
    for (const auto& e : events) n += e == event;
    return n;
  }
  std::vector<std::string> events;
  std::vector<std::string> data;
  std::string lastText;
};

// A server socket's incoming bytes, read as they come.
std::string ReadFrom(QTcpSocket& peer, size_t count) {
  std::string got;
  WaitUntil([&] {
    got += peer.readAll().toStdString();
    return got.size() >= count;
  });
  return got;
}

TEST(QtTcpClient, ConnectsSignalsReadyOnceAndCarriesDataAsItArrives) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  QtTcpClient client;
  EventLog log(client);
  EXPECT_EQ(client.RemotePort(), 502) << "the Modbus port unless told otherwise";
  client.SetRemoteHost("127.0.0.1");
  client.SetRemotePort(server.serverPort());
  EXPECT_THROW(client.Send("x"), TcpError) << "sent while not connected";

  client.SetConnected(true);
  EXPECT_TRUE(client.Connected()) << "a connection on its way counts";
  EXPECT_THROW(client.Send("x"), TcpError) << "sent before the connection was up";
  ASSERT_TRUE(WaitUntil([&] { return log.Count("ready") == 1; }));
  EXPECT_EQ(log.events, (std::vector<std::string>{"connected", "ready"}));
  EXPECT_TRUE(client.LowDelay()) << "Nagle left on";
  ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
  std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());

  client.Send(std::string("\x00\x01\x00\x00\x00\x06", 6));
  EXPECT_EQ(ReadFrom(*peer, 6), std::string("\x00\x01\x00\x00\x00\x06", 6));

  // A reply in two pieces arrives as two data-in events, each with its own bytes.
  peer->write(QByteArray("\x00\x01\x00", 3));
  ASSERT_TRUE(WaitUntil([&] { return log.data.size() == 1; }));
  peer->write(QByteArray("\x00\x00\x05\x01", 4));
  ASSERT_TRUE(WaitUntil([&] { return log.data.size() == 2; }));
  EXPECT_EQ(log.data[0], std::string("\x00\x01\x00", 3));
  EXPECT_EQ(log.data[1], std::string("\x00\x00\x05\x01", 4));
  client.SetConnected(true);  // already up: nothing happens
  test::RunFor(50);
  EXPECT_EQ(log.Count("ready"), 1) << "ready to send repeated on one connection";

  // The peer closes: reported after the error that tells why, once.
  peer->close();
  ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnected") == 1; }));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(log.events.back(), "disconnected");
  EXPECT_EQ(log.events[log.events.size() - 2],
            "error " + std::to_string(QAbstractSocket::RemoteHostClosedError));
  EXPECT_THROW(client.Send("x"), TcpError);

  // Connecting again brings a new connection with its own ready-to-send.
  client.SetConnected(true);
  ASSERT_TRUE(WaitUntil([&] { return log.Count("ready") == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
  peer.reset(server.nextPendingConnection());

  // Our own close is reported at once, and the server sees it.
  client.SetConnected(false);
  EXPECT_EQ(log.Count("disconnected"), 2);
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(WaitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
  test::RunFor(50);
  EXPECT_EQ(log.Count("disconnected"), 2) << "a close reported twice";
}

TEST(QtTcpClient, ARefusedConnectionIsAnErrorThenADisconnect) {
  quint16 port = 0;
  {
    QTcpServer probe;  // a port that was free a moment ago and has no listener now
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    port = probe.serverPort();
  }
  QtTcpClient client;
  EventLog log(client);
  client.SetRemoteHost("127.0.0.1");
  client.SetRemotePort(port);
  client.SetConnected(true);
  ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnected") == 1; }));
  EXPECT_EQ(log.events, (std::vector<std::string>{
                            "error " + std::to_string(QAbstractSocket::ConnectionRefusedError),
                            "disconnected"}));
  EXPECT_NE(log.lastText.find("127.0.0.1:" + std::to_string(port)), std::string::npos)
      << log.lastText;
  EXPECT_FALSE(client.Connected());
  test::RunFor(50);
  EXPECT_EQ(log.events.size(), 2u);

  client.SetRemoteHost("");
  EXPECT_THROW(client.SetConnected(true), TcpError);
  client.SetRemoteHost("no-such-host.invalid");
  client.SetConnected(true);
  // The name is looked up first; a slow resolver is given its time.
  ASSERT_TRUE(WaitUntil([&] { return log.Count("disconnected") == 2; }, 15000));
  EXPECT_EQ(log.events[2], "error " + std::to_string(QAbstractSocket::HostNotFoundError));
}

TEST(QtTcpClient, ReachesHostsByIpv6AddressAndByName) {
  QTcpServer server;
  if (!server.listen(QHostAddress::Any)) GTEST_SKIP() << "no dual-stack listener here";
  const bool v6 = QTcpSocket().bind(QHostAddress::LocalHostIPv6);
  std::vector<std::string> hosts = {"localhost", "127.0.0.1"};
  if (v6) hosts.insert(hosts.end(), {"::1", "[::1]"});
  for (const std::string& host : hosts) {
    QtTcpClient client;
    EventLog log(client);
    client.SetRemoteHost(host);
    client.SetRemotePort(server.serverPort());
    client.SetConnected(true);
    EXPECT_TRUE(WaitUntil([&] { return log.Count("ready") == 1; })) << host;
    EXPECT_EQ(log.events, (std::vector<std::string>{"connected", "ready"})) << host;
    EXPECT_EQ(client.RemoteHost(), host);
    client.SetConnected(false);
    while (server.hasPendingConnections()) delete server.nextPendingConnection();
  }
}

}  // namespace
}  // namespace qmb

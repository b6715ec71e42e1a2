// The TCP client against a QTcpServer on the loopback interface: the order and number of its
// events, data as it arrives, refused connections and the peer closing, and the address forms.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "QtTestSupport.h"
#include "platform/qt/EpollEventDispatcher.h"
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

// Sends what was posted and handles what is ready, so that the next pass can block.
void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// Whether the next blocking pass of the loop is ended by a timer of its own rather than by
// anything else (a socket's bytes).
bool NextWakeIsTheTimer(int milliseconds) {
  bool fired = false;
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, [&] { fired = true; });
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  const bool first = fired;
  WaitUntil([&] { return fired; });
  return first;
}

// Whether bytes can be left unannounced here: only the server's dispatcher can watch a socket for
// its end alone; under Qt's own, arrivals keep waking whatever the setting.
bool QuietReadsHere() {
  return dynamic_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance()) != nullptr;
}

// A client connected to a loopback server, the server's end taken.
struct ConnectedPair {
  ConnectedPair() : log(client) {
    EXPECT_TRUE(server.listen(QHostAddress::LocalHost));
    client.SetRemoteHost("127.0.0.1");
    client.SetRemotePort(server.serverPort());
  }
  bool Connect() {
    client.SetConnected(true);
    if (!WaitUntil([&] { return client.Connected() && log.Count("ready") > readies; }))
      return false;
    readies = log.Count("ready");
    if (!WaitUntil([&] { return server.hasPendingConnections(); })) return false;
    peer.reset(server.nextPendingConnection());
    return true;
  }
  // Straight to the kernel: on loopback the bytes are with the client when this returns.
  void PeerSends(const std::string& bytes) const {
    ASSERT_EQ(::send(static_cast<int>(peer->socketDescriptor()), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
  }
  QTcpServer server;
  QtTcpClient client;
  EventLog log;
  std::unique_ptr<QTcpSocket> peer;
  int readies = 0;
};

// Read notification off leaves the peer's bytes in the kernel without a wake-up, while its close
// still wakes the loop; ReadNow takes the bytes whole, and a close it meets first is reported as
// a woken read reports it. Each row: what the peer does, whether the client reads before the loop
// runs, whether the loop wakes (on the server's dispatcher), and the client's events (data
// first) after two ReadNow calls.
struct ReadOnLookCase {
  const char* name;
  bool notification;  // read notification while the peer writes
  std::string sent;   // what the peer writes ("" for nothing)
  bool peerCloses;    // the peer closes after writing
  bool reconnect;     // a new connection first, which keeps the setting
  bool readFirst;     // ReadNow before the loop runs again
  bool wakes;         // the peer's bytes (or end) end the next blocking pass
  std::vector<std::string> events;
};

class ReadOnLook : public ::testing::TestWithParam<ReadOnLookCase> {};

const std::string kClosed = "error " + std::to_string(QAbstractSocket::RemoteHostClosedError);

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadOnLook,
    ::testing::Values(
        //             name                             notify sent          closes reconn readFirst wakes events
        ReadOnLookCase{"NotificationOnWakes",           true,  "\x01\x02\x03", false, false, false, true,  {"data \x01\x02\x03"}},
        ReadOnLookCase{"OffLeavesBytesForReadNow",      false, "\x01\x02\x03", false, false, false, false, {"data \x01\x02\x03"}},
        ReadOnLookCase{"OffReadNowOfNothing",           false, "",             false, false, false, false, {}},
        ReadOnLookCase{"OffOutlastsAReconnection",      false, "\x04\x05",     false, true,  false, false, {"data \x04\x05"}},
        ReadOnLookCase{"OffCloseStillWakes",            false, "",             true,  false, false, true,  {kClosed, "disconnected"}},
        ReadOnLookCase{"OffBytesThenCloseWake",         false, "\x06",         true,  false, false, true,  {"data \x06", kClosed, "disconnected"}},
        ReadOnLookCase{"OffCloseMetByReadNow",          false, "",             true,  false, true,  false, {kClosed, "disconnected"}},
        ReadOnLookCase{"OffBytesThenCloseMetByReadNow", false, "\x06",         true,  false, true,  false, {"data \x06", kClosed, "disconnected"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_P(ReadOnLook, TakesTheBytesWhenAskedAndWakesOnlyWhenOn) {
  const ReadOnLookCase& c = GetParam();
  ConnectedPair pair;
  ASSERT_TRUE(pair.Connect());
  pair.client.SetReadNotification(c.notification);
  if (c.reconnect) {
    pair.client.SetConnected(false);
    ASSERT_TRUE(pair.Connect());
  }
  Settle();
  const size_t eventsBefore = pair.log.events.size();
  if (!c.sent.empty()) pair.PeerSends(c.sent);
  if (c.peerCloses) ::shutdown(static_cast<int>(pair.peer->socketDescriptor()), SHUT_WR);
  const bool wakes = c.wakes || (!QuietReadsHere() && (!c.sent.empty() || c.peerCloses));
  if (!c.readFirst) {
    EXPECT_EQ(NextWakeIsTheTimer(150), !wakes);
    if (!wakes) {
      EXPECT_TRUE(pair.log.data.empty()) << "bytes handed over while read notification was off";
      EXPECT_EQ(pair.log.events.size(), eventsBefore) << "an event before ReadNow";
    }
    if (c.peerCloses) {
      EXPECT_TRUE(WaitUntil([&] { return pair.log.Count("disconnected") > 0; }));
    }
  }
  // Twice: a close behind bytes is met by the read after the one that took them, as on wake-ups.
  pair.client.ReadNow();
  pair.client.ReadNow();
  std::vector<std::string> seen;
  for (const std::string& bytes : pair.log.data) seen.push_back("data " + bytes);
  seen.insert(seen.end(), pair.log.events.begin() + static_cast<std::ptrdiff_t>(eventsBefore),
              pair.log.events.end());
  EXPECT_EQ(seen, c.events);
  EXPECT_EQ(pair.client.Connected(), !c.peerCloses);
  test::RunFor(30);
  EXPECT_EQ(pair.log.events.size() + pair.log.data.size(), eventsBefore + c.events.size())
      << "an event repeated after ReadNow";
}

TEST(QtTcpClient, ReadNotificationOnAgainHandsOverWhatWaited) {
  if (!QuietReadsHere()) GTEST_SKIP() << "arrivals always wake under this dispatcher";
  ConnectedPair pair;
  ASSERT_TRUE(pair.Connect());
  pair.client.SetReadNotification(false);
  pair.PeerSends("\x07\x08");
  test::RunFor(30);
  EXPECT_TRUE(pair.log.data.empty());
  pair.client.SetReadNotification(true);
  ASSERT_TRUE(WaitUntil([&] { return pair.log.data.size() == 1; }));
  EXPECT_EQ(pair.log.data[0], "\x07\x08");
  pair.PeerSends("\x09");
  ASSERT_TRUE(WaitUntil([&] { return pair.log.data.size() == 2; })) << "woken again";
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

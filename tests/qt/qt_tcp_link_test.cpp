// The engine's Modbus/TCP link on a real socket: one connection per host, a reconnect for a
// point that names another host, a reply put together from the pieces it arrives in, and a
// refused host.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <string>

#include "QtTestSupport.h"
#include "links/TcpLink.h"
#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/qt/QtTcpClient.h"

namespace qmb {
namespace {

using test::WaitUntil;

class TcpLinkOnSockets : public ::testing::Test {
 protected:
  TcpLinkOnSockets() : link(client, site, model, log) {
    client.OnConnected = [this](int, const std::string& text) { link.TCP1Connected(text); };
    client.OnDisconnected = [this](int, const std::string& text) { link.TCP1Disconnected(text); };
    client.OnError = [this](int, const std::string& text) { link.TCP1Error(text); };
    client.OnReadyToSend = [this] { link.TCP1ReadyToSend(); };
    client.OnDataIn = [this](const std::string& bytes) { link.TCP1DataIn(bytes); };
  }
  static std::string Address(const QTcpServer& server) {
    return "127.0.0.1:" + std::to_string(server.serverPort());
  }
  // Selects a host and waits until the link says it can send.
  bool SelectAndWait(const std::string& host) {
    link.SelectHost(host);
    return WaitUntil([&] { return link.TCPReady(); });
  }

  TSite site;
  SiteWindowModel model;
  Logger log;
  QtTcpClient client;
  TcpLink link;
};

TEST_F(TcpLinkOnSockets, OneConnectionPerHostAndAReconnectForAnother) {
  QTcpServer first, second;
  ASSERT_TRUE(first.listen(QHostAddress::LocalHost));
  ASSERT_TRUE(second.listen(QHostAddress::LocalHost));
  site.IPAddress = Address(first);

  ASSERT_TRUE(SelectAndWait(""));
  ASSERT_TRUE(WaitUntil([&] { return first.hasPendingConnections(); }));
  QTcpSocket* peer = first.nextPendingConnection();
  link.SendTCP("A");
  ASSERT_TRUE(SelectAndWait(""));
  link.SendTCP("B");
  std::string got;
  ASSERT_TRUE(WaitUntil([&] {
    got += peer->readAll().toStdString();
    return got.size() >= 2;
  }));
  EXPECT_EQ(got, "AB") << "both requests on the one connection";
  EXPECT_FALSE(first.hasPendingConnections());

  // A point naming another host moves the link there.
  ASSERT_TRUE(SelectAndWait(Address(second)));
  EXPECT_TRUE(WaitUntil([&] { return second.hasPendingConnections(); }));
  EXPECT_TRUE(WaitUntil([&] { return peer->state() != QAbstractSocket::ConnectedState; }))
      << "the first host's connection is closed";
  EXPECT_EQ(client.RemotePort(), second.serverPort());
}

TEST_F(TcpLinkOnSockets, AReplyWrittenInPiecesArrivesWhole) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  site.IPAddress = Address(server);
  ASSERT_TRUE(SelectAndWait(""));
  ASSERT_TRUE(WaitUntil([&] { return server.hasPendingConnections(); }));
  QTcpSocket* peer = server.nextPendingConnection();
  const std::string reply("\x12\x34\0\0\0\x05\xFF\x03\x02\x03\xE8", 11);
  link.SendTCP(std::string("\x12\x34\0\0\0\x06\xFF\x03\x00\x63\x00\x01", 12));
  peer->write(reply.data(), 4);
  peer->flush();
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& line : model.LogMmo)
      if (line == "Data In: [12][34][00][00]") return true;
    return false;
  }));
  EXPECT_FALSE(link.ReplyArrived()) << "the header alone is no reply";
  peer->write(reply.data() + 4, 7);
  peer->flush();
  ASSERT_TRUE(WaitUntil([&] { return link.ReplyArrived(); }));
  EXPECT_EQ(link.ReplyText(), reply);
}

TEST_F(TcpLinkOnSockets, ARefusedHostIsLoggedAndTriedAgainLater) {
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
  const std::string closed = Address(probe);
  probe.close();  // nothing listens there any more
  site.IPAddress = closed;
  link.SelectHost("");
  ASSERT_TRUE(WaitUntil([&] { return !client.Connected(); }));
  EXPECT_FALSE(link.TCPReady());
  ASSERT_GE(model.LogMmo.size(), 2u);
  EXPECT_EQ(model.LogMmo[0].rfind("Error: ", 0), 0u) << model.LogMmo[0];
  EXPECT_EQ(model.LogMmo[1].rfind("Disconnected: ", 0), 0u) << model.LogMmo[1];

  // Once something listens again, the next request connects.
  QTcpServer back;
  ASSERT_TRUE(back.listen(QHostAddress::LocalHost));
  site.IPAddress = Address(back);
  EXPECT_TRUE(SelectAndWait(""));
}

}  // namespace
}  // namespace qmb

#include "engine/TestTools.h"

#include "protocol/PointAddress.h"

namespace qmb {

void TestTools::TestBtnClick() {
  model_.ClearLog();
  const auto point = ParsePointAddress(model_.CmdEdt, false);
  if (!point) {
    model_.AddLogLine("***ERROR***");
    return;
  }
  model_.AddLogLine("IP: " + point->Host);
  model_.AddLogLine("Pnl: " + std::to_string(point->Slave));
  model_.AddLogLine("Typ: " + std::string(KindWord(point->PointKind)));
  model_.AddLogLine("Num: " + std::to_string(point->Number));
  model_.AddLogLine("1st: " + std::to_string(point->First));
  model_.AddLogLine("Num: " + std::to_string(point->Count));
  model_.AddLogLine("Typ: " + std::string(TypeWord(point->DataType)));
}

void TestTools::CmdEdtKeyPress(char key) {
  if (key == 13) TestBtnClick();
}

void TestTools::TCPSendBtnClick() {
  if (!client_.Connected()) return;
  std::string frame("\xAA\x55\x00\x00\x00\x06\xFF\x05\x00\x00\x00\x00", 12);
  frame[10] = model_.StateChk ? '\xFF' : '\x00';
  client_.Send(frame);
  model_.AddLogLine("Data Sent");
}

void TestTools::ConnectBtnClick() {
  if (client_.Connected()) return;
  std::string host;
  uint16_t port = TcpLink::kModbusPort;
  if (!SplitHostAndPort(testAddress_, host, port)) {
    model_.AddLogLine("Error: \"" + testAddress_ + "\" is not a valid host[:port]");
    return;
  }
  client_.SetRemoteHost(host);
  client_.SetRemotePort(port);
  client_.SetConnected(true);
  tcp_.MarkReady();
}

void TestTools::DisconnectBtnClick() {
  if (client_.Connected()) client_.SetConnected(false);
}

}  // namespace qmb

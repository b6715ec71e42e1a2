#include "support/HostFixture.h"

namespace qmb::test {

std::string Element(const Variant& reply, int32_t index) {
  const Variant& element = reply.AsArray().Get(index);
  return element.IsEmpty() ? "<empty>" : element.ToText();
}

std::string Status(const Variant& reply) {
  std::string status;
  GetParamStr(reply, "COMMANDSTATUS", status);
  return status;
}

std::unique_ptr<TQorModBusCom> HostFixture::NewClient() {
  auto client = std::make_unique<TQorModBusCom>(main);
  EXPECT_TRUE(client->SetDriverOption(List({"VERSIONCHECK=1.8"})));
  return client;
}

std::unique_ptr<TQorModBusCom> HostFixture::OpenOffline(const std::string& description,
                                                        bool local) {
  auto client = NewClient();
  EXPECT_TRUE(client->OpenSite(List({"DESCRIPTION=" + description, "OFFLINE=TRUE",
                                     local ? "LOCALCLIENT=TRUE" : "LOCALCLIENT=FALSE"})));
  EXPECT_EQ(Status(client->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))), "TRUE");
  return client;
}

Variant HostFixture::RunToEnd(TQorModBusCom& client, std::initializer_list<std::string> command) {
  Variant reply = client.ExecuteCommand(Variant(SafeArray::OfTexts(command)));
  for (int tick = 0; tick < 1000; ++tick) {
    const std::string status = Status(reply);
    if (status == "TRUE" || status == "FALSE" || status == "LOCKED") return reply;
    loop.RunFor(100);
    reply = client.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  }
  ADD_FAILURE() << "command never ended";
  return reply;
}

}  // namespace qmb::test

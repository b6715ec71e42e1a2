// The in-process demonstration: one host session against an offline site, run inside the
// driver's own process with no bus, printing every reply (version check, open, commands with
// their status polls, a second client sharing the site, close and release).
#include "app/InProcessDemo.h"

#include <cstdio>
#include <memory>
#include <string>

#include "host/QorModBusCom.h"
#include "platform/ParamList.h"

namespace qmb {

namespace {

Variant List(std::initializer_list<std::string> elements) {
  return Variant(SafeArray::OfTexts(std::vector<std::string>(elements)));
}

std::string Show(const Variant& reply) {
  if (!reply.IsArray()) return reply.ToText();
  std::string text = "[";
  const SafeArray& array = reply.AsArray();
  for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
    if (i > array.LowerBound()) text += ", ";
    const Variant& element = array.Get(i);
    text += element.Type() == VarType::Empty ? "<empty>" : "\"" + element.ToText() + "\"";
  }
  return text + "]";
}

void Print(const std::string& what, const std::string& answer) {
  std::printf("%-46s -> %s\n", what.c_str(), answer.c_str());
  std::fflush(stdout);
}

// One delay period of the host's own, the driver's events flowing meanwhile (the demo host runs
// on the driver's thread, so it waits in its loop).
void WaitOnePeriod(DelayClock& clock) {
  const uint16_t start = clock.DelayTicks;
  while (clock.DelayTicks == start) clock.Loop().WaitForEvents();
}

// Polls COMMANDSTATUS the way a host does until the command ends, waiting between polls.
Variant RunCommand(TMainForm& main, TQorModBusCom& client, std::initializer_list<std::string> cmd) {
  Variant reply = client.ExecuteCommand(List(cmd));
  Print("ExecuteCommand " + std::string(*cmd.begin()), Show(reply));
  for (int polls = 0; polls < 50; ++polls) {
    WaitOnePeriod(main.Delay());
    reply = client.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
    std::string first;
    GetParamStr(reply, "COMMANDSTATUS", first);
    if (first == "TRUE" || first == "FALSE" || first == "LOCKED") break;
  }
  Print("  ... COMMAND=COMMANDSTATUS", Show(reply));
  return reply;
}

}  // namespace

int RunInProcessDemo(TMainForm& main) {
  std::printf("%s: in-process host session against an offline site\n", main.Caption().c_str());
  auto host = std::make_unique<TQorModBusCom>(main);
  Print("OpenSite before VERSIONCHECK",
        host->OpenSite(List({"DESCRIPTION=Demo Site"})) ? "true" : "false");
  Print("SetDriverOption VERSIONCHECK=1.8",
        host->SetDriverOption(List({"VERSIONCHECK=1.8"})) ? "true" : "false");
  const bool opened = host->OpenSite(
      List({"DESCRIPTION=Demo Site", "OFFLINE=TRUE", "LOCALCLIENT=TRUE", "PANELTYPE=0"}));
  Print("OpenSite DESCRIPTION=Demo Site OFFLINE=TRUE", opened ? "true" : "false");
  Print("  ... COMMAND=COMMANDSTATUS", Show(host->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))));
  Print("  window caption", "\"" + host->Engine->Model.Caption + "\"");

  RunCommand(main, *host, {"COMMAND=SITETIME"});

  auto second = std::make_unique<TQorModBusCom>(main);
  second->SetDriverOption(List({"VERSIONCHECK=1.8"}));
  second->OpenSite(List({"DESCRIPTION=DEMO SITE", "OFFLINE=TRUE"}));
  Print("second client opens \"DEMO SITE\"",
        second->Engine == host->Engine ? "shares the engine" : "got another engine");
  second->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}));
  host->ExecuteCommand(List({"COMMAND=GETDATA", "DRIVERCOMMAND=LOCKCLIENT"}));
  Print("second client while the first one's command runs",
        Show(second->ExecuteCommand(List({"COMMAND=SITESTATUS"}))));
  RunCommand(main, *host, {"COMMAND=COMMANDSTATUS"});

  Print("ExecuteImmediate SENDPOINTSLIST",
        Show(host->ExecuteImmediate(List({"COMMAND=SENDPOINTSLIST", "POINT0=1-HREG100"}))));
  Print("CloseSite (second client)", second->CloseSite(List({})) ? "true" : "false");
  second.reset();
  Print("CloseSite (last client)", host->CloseSite(List({})) ? "true" : "false");
  Print("  ... COMMAND=COMMANDSTATUS", Show(host->ExecuteCommand(List({"COMMAND=COMMANDSTATUS"}))));
  host.reset();
  main.Loop().ProcessPendingEvents();
  Print("engines after the last release", std::to_string(main.ChildCount()));
  return 0;
}

}  // namespace qmb

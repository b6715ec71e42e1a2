// What the site window shows, kept by the engine. The engine never draws: it writes here and
// the window (when there is one) renders the model on every change notification.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "model/LogLines.h"

namespace qmb {

struct LightModel {
  bool lit = false;
};

struct SiteWindowModel {
  // Window caption: the site's description, " (Offline Mode)" appended while offline.
  std::string Caption;

  // Tool bar.
  std::string ClientCountLbl = "0";
  bool BlockChk = false;

  // "Command" group: the last request sent.
  std::string CmdAddLbl = "0";
  std::string CmdFuncLbl = "0 <None>";
  std::string CmdDataLbl = "[]";

  // "Response" group: the last reply. The function caption turns red ("Error:") for a slave
  // exception; the window renders that attribute.
  std::string ReplyAddLbl = "0";
  std::string ReplyFuncLabelLbl = "Function:";
  bool ReplyFuncLabelIsError = false;
  std::string ReplyFuncLbl = "0 <None>";
  std::string ReplyDataLbl = "[]";

  // Raw command entry.
  std::string CmdEdt;

  // Port panel.
  std::string ProtocolLbl = "ASCII";
  std::string PortLbl = "0";
  std::string BaudLbl = "38400";
  std::string ParityLbl = "None";
  std::string StopBitsLbl = "2";

  // Log and the TCP test controls.
  // A deque: the full log drops its oldest line for each new one, every poll, for months.
  LogLines LogMmo;
  bool StateChk = false;

  // Status bar.
  std::string MessagePnl;
  std::string TimePnl = "Local Time:";
  LightModel RxLight, TxLight, CDLight, CSLight, DSLight;

  // Called after every change; the window re-renders from the model.
  std::function<void()> OnChanged;
  void Changed() const {
    if (OnChanged) OnChanged();
  }

  // The log keeps a bounded number of lines so a site that runs for months cannot grow it
  // without end; the oldest lines go first.
  static constexpr size_t kMaxLogLines = 5000;
  void AddLogLine(std::string line);
  // A line of prefix and the bytes as "[hh]"s, written out when first read.
  void AddLogBytes(const char* prefix, std::string_view bytes);
  void ClearLog();

 private:
  void LogAdded();
};

}  // namespace qmb

#include "engine/WindowBoxes.h"

#include <algorithm>
#include <string>

#include "protocol/CodeNames.h"

namespace qmb {

namespace {

// The Response box names exceptions 1 to 6 only; 7 and 8 show as bare numbers although the table
// holds their names.
constexpr int32_t kLastNamedException = 6;

}  // namespace

void ShowCommand(SiteWindowModel& window, const ModbusRequest& request) {
  const uint8_t function = request.Function();
  window.CmdAddLbl = std::to_string(request.Unit());
  window.CmdFuncLbl = std::to_string(function);
  const std::string_view name = FunctionName(function);
  if (!name.empty()) window.CmdFuncLbl += " (" + std::string(name) + ")";

  const std::string_view data =
      std::string_view(request.Bytes).substr(std::min<size_t>(2, request.Bytes.size()));
  window.CmdDataLbl = ByteListText(reinterpret_cast<const uint8_t*>(data.data()), data.size());

  window.ReplyAddLbl.clear();
  window.ReplyFuncLabelLbl = "Function:";
  window.ReplyFuncLabelIsError = false;
  window.ReplyFuncLbl.clear();
  window.ReplyDataLbl.clear();
  window.Changed();
}

void ShowReply(SiteWindowModel& window, const ReplyBlock& reply) {
  window.ReplyAddLbl = std::to_string(reply.Address);
  if (reply.ErrorCode != kReplyNoError) {
    window.ReplyFuncLabelLbl = "Error:";
    window.ReplyFuncLabelIsError = true;
    window.ReplyFuncLbl = std::to_string(reply.ErrorCode);
    if (reply.ErrorCode >= 1 && reply.ErrorCode <= kLastNamedException)
      window.ReplyFuncLbl += " (" + std::string(ExceptionName(reply.ErrorCode)) + ")";
    else if (reply.ErrorCode == kReplyChecksumOrUnknown)
      window.ReplyFuncLbl += " (Checksum/Unknown Error)";
  } else {
    window.ReplyFuncLabelLbl = "Function:";
    window.ReplyFuncLabelIsError = false;
    window.ReplyFuncLbl = std::to_string(reply.Function);
  }
  const int32_t length = std::clamp(reply.DataLength, 0, static_cast<int32_t>(reply.Data.size()));
  window.ReplyDataLbl = ByteListText(reply.Data.data(), static_cast<size_t>(length));
  window.Changed();
}

}  // namespace qmb

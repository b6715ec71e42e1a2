#include "engine/DataCommands.h"

#include <exception>

#include "platform/Log.h"
#include "platform/ParamList.h"

namespace qmb {

namespace {

constexpr const char* kReadFailed = "Could not read data from panel.";
constexpr const char* kModifyFailed = "Could not modify point.";
// A point read's reply wait on the serial line: RTU up to 10 passes of 2 delay periods (it ends at
// the first pass without a byte), ASCII up to 20 periods for the end of line.
constexpr int kRtuPasses = 10;
constexpr int kRtuPassPeriods = 2;
constexpr int kAsciiPasses = 20;

// The groups of a POINT parameter: {key}{address}{VALUE=...}{...}; empty when POINT is absent.
std::vector<std::string> PointGroups(const Variant& params, int count) {
  std::string pointText;
  if (!GetParamStr(params, "POINT", pointText)) return {};
  return BraceGroups(pointText, count);
}

// The value group's text from its first "=" on, without its first character ("VALUE=ON" gives
// "ON"; a group without "=" loses its first character).
std::string WriteValueText(const std::string& group) {
  const auto equals = group.find('=');
  std::string text = equals == std::string::npos ? group : group.substr(equals);
  if (!text.empty()) text.erase(0, 1);
  return text;
}

}  // namespace

DataCommands::DataCommands(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      points_(parts.points),
      line_(parts.line),
      transactions_(parts.transactions),
      tcp_(parts.tcp),
      log_(parts.log),
      delay_(parts.delay) {}

template <typename Condition>
Task<bool> DataCommands::WaitFor(Condition condition, int passes) {
  for (int i = 0; i < passes && !condition(); ++i) co_await delay_.Delay(1);
  co_return condition();
}

std::optional<PointAddress> DataCommands::ParsePoint(const std::string& text, bool tcpMode) const {
  auto point = ParsePointAddress(text, tcpMode);
  if (!point) log_.Cause("bad address syntax: \"" + text + "\"");
  return point;
}

void DataCommands::NameUnknownCause() const {
  // Every more specific cause (the port, the connection, the device's exception, the address)
  // has been named where it was found; what is left is a device that gave no usable answer.
  if (log_.CurrentCause().empty()) log_.Cause("no usable reply from the device");
}

void DataCommands::FinishRead(bool success, const std::string& value) {
  if (!success) {
    NameUnknownCause();
    return session_.FailCommand(kReadFailed);
  }
  SafeArray result(ElementType::Text, 0, 1);
  result.Put(0, Variant(MakeParam("VALUE", value)));
  session_.SetResult(Variant(std::move(result)));
  session_.SetErrorText({});
  session_.EndCommand(kStateDone);
}

void DataCommands::FinishWrite(bool success) {
  if (!success) {
    NameUnknownCause();
    return session_.FailCommand(kModifyFailed);
  }
  session_.SetErrorText({});
  session_.EndCommand(kStateDone);
}

Task<bool> DataCommands::ReadSerial(const std::string& address, std::string& value) {
  if (site_.UseRTU) {
    line_.ResetActivity();
    transactions_.FrameRTURead(address);
    transactions_.StartReceive();
    transactions_.SendArmed(transactions_.SentFrame());
    // The reply must begin within the first pass and ends at the first pass without a byte.
    for (int pass = 0; pass < kRtuPasses; ++pass) {
      line_.ResetActivity();
      co_await delay_.Delay(kRtuPassPeriods);
      if (line_.ActivityCount() == 0) break;
    }
    transactions_.StopReceive();
    if (transactions_.ReceivedCount() > 2 && transactions_.CheckValueReply(SerialFraming::RTU)) {
      value = DecodePointValue(transactions_.Reply(), address, false);
      co_return true;
    }
    co_return false;
  }

  line_.ResetActivity();
  line_.ForgetEndOfLine();
  const std::string frame = transactions_.FrameASCIIRead(address);
  line_.ArmEndOfLine();
  transactions_.StartReceive();
  transactions_.SendArmed(frame);
  for (int pass = 0; pass < kAsciiPasses && !line_.EolFired(); ++pass) co_await delay_.Delay(1);
  transactions_.StopReceive();
  line_.DisarmEndOfLine();
  if (line_.EolFired()) {
    if (transactions_.ReceivedCount() > 2) {
      transactions_.DecodeReceived(Framing::ASCII);
      if (transactions_.CheckValueReply(SerialFraming::ASCII)) {
        value = DecodePointValue(transactions_.Reply(), address, false);
        co_return true;
      }
    }
  } else if (line_.ActivityCount() == 0) {
    co_await transactions_.ResetLink();  // nothing at all came back
  }
  co_return false;
}

Task<void> DataCommands::PointGetValue() {
  if (flags_.TCPMode) {
    co_await ReadPointTCP();
    co_return;
  }
  session_.MarkBusy();
  std::string value;
  bool success = false;
  try {
    const auto groups = PointGroups(session_.CommandParams(), 2);
    // An address that does not parse fails at once: nothing is sent or waited for.
    if (!groups.empty() && ParsePoint(groups[1], false))
      success = co_await ReadSerial(groups[1], value);
  } catch (const std::exception& e) {
    // What stopped the exchange (the port down, a line that takes nothing) is the cause.
    log_.Cause(e.what());
    success = false;
  }
  FinishRead(success, value);
}

Task<void> DataCommands::ReadPointTCP() {
  session_.MarkBusy();
  bool success = false;
  std::string value;
  try {
    const auto groups = PointGroups(session_.CommandParams(), 2);
    const auto point = groups.empty() ? std::nullopt : ParsePoint(groups[1], true);
    if (point) {
      tcp_.SelectHost(point->Host);
      if (co_await WaitFor([this] { return tcp_.TCPReady(); }, kReadyPasses)) {
        const auto request = ReadRequest(*point);
        tcp_.SendTCP(request ? transactions_.FrameTCP(*request) : std::string());
        const bool arrived = co_await WaitFor([this] { return tcp_.ReplyArrived(); }, kReplyPasses);
        if (arrived && transactions_.CheckValueReply(tcp_.Request(), tcp_.ReplyText())) {
          value = DecodePointValue(transactions_.Reply(), groups[1], true);
          success = true;
        }
      }
    }
  } catch (const std::exception& e) {
    // What stopped the exchange (the port down, a line that takes nothing) is the cause.
    log_.Cause(e.what());
    success = false;
  }
  FinishRead(success, value);
}

Task<void> DataCommands::PointModify() {
  if (flags_.TCPMode) {
    co_await WritePointTCP();
    co_return;
  }
  bool success = false;
  try {
    if (const auto write = ParseWriteRequest(false)) {
      // Inputs cannot be written; a register value beyond 16 bits is refused, not truncated.
      const std::string request = BuildSerialWriteText(write->point, write->value);
      if (!request.empty()) {
        const int32_t replyBytes = co_await transactions_.Transact(request);
        success = replyBytes > 0 && transactions_.Reply().ErrorCode == kReplyNoError;
      }
      if (success) StoreWritten(*write);
    }
  } catch (const std::exception& e) {
    log_.Cause(e.what());
    success = false;
  }
  FinishWrite(success);
}

Task<void> DataCommands::WritePointTCP() {
  bool success = false;
  try {
    const auto write = ParseWriteRequest(true);
    const auto request = write ? qmb::WriteRequest(write->point, write->value) : std::nullopt;
    const std::string frame = request ? transactions_.FrameTCP(*request) : std::string();
    if (!frame.empty()) {
      tcp_.SelectHost(write->point.Host);
      if (co_await WaitFor([this] { return tcp_.TCPReady(); }, kReadyPasses)) {
        tcp_.SendTCP(frame);
        // Done only when the device echoes this write; its exception is a refused write.
        const bool arrived = co_await WaitFor([this] { return tcp_.ReplyArrived(); }, kReplyPasses);
        success = arrived && transactions_.CheckValueReply(tcp_.Request(), tcp_.ReplyText());
      }
      if (success) StoreWritten(*write);
    }
  } catch (const std::exception& e) {
    log_.Cause(e.what());
    success = false;
  }
  FinishWrite(success);
}

std::optional<DataCommands::WriteRequest> DataCommands::ParseWriteRequest(bool tcpMode) const {
  // Nothing is written while the link is down.
  if (!LinkUp()) return std::nullopt;
  const auto groups = PointGroups(session_.CommandParams(), 3);
  const std::string valueText = groups.empty() ? std::string() : WriteValueText(groups[2]);
  if (valueText.empty()) return std::nullopt;
  const auto point = ParsePoint(groups[1], tcpMode);
  if (!point) return std::nullopt;
  // A value that cannot be read is refused: nothing is sent.
  const auto value = ParseWriteValue(valueText);
  if (!value) return std::nullopt;
  return WriteRequest{groups[0], *point, *value};
}

void DataCommands::StoreWritten(const WriteRequest& write) {
  // The table entry named by the key group holds the written value until the next poll.
  if (const int32_t position = points_.IndexOf(write.key); position >= 0)
    points_.SetPointValue(position, std::to_string(write.value));
}

void DataCommands::GetAlarms() {
  std::vector<std::string> texts;
  for (const std::string& alarm : alarms_)
    texts.push_back("ALARM" + std::to_string(texts.size()) + "=" + alarm);
  alarms_.clear();
  session_.SetResult(Variant(SafeArray::OfTexts(texts)));
  session_.EndCommand(kStateDone);
}

void DataCommands::NotSupported() {
  session_.FailCommand(CommandSession::kNotSupported);
}

}  // namespace qmb

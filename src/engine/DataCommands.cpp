#include "engine/DataCommands.h"

#include <exception>

#include "platform/Locale.h"
#include "platform/Log.h"
#include "platform/ParamList.h"

namespace qmb {

namespace {

constexpr const char* kReadFailed = "Could not read data from panel.";
constexpr const char* kModifyFailed = "Could not modify point.";
// The groups of a POINT parameter: {key}{address}{VALUE=...}{...}; none (the cause named) when
// POINT is absent or has no groups.
std::vector<std::string> PointGroups(const Variant& params, int count, const Logger& log) {
  std::string pointText;
  if (!GetParamStr(params, "POINT", pointText)) {
    log.Cause("no POINT given (POINT={label}{address})");
    return {};
  }
  // An address sent bare (POINT=HREG4) would read as an empty one.
  if (pointText.find('{') == std::string::npos) {
    log.Cause("POINT \"" + pointText + "\" has no {...} groups: POINT={label}{address}");
    return {};
  }
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
      transactions_(parts.transactions),
      log_(parts.log) {}

std::optional<PointAddress> DataCommands::ParsePoint(const std::string& text, bool tcpMode) const {
  std::string why;
  auto point = ParsePointAddress(text, tcpMode, &why);
  if (!point) log_.Cause("bad address syntax: \"" + text + "\": " + why);
  return point;
}

std::optional<TypedLayout> DataCommands::Typed(const PointAddress& point) const {
  return site_.TypedDecode ? TypedLayoutOf(point) : std::nullopt;
}

bool DataCommands::Valid(const TypedLayout& layout) const {
  const std::string error = TypedLayoutError(layout);
  if (!error.empty()) log_.Cause("nothing sent: " + error);
  return error.empty();
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

Task<void> DataCommands::PointGetValue() {
  session_.MarkBusy();
  std::string value;
  bool success = false;
  try {
    const auto groups = PointGroups(session_.CommandParams(), 2, log_);
    // An address that does not parse fails at once: nothing is sent or waited for.
    const auto point =
        groups.empty() ? std::nullopt : ParsePoint(groups[1], HostAddresses(site_, flags_));
    const auto layout = point ? Typed(*point) : std::nullopt;
    const auto request = !point || (layout && !Valid(*layout)) ? std::nullopt
                         : layout
                             ? ReadRequest(*point, static_cast<uint16_t>(RegisterCount(*layout)))
                             : ReadRequest(*point);
    if (point && layout && !request)
      log_.Cause("nothing sent: the value's " + std::to_string(RegisterCount(*layout)) +
                 " registers run past the last register");
    if (request) {
      const ExchangeResult result = co_await transactions_.Exchange(*request, kPointReadPolicy);
      if (result.Ok()) {
        value = PointValueOf(result.Reply, *point, layout.has_value());
        success = true;
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
  bool success = false;
  try {
    if (const auto write = ParseWriteRequest(HostAddresses(site_, flags_))) {
      // Inputs cannot be written; a register value beyond 16 bits is refused, not truncated.
      if (const auto request =
              write->typed
                  ? WriteRegistersRequest(write->point, write->registers, site_.WriteMultiple)
                  : qmb::WriteRequest(write->point, write->value, site_.WriteMultiple)) {
        // Done only when the device echoes this write; its exception is a refused write.
        const ExchangeResult result = co_await transactions_.Exchange(*request, kPointWritePolicy);
        success = result.Ok();
      } else if (write->typed) {
        // One request carries at most 123 registers, and none past the last register.
        log_.Cause("nothing sent: " + std::to_string(write->registers.size()) +
                   " registers do not go in one write from " +
                   FormatPointAddress(write->point, HostAddresses(site_, flags_)) +
                   " (123 at the most)");
      } else {
        log_.Cause("nothing sent: " + WriteRefusal(write->point, write->value));
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
  if (!LinkUp()) {
    log_.Cause(site_.OfflineMode ? "nothing sent: the site is offline"
                                 : "nothing sent: the site is not connected");
    return std::nullopt;
  }
  const auto groups = PointGroups(session_.CommandParams(), 3, log_);
  if (groups.empty()) return std::nullopt;  // named as the cause already
  const std::string valueText = WriteValueText(groups[2]);
  if (valueText.empty()) {
    log_.Cause("nothing sent: no value to write (POINT={key}{address}{VALUE=value})");
    return std::nullopt;
  }
  const auto point = ParsePoint(groups[1], tcpMode);
  if (!point) return std::nullopt;
  // A site that decodes by type writes a typed address by its type: the value read as the type
  // reads it, out of range or unreadable refused before anything is sent.
  if (const auto layout = Typed(*point)) {
    if (!Valid(*layout)) return std::nullopt;
    if (point->PointKind != PointAddress::Kind::HoldingRegister) {
      log_.Cause("nothing sent: " + WriteRefusal(*point, 0));
      return std::nullopt;
    }
    EncodedValue encoded = EncodeTypedValue(*layout, valueText, DecimalSeparator());
    if (!encoded.error.empty()) {
      log_.Cause("nothing sent: " + encoded.error);
      return std::nullopt;
    }
    const std::string written = DecodeTypedValue(*layout, encoded.registers);
    return WriteRequest{groups[0], *point, 0, true, std::move(encoded.registers), written};
  }
  // A value that cannot be read is refused: nothing is sent.
  const auto value = ParseWriteValue(valueText);
  if (!value) {
    log_.Cause("nothing sent: VALUE \"" + valueText +
               "\" is no number (nor ON, OFF, TRUE or FALSE)");
    return std::nullopt;
  }
  return WriteRequest{groups[0], *point, *value, false, {}, {}};
}

void DataCommands::StoreWritten(const WriteRequest& write) {
  // The table entry named by the key group holds the written value until the next poll.
  if (const int32_t position = points_.IndexOf(write.key); position >= 0)
    points_.SetPointValue(position, write.typed ? write.text : std::to_string(write.value),
                          write.typed);
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

#include "engine/SiteCommands.h"

#include <cmath>
#include <exception>

#include "platform/DateTime.h"
#include "platform/Locale.h"
#include "platform/ParamList.h"
#include "platform/TextHelpers.h"

namespace qmb {

std::string DateTimeText(double dateTime) {
  const CivilTime t = DecodeDateTime(dateTime);
  std::string text = ShortDateText(dateTime);
  if (t.hour || t.minute || t.second || t.millisecond) text += " " + LongTimeText(dateTime);
  return text;
}

SiteCommands::SiteCommands(Parts parts)
    : site_(parts.site),
      flags_(parts.flags),
      session_(parts.session),
      transactions_(parts.transactions),
      link_(parts.link),
      clock_(parts.clock),
      log_(parts.log) {}

void SiteCommands::SiteTime() {
  SafeArray result(ElementType::Text, 0, 1);
  result.Put(0, Variant(MakeParam("SITETIME", DateTimeText(clock_.LocalNow()))));
  session_.SetResult(Variant(std::move(result)));
  session_.SetSiteClockOffset(0.0);
  session_.EndCommand(kStateDone);
}

void SiteCommands::SiteStatus() {
  if (IsConnected()) {
    SafeArray result(ElementType::Text, 0, 9);
    try {
      const double siteNow = clock_.LocalNow() - session_.SiteClockOffset();
      result.Put(0, Variant("Site: " + site_.Description));
      result.Put(2, Variant("Date: " + ShortDateText(siteNow)));
      result.Put(3, Variant("Time: " + FormatDateTimePattern(siteNow, "hh:mmap")));
      link_.DescribeLink(result);
    } catch (const std::exception&) {
      // What was filled stays; a status report never fails.
    }
    session_.SetResult(Variant(std::move(result)));
  } else {
    session_.SetResult(Variant(SafeArray::OfTexts({site_.Description, "Offline"})));
  }
  session_.EndCommand(kStateDone);
}

bool SiteCommands::NotSupported() {
  // Answered, so done for the caller: GETDATA then reports the text in a completed command.
  session_.FailCommand(CommandSession::kNotSupported);
  return true;
}

Task<void> SiteCommands::GetData() {
  session_.SetResult(Variant(SafeArray(ElementType::Text, 0, 3)));
  bool done = false;
  try {
    std::string command;
    GetParamStr(session_.CommandParams(), "DRIVERCOMMAND", command);
    command = UpperCase(command);
    if (command == "LOCKCLIENT")
      done = session_.LockClient();
    else if (command == "UNLOCKCLIENT")
      done = session_.UnlockClient();
    else if (command == "SENDCOMMAND")
      done = co_await SendCommand();
    else if (command == "BACKUPSTART" || command == "BACKUPUPDATE" || command == "BACKUPABORT" ||
             command == "RESTORESTART" || command == "RESTORESTATUS" ||
             command == "RESTOREUPDATE" || command == "RESTOREABORT")
      done = NotSupported();
  } catch (const std::exception& e) {
    session_.SetErrorText(e.what());
    done = false;
  }
  session_.EndCommand(done ? kStateDone : kStateFailed);
}

Task<bool> SiteCommands::SendCommand() {
  if (!IsConnected()) {
    log_.Cause("nothing sent: the site is not connected");
    co_return false;
  }
  if (session_.Locked()) {
    session_.SetErrorText("Driver is in use by another client");
    co_return false;
  }
  try {
    std::string request;
    if (!GetParamStr(session_.CommandParams(), "COMMANDSTRING", request)) {
      log_.Cause("no COMMANDSTRING given (the request as hex: slave, function and data)");
      co_return false;
    }
    bool textForm = true;
    std::string returnAsBytes;
    if (GetParamStr(session_.CommandParams(), "RETURNASBYTES", returnAsBytes))
      textForm = returnAsBytes == "TRUE";
    if (!flags_.PortLost.empty()) {
      session_.SetErrorText("Cannot send: COM" + std::to_string(site_.Comport) +
                            " is not open (reopening: " + flags_.PortLost + ")");
      co_return false;
    }
    // A broadcast write has no reply to give back: it succeeds with an empty one.
    if (co_await transactions_.Transact(request) <= 0 && !transactions_.Broadcast())
      co_return false;
    if (textForm) {
      SafeArray result(ElementType::Text, 0, 1);
      result.Put(0, Variant("RETURNVALUE=" + CleanASCIIReply(transactions_.ReceivedText())));
      session_.SetResult(Variant(std::move(result)));
    } else {
      session_.SetResult(Variant(SafeArray::OfBytes(transactions_.ReceivedText())));
    }
    co_return true;
  } catch (const std::exception& e) {
    session_.SetErrorText(e.what());
  }
  co_return false;
}

}  // namespace qmb

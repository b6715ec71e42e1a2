#include "links/SerialLine.h"

#include <cctype>

#include "links/HayesDialer.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

int HexDigitValue(char c) {
  const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  return -1;
}

}  // namespace

SerialLine::SerialLine(SerialPort& port, SerialPortFactory& ports, ReceiveBuffer& receive,
                       DelayClock& delay, const Logger& log)
    : port_(port), ports_(ports), receive_(receive), delay_(delay), log_(log) {}

void SerialLine::PutFrame(const std::string& bytes) {
  log_.Frame(true, bytes);
  port_.PutBlock(bytes);
}

void SerialLine::ApplyDefaults() {
  port_.SetBaudRate(38400);
  port_.SetDataBits(7);
  port_.SetStopBits(2);
  port_.SetParity(SerialParity::None);
  port_.SetRts(false);
  port_.SetDtr(true);
}

void SerialLine::ApplyFraming(const TSite& site, const FramingEntry& framing) {
  port_.SetStopBits(site.StopBits);
  port_.SetParity(site.Parity == 1   ? SerialParity::Odd
                  : site.Parity == 2 ? SerialParity::Even
                                     : SerialParity::None);
  port_.SetDataBits(framing.DataBits);
}

void SerialLine::OpenDirect(const TSite& site, const FramingEntry& framing) {
  port_.SetRs485(site.Use485);
  port_.SetRts(!site.Use485);
  ApplyFraming(site, framing);
  port_.SetPortNumber(site.Comport);
  port_.Open();
  port_.SetBaudRate(site.BaudRate);
}

void SerialLine::OpenForModem(const TSite& site, const FramingEntry& framing) {
  port_.SetPortNumber(site.Comport);
  port_.Open();
  port_.SetBaudRate(site.BaudRate);
  ApplyFraming(site, framing);
}

bool SerialLine::PortAvailable(int portNumber, std::string* reason) {
  return ports_.PortAvailable(portNumber, reason);
}

Task<void> SerialLine::PutCharWait(uint8_t byte) {
  if (!port_.IsOpen()) co_return;
  if (port_.OutputFree() >= 1) {
    port_.PutByte(byte);
    co_return;
  }
  for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
    if (port_.OutputFree() >= 1) {
      port_.PutByte(byte);
      co_return;
    }
    if (SendBudgetSpent())
      throw SerialError("Cannot send to COM" + std::to_string(port_.PortNumber()) +
                        ": the port takes no more output (is the far end reading?)");
    co_await delay_.Delay(2);
    if (!port_.IsOpen()) co_return;
  }
  // The byte is lost; flow control that holds the line would block every byte after it too.
  if (port_.FlowState() != FlowControlState::OnNotHolding) port_.DisableFlowControl();
}

int32_t SerialLine::SendBudgetTicks(size_t bytes) const {
  // Eleven bits a byte covers start, stop and parity bits; ticks are 100 ms.
  const int32_t baud = port_.BaudRate() > 0 ? port_.BaudRate() : 300;
  const double seconds = static_cast<double>(bytes) * 11.0 / baud;
  return static_cast<int32_t>(seconds * 10.0) + 1 + kSendMarginTicks;
}

bool SerialLine::SendBudgetSpent() const {
  return sendBudget_ &&
         static_cast<uint16_t>(delay_.DelayTicks - sendBudget_->started) > sendBudget_->ticks;
}

Task<void> SerialLine::Send(const std::string& text, bool paced) {
  const size_t length = text.size();
  sendBudget_ = SendBudget{delay_.DelayTicks, SendBudgetTicks(length)};
  // Whatever way the string ends (sent, failed, or its task dropped), the budget goes with it.
  struct BudgetEnd {
    std::optional<SendBudget>& budget;
    ~BudgetEnd() { budget.reset(); }
  } budgetEnd{sendBudget_};
  size_t i = 0;
  while (i < length) {
    const char c = text[i];
    if (c == '$') {
      // The string's own pauses are not the port's fault: they lengthen the budget.
      sendBudget_->ticks += 6;
      co_await delay_.Delay(5);
      i += 1;
    } else if (c == '^' && i + 1 < length &&
               std::isalpha(static_cast<unsigned char>(text[i + 1]))) {
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
      co_await PutCharWait(static_cast<uint8_t>(letter - 64));
      i += 2;
    } else if (c == '#' && i + 2 < length && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      co_await PutCharWait(
          static_cast<uint8_t>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
      i += 3;
    } else {
      co_await PutCharWait(static_cast<uint8_t>(c));
      i += 1;
    }
    if (paced) {
      sendBudget_->ticks += 1;
      co_await delay_.Sleep(10);
    }
  }
}

Task<bool> SerialLine::HangUpModem() {
  try {
    co_await delay_.Delay(5);
    co_await PutCharWait('+');
    co_await delay_.Delay(3);
    co_await PutCharWait('+');
    co_await delay_.Delay(3);
    co_await PutCharWait('+');
    co_await delay_.Delay(10);
    co_await SendPaced("ATH");
    co_await PutCharWait(13);
    for (int attempt = 0; attempt < 4; ++attempt) {
      SetDTRLine(false);
      co_await delay_.Delay(10);
      SetDTRLine(true);
      co_await delay_.Delay(10);
      if (!CarrierDetect()) co_return true;
    }
    co_return false;
  } catch (const SerialError&) {
    co_return false;
  }
}

bool SerialLine::CarrierDetect() const {
  return port_.IsOpen() && port_.Lines().dcd;
}

void SerialLine::SetDTRLine(bool on) {
  if (port_.IsOpen()) port_.SetDtr(on);
}

uint16_t SerialLine::AddTextTrigger(const std::string& text, bool ignoreCase) {
  if (!port_.IsOpen()) return 0;
  return port_.AddTrigger(text.substr(0, 255), ignoreCase);
}

uint16_t SerialLine::RemoveTextTrigger(uint16_t handle) {
  if (port_.IsOpen() && handle != 0) port_.RemoveTrigger(handle);
  return 0;
}

void SerialLine::WatchCarrier(bool on) {
  watchCarrier_ = on;
  noCarrier_ = false;
  carrierTail_.clear();
}

void SerialLine::ComPort1TriggerAvail(uint16_t count) {
  if (!inUse_) return;
  activityCount_ += count;
  const bool feedDialer = dialer_ != nullptr && dialer_->Active();
  const bool trace = log_.FramesWanted();
  const bool watch = watchCarrier_ && !feedDialer;
  std::string taken;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t byte = port_.GetByte();
    if (receptionEnabled_) receive_.Store(byte);
    if (feedDialer || trace || watch) taken.push_back(static_cast<char>(byte));
  }
  if (trace && !taken.empty()) log_.Frame(false, taken);
  if (feedDialer && !taken.empty()) dialer_->Feed(taken);
  if (watch && !taken.empty()) {
    static constexpr std::string_view kNoCarrier = "NO CARRIER";
    carrierTail_ += taken;
    if (carrierTail_.find(kNoCarrier) != std::string::npos) noCarrier_ = true;
    if (carrierTail_.size() > kNoCarrier.size())
      carrierTail_.erase(0, carrierTail_.size() - kNoCarrier.size());
  }
  if (receptionEnabled_ && count > 0 && OnReceived) OnReceived();
}

void SerialLine::ComPort1TriggerData(uint16_t handle) {
  if (!inUse_) return;
  if (handle != 0 && handle == eolTrigger_) eolFired_ = true;
}

}  // namespace qmb

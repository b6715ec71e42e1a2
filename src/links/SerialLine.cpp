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
                       DelayClock& delay, const bool& tcpMode, const Logger& log)
    : port_(port), ports_(ports), receive_(receive), delay_(delay), tcpMode_(tcpMode), log_(log) {}

void SerialLine::PutFrame(const std::string& bytes) {
  log_.Trace([&] { return "> " + BytesToSpacedHex(bytes); });
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

void SerialLine::ApplyFraming(const TSite& site) {
  port_.SetStopBits(site.StopBits);
  port_.SetParity(site.Parity == 1   ? SerialParity::Odd
                  : site.Parity == 2 ? SerialParity::Even
                                     : SerialParity::None);
  port_.SetDataBits(site.UseRTU ? 8 : 7);
}

void SerialLine::OpenDirect(const TSite& site) {
  port_.SetRs485(site.Use485);
  port_.SetRts(!site.Use485);
  ApplyFraming(site);
  port_.SetPortNumber(site.Comport);
  port_.Open();
  port_.SetBaudRate(site.BaudRate);
}

void SerialLine::OpenForModem(const TSite& site) {
  port_.SetPortNumber(site.Comport);
  port_.Open();
  port_.SetBaudRate(site.BaudRate);
  ApplyFraming(site);
}

bool SerialLine::PortAvailable(int portNumber) {
  return portNumber != 0 && ports_.PortAvailable(portNumber);
}

void SerialLine::PutCharWait(uint8_t byte) {
  if (!port_.IsOpen()) return;
  if (port_.OutputFree() >= 1) {
    port_.PutByte(byte);
    return;
  }
  for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
    if (port_.OutputFree() >= 1) {
      port_.PutByte(byte);
      return;
    }
    delay_.Delay(2);
    if (!port_.IsOpen()) return;
  }
  // The byte is lost; flow control that holds the line would block every byte after it too.
  if (port_.FlowState() != FlowControlState::OnNotHolding) port_.DisableFlowControl();
}

void SerialLine::Send(const std::string& text, bool paced) {
  const size_t length = text.size();
  size_t i = 0;
  while (i < length) {
    const char c = text[i];
    if (c == '$') {
      delay_.Delay(5);
      i += 1;
    } else if (c == '^' && i + 1 < length &&
               std::isalpha(static_cast<unsigned char>(text[i + 1]))) {
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
      PutCharWait(static_cast<uint8_t>(letter - 64));
      i += 2;
    } else if (c == '#' && i + 2 < length && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      PutCharWait(
          static_cast<uint8_t>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
      i += 3;
    } else {
      PutCharWait(static_cast<uint8_t>(c));
      i += 1;
    }
    if (paced) {
      delay_.Loop().SleepMs(10);
      delay_.Loop().ProcessPendingEvents();
    }
  }
}

bool SerialLine::HangUpModem() {
  try {
    delay_.Delay(5);
    PutCharWait('+');
    delay_.Delay(3);
    PutCharWait('+');
    delay_.Delay(3);
    PutCharWait('+');
    delay_.Delay(10);
    SendPaced("ATH");
    PutCharWait(13);
    for (int attempt = 0; attempt < 4; ++attempt) {
      SetDTRLine(false);
      delay_.Delay(10);
      SetDTRLine(true);
      delay_.Delay(10);
      if (!CarrierDetect()) return true;
    }
    return false;
  } catch (const SerialError&) {
    return false;
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

void SerialLine::ComPort1TriggerAvail(uint16_t count) {
  if (tcpMode_) return;
  activityCount_ += count;
  const bool feedDialer = dialer_ != nullptr && dialer_->Active();
  const bool trace = log_.TraceEnabled();
  std::string taken;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t byte = port_.GetByte();
    if (receptionEnabled_) receive_.Store(byte);
    if (feedDialer || trace) taken.push_back(static_cast<char>(byte));
  }
  if (trace && !taken.empty()) log_.Trace([&] { return "< " + BytesToSpacedHex(taken); });
  if (feedDialer && !taken.empty()) dialer_->Feed(taken);
}

void SerialLine::ComPort1TriggerData(uint16_t handle) {
  if (tcpMode_) return;
  if (handle != 0 && handle == eolTrigger_) eolFired_ = true;
}

}  // namespace qmb

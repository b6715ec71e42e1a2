// The engine's serial line: line settings from the site, command strings with their escapes,
// the modem hang-up, text triggers and the receive path into the receive buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"
#include "platform/Task.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

namespace qmb {

class HayesDialer;

class SerialLine {
 public:
  SerialLine(SerialPort& port, SerialPortFactory& ports, ReceiveBuffer& receive, DelayClock& delay,
             const Logger& log);

  static constexpr int kPutAttempts = 270;
  static constexpr int32_t kSendMarginTicks = 50;

  // Whether the line is the site's link (it is until a site that goes otherwise is assigned);
  // while it is not, its port's events are taken by no one.
  void SetInUse(bool inUse) { inUse_ = inUse; }

  // The port as the window layout sets it up before any site is assigned.
  void ApplyDefaults();
  // Line settings of a direct connection, in their order, ending with the open port's baud rate.
  // The framing gives the data bits.
  void OpenDirect(const TSite& site, const FramingEntry& framing);
  // A modem connection: the port is opened first, then framed; RS-485 and RTS stay as they are.
  void OpenForModem(const TSite& site, const FramingEntry& framing);

  bool PortAvailable(int portNumber, std::string* reason = nullptr);
  bool IsOpen() const { return port_.IsOpen(); }
  // A Modbus request onto the line, in the frame trace.
  void PutFrame(const std::string& bytes);
  // One byte, waiting (up to kPutAttempts times two delay periods) for room in the output
  // buffer; after that the byte is lost and flow control, which would hold every byte after it
  // too, is switched off.
  Task<void> PutCharWait(uint8_t byte);
  // Command strings with their escapes ($ pauses, ^X control bytes, #hh hex bytes); paced ones
  // leave 10 ms between bytes. A string the port cannot take within the time its bytes need at
  // the line's speed, plus kSendMarginTicks, fails with SerialError: a far end that never reads
  // must not hold the command for ever.
  Task<void> SendEscaped(const std::string& text) { return Send(text, false); }
  Task<void> SendPaced(const std::string& text) { return Send(text, true); }
  Task<bool> HangUpModem();
  bool CarrierDetect() const;
  void SetDTRLine(bool on);
  uint16_t AddTextTrigger(const std::string& text, bool ignoreCase);
  uint16_t RemoveTextTrigger(uint16_t handle);

  // Port events.
  void ComPort1TriggerAvail(uint16_t count);
  void ComPort1TriggerData(uint16_t handle);

  // Told after bytes went into the receive buffer (the fast scan ends its exchanges by them).
  std::function<void()> OnReceived;

  // The dialer being told the modem's answers while it dials.
  void SetDialer(HayesDialer* dialer) { dialer_ = dialer; }

  // During a modem call: listens for the modem's "NO CARRIER", its word that the call has gone
  // (the only word of it on a line whose DCD input reads nothing).
  void WatchCarrier(bool on);
  bool NoCarrierHeard() const { return noCarrier_; }

  // Receive state, armed and cleared by the transactions and the poller around each exchange.
  // Bytes go into the receive buffer only while reception is enabled.
  bool ReceptionEnabled() const { return receptionEnabled_; }
  void EnableReception(bool on) { receptionEnabled_ = on; }
  // Bytes that arrived since the last reset, taken or not: the sign of a live line.
  int32_t ActivityCount() const { return activityCount_; }
  void ResetActivity() { activityCount_ = 0; }
  // The end-of-line trigger ("\r\n") that ends an ASCII reply; 0 while not armed.
  uint16_t EolTrigger() const { return eolTrigger_; }
  bool EolFired() const { return eolFired_; }
  void ArmEndOfLine() { eolTrigger_ = AddTextTrigger("\r\n", false); }
  void DisarmEndOfLine() { eolTrigger_ = RemoveTextTrigger(eolTrigger_); }
  // Forgets an end of line seen before, for the exchange about to start.
  void ForgetEndOfLine() { eolFired_ = false; }

 private:
  Task<void> Send(const std::string& text, bool paced);
  // Delay ticks a string of this many bytes may take to leave the port.
  int32_t SendBudgetTicks(size_t bytes) const;
  bool SendBudgetSpent() const;
  struct SendBudget {
    uint16_t started;  // delay tick at the start of the string
    int32_t ticks;
  };
  std::optional<SendBudget> sendBudget_;
  void ApplyFraming(const TSite& site, const FramingEntry& framing);

  SerialPort& port_;
  SerialPortFactory& ports_;
  ReceiveBuffer& receive_;
  DelayClock& delay_;
  const Logger& log_;
  HayesDialer* dialer_ = nullptr;
  bool inUse_ = true;
  bool watchCarrier_ = false;
  bool noCarrier_ = false;
  std::string carrierTail_;  // the last bytes of the call, for a word split over two reads

  bool receptionEnabled_ = false;
  int32_t activityCount_ = 0;
  uint16_t eolTrigger_ = 0;
  bool eolFired_ = false;
};

}  // namespace qmb

// The engine's serial line: line settings from the site, command strings with their escapes,
// the modem hang-up, text triggers and the receive path into the receive buffer.
#pragma once

#include <cstdint>
#include <string>

#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"
#include "protocol/FrameCodec.h"

namespace qmb {

class HayesDialer;

class SerialLine {
 public:
  SerialLine(SerialPort& port, SerialPortFactory& ports, ReceiveBuffer& receive, DelayClock& delay,
             const bool& tcpMode, const Logger& log);

  static constexpr int kPutAttempts = 270;

  // The port as the window layout sets it up before any site is assigned.
  void ApplyDefaults();
  // Line settings of a direct connection, in their order, ending with the open port's baud rate.
  void OpenDirect(const TSite& site);
  // A modem connection: the port is opened first, then framed; RS-485 and RTS stay as they are.
  void OpenForModem(const TSite& site);

  bool PortAvailable(int portNumber);
  // A Modbus request onto the line, in the frame trace.
  void PutFrame(const std::string& bytes);
  void PutCharWait(uint8_t byte);
  void SendEscaped(const std::string& text) { Send(text, false); }
  void SendPaced(const std::string& text) { Send(text, true); }
  bool HangUpModem();
  bool CarrierDetect() const;
  void SetDTRLine(bool on);
  uint16_t AddTextTrigger(const std::string& text, bool ignoreCase);
  uint16_t RemoveTextTrigger(uint16_t handle);

  // Port events.
  void ComPort1TriggerAvail(uint16_t count);
  void ComPort1TriggerData(uint16_t handle);

  // The dialer being told the modem's answers while it dials.
  void SetDialer(HayesDialer* dialer) { dialer_ = dialer; }

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
  void Send(const std::string& text, bool paced);
  void ApplyFraming(const TSite& site);

  SerialPort& port_;
  SerialPortFactory& ports_;
  ReceiveBuffer& receive_;
  DelayClock& delay_;
  const bool& tcpMode_;
  const Logger& log_;
  HayesDialer* dialer_ = nullptr;

  bool receptionEnabled_ = false;
  int32_t activityCount_ = 0;
  uint16_t eolTrigger_ = 0;
  bool eolFired_ = false;
};

}  // namespace qmb

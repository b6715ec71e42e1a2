// Our Hayes modem dialer: initialises the modem on the site's serial port, dials once (no
// automatic redial) and reports its progress as status codes derived from the modem's result
// codes. It never reads the port itself: the engine's receive handler passes it the bytes that
// arrive while it is active.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"

namespace qmb {

class HayesDialer {
 public:
  // The statuses the connection manager acts on; others are never reported.
  enum Status : int {
    kInitializing = 2,
    kDialing = 7,
    kNoDialTone = 9,
    kConnected = 11,
    kDialFailed = 15,  // busy, no carrier, no answer, error or time-out
  };

  HayesDialer(SerialPort& port, MessageLoop& loop);
  ~HayesDialer();
  HayesDialer(const HayesDialer&) = delete;
  HayesDialer& operator=(const HayesDialer&) = delete;

  // The initialisation command as sent (the caller includes its CR), and the number to dial.
  std::string InitCommand;
  std::string PhoneNumber;
  // The original dialer could show a status window of its own; this one never does, the flag is
  // kept so the connection manager can state its wish.
  bool ShowStatusWindow = false;
  // How long a dial may take, from the dial command to the modem's final answer.
  int DialTimeoutMs = 60000;
  // How long the modem may take to answer the initialisation command.
  int InitTimeoutMs = 5000;

  // Starts: initialisation, then the dial command; statuses follow through OnStatus. A dial in
  // progress is cancelled first.
  void Dial();
  // Abandons a dial in progress (a CR makes a dialling modem hang up); no status follows.
  void Cancel();
  bool Active() const;

  // Bytes received from the modem while the dialer is active.
  void Feed(const std::string& bytes);

  std::function<void(int status)> OnStatus;

 private:
  struct State;
  std::unique_ptr<State> state_;
  SerialPort& port_;
  MessageLoop& loop_;
};

}  // namespace qmb

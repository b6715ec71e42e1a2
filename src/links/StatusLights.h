// The five lights of a site window: Rx and Tx flash while bytes move, CD, CS and DSR follow the
// modem lines. Driven by the serial port once monitoring is on; dark on TCP and offline sites.
#pragma once

#include <memory>

#include "model/SiteWindowModel.h"
#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"

namespace qmb {

class StatusLights {
 public:
  // How long Rx and Tx stay lit after the last byte.
  static constexpr int kFlashMs = 100;

  StatusLights(SiteWindowModel& model, MessageLoop& loop);

  void SetMonitoring(bool on);
  bool Monitoring() const { return monitoring_; }

  void Traffic(bool received, bool transmitted);
  void Lines(const SerialLineState& lines);

 private:
  void EndFlash();

  SiteWindowModel& model_;
  std::unique_ptr<Timer> flashTimer_;
  bool monitoring_ = false;
};

}  // namespace qmb

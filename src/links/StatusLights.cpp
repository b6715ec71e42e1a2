#include "links/StatusLights.h"

namespace qmb {

StatusLights::StatusLights(SiteWindowModel& model, MessageLoop& loop)
    : model_(model), flashTimer_(loop.CreateTimer(kFlashMs, [this] { EndFlash(); })) {}

void StatusLights::SetMonitoring(bool on) {
  monitoring_ = on;
  if (on) return;
  flashTimer_->Stop();
  model_.RxLight.lit = model_.TxLight.lit = false;
  model_.CDLight.lit = model_.CSLight.lit = model_.DSLight.lit = false;
  model_.Changed();
}

void StatusLights::Traffic(bool received, bool transmitted) {
  if (!monitoring_) return;
  bool changed = false;
  if (received && !model_.RxLight.lit) changed = model_.RxLight.lit = true;
  if (transmitted && !model_.TxLight.lit) changed = model_.TxLight.lit = true;
  // Restarting the timer on every byte keeps a light lit through a burst.
  flashTimer_->Start();
  if (changed) model_.Changed();
}

void StatusLights::Lines(const SerialLineState& lines) {
  if (!monitoring_) return;
  model_.CDLight.lit = lines.dcd;
  model_.CSLight.lit = lines.cts;
  model_.DSLight.lit = lines.dsr;
  model_.Changed();
}

void StatusLights::EndFlash() {
  flashTimer_->Stop();
  if (!model_.RxLight.lit && !model_.TxLight.lit) return;
  model_.RxLight.lit = model_.TxLight.lit = false;
  model_.Changed();
}

}  // namespace qmb

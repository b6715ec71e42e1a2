#include "engine/SiteTransport.h"

namespace qmb {

void SiteTransport::FailStart(const std::string& error, const std::string& cause) {
  log_.Cause(cause.empty() ? error : cause);
  session_.Settle(kStateFailed);
  session_.SetErrorText(error);
  ClosePort();
}

void SiteTransport::ShowCaption() {
  qmb::ShowCaption(model_, site_, flags_);
}

void ShowCaption(SiteWindowModel& model, const TSite& site, const LinkFlags& flags) {
  model.Caption = site.Description + (flags.Offline ? " (Offline Mode)" : "");
  model.Changed();
}

SiteTransport& PickTransport(const TSite& site, LinkFlags& flags, SiteTransport& serial,
                             SiteTransport& modbusTcp) {
  flags.TCPMode = site.UseTCP;
  return site.UseTCP ? modbusTcp : serial;
}

}  // namespace qmb

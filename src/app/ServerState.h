// What the server knows of itself once started: its start mode, whether a user may be asked
// before it closes, and how many driver objects are alive. The main window (when there is one)
// asks CloseNeedsConfirmation() when a user closes it and then shows its close prompt.
#pragma once

#include <cstddef>
#include <functional>

#include "host/Registration.h"

namespace qmb {

inline constexpr const char* kApplicationTitle = "ModBus Serial Driver";

struct ServerState {
  StartMode mode = StartMode::Standalone;
  bool interactive = true;
  std::function<size_t()> objectCount;

  bool CloseNeedsConfirmation() const { return interactive && objectCount && objectCount() > 0; }
};

}  // namespace qmb

// What the server knows of itself once started: its start mode, whether a user may be asked
// before it closes, and how many driver objects are alive. The main window (when there is one)
// asks CloseNeedsConfirmation() when a user closes it and then shows the warning below, Yes/No
// with No as the default; answering No keeps the server running.
#pragma once

#include <cstddef>
#include <functional>

#include "host/Registration.h"

namespace qmb {

inline constexpr const char* kApplicationTitle = "ModBus Serial Driver";
inline constexpr const char* kClosePromptCaption = "COM Server Warning";
inline constexpr const char* kClosePromptText =
    "There are still active COM objects in this application.  One or more clients may have "
    "references to these objects, so manually closing this application may cause those client "
    "application(s) to fail.\r\n\r\nAre you sure you want to close this application?";

struct ServerState {
  StartMode mode = StartMode::Standalone;
  bool interactive = true;
  std::function<size_t()> objectCount;

  bool CloseNeedsConfirmation() const { return interactive && objectCount && objectCount() > 0; }
};

}  // namespace qmb

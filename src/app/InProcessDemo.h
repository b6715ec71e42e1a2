// "qormodbus --demo": one host session run in-process against an offline site, every reply printed.
#pragma once

#include "sites/EngineRegistry.h"

namespace qmb {

// Returns the process exit status.
int RunInProcessDemo(TMainForm& main);

}  // namespace qmb

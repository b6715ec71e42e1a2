// What the site engine knows of the objects attached to it: host driver objects, and the engine
// itself while its window blocks host access.
#pragma once

#include <string>
#include <vector>

namespace qmb {

class TModBusForm;

class EngineClient {
 public:
  virtual ~EngineClient() = default;

  // The point addresses this client registered; only the engine reads and writes it.
  std::vector<std::string> PointsList;

  // The engine this client is attached to is being destroyed: forget it, never reach it again.
  virtual void EngineDestroyed(TModBusForm* /*engine*/) {}
};

}  // namespace qmb

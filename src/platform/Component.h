// Base of objects that can be copied from "any source": assignment from an object of another
// kind does nothing, which is how configuration records guard their AssignFrom.
#pragma once

namespace qmb {

class Component {
 public:
  virtual ~Component() = default;
};

}  // namespace qmb

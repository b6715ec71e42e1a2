// Parameter lists and replies between bus messages and the driver's Variant values. Bus strings
// are UTF-8; the driver's texts are byte strings in which each byte is one character, so every
// text crosses as Latin-1: U+0000 to U+00FF map to the bytes 00 to FF, anything above becomes "?".
#pragma once

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/Log.h"
#include "platform/Variant.h"

namespace qmb {

// utf8 is well formed (sd-bus checks every string it reads); lossy, when given, tells whether any
// character became "?".
std::string TextFromBus(std::string_view utf8, bool* lossy = nullptr);
std::string TextToBus(std::string_view bytes);

// The `v` argument the message is at, as a parameter list: `as` gives an array of texts, `av` an
// array of variants (strings, integers, doubles, booleans; elements of any other type stand as
// unsupported values, which the operations treat like unreadable elements), `s` a single text.
// Anything else is refused with a reason. unrepresentable receives the indices of the text
// elements that lost characters (0 for a single text): a host's text that cannot be told from
// another must not be taken for it where that matters (a site description).
std::optional<Variant> ReadParamList(sd_bus_message* m, std::string& error,
                                     std::vector<int32_t>& unrepresentable);

// A reply as a `v`: text arrays as `as`, variant arrays as `av` (empty elements as the empty
// string), byte arrays and single bytes as `ay`; any other single value as a one-element `as`.
int AppendReply(sd_bus_message* m, const Variant& reply);

// One line for the log: the elements of a list in brackets, each as LoggedText quotes it. A
// long list (a point list may hold 100,000 points) stops after about kDescribedListLimit
// characters with its element count noted: one call must not fill the log.
inline constexpr size_t kDescribedListLimit = 2000;
std::string DescribeList(const Variant& list);

// The driver interface's methods that take a parameter list.
enum class DriverCall { OpenSite, CloseSite, SetDriverOption, ExecuteCommand, Immediate };
// What a driver call answered: a flag (OpenSite, CloseSite, SetDriverOption) or a list.
struct DriverAnswer {
  bool flag = false;
  std::optional<Variant> list;
};
// Carries a driver call out on its object, logging call and answer in the bus category when it
// is on (client, object number and member name the call there). The list goes over, not a copy
// of it: a host's point list may hold 100,000 elements.
DriverAnswer CarryOut(TQorModBusCom& object, DriverCall call, Variant params,
                      const std::vector<int32_t>& unrepresentable, std::string_view client,
                      uint64_t objectNumber, std::string_view member);

// A node enumerator's answer: the paths as sd-bus takes them (a null-ended array it frees).
inline int NodeList(const std::vector<std::string>& paths, char*** nodes) {
  auto* list = static_cast<char**>(std::calloc(paths.size() + 1, sizeof(char*)));
  if (!list) return -ENOMEM;
  for (size_t i = 0; i < paths.size(); ++i) {
    list[i] = strdup(paths[i].c_str());
    if (!list[i]) {
      for (size_t j = 0; j < i; ++j) std::free(list[j]);
      std::free(list);
      return -ENOMEM;
    }
  }
  *nodes = list;
  return 1;
}

inline std::string Text(const char* text) {
  return text ? text : "";
}

// A handler's failure reaches its caller as an error and the log, never the bus library (these
// are C callbacks): the server lives on.
template <class Handler>
int Guarded(sd_bus_message* m, sd_bus_error* error, Handler&& handler) {
  try {
    return handler();
  } catch (const std::exception& e) {
    LogError("Bus call " + Text(sd_bus_message_get_member(m)) + " on " +
             Text(sd_bus_message_get_path(m)) + " failed: " + e.what());
    return sd_bus_error_setf(error, SD_BUS_ERROR_FAILED, "internal error: %s", e.what());
  } catch (...) {
    LogError("Bus call " + Text(sd_bus_message_get_member(m)) + " failed");
    return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, "internal error");
  }
}

}  // namespace qmb

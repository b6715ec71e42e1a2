// Parameter lists and replies between the bus and the driver's Variant values. Bus strings are
// UTF-8; the driver's texts are byte strings in which each byte is one character, so every text
// crosses as Latin-1: U+0000 to U+00FF map to the bytes 00 to FF, anything above becomes "?".
#pragma once

#include <QDBusVariant>
#include <QString>
#include <QVariant>
#include <optional>
#include <string>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/Variant.h"

namespace qmb {

// lossy, when given, tells whether any character became "?".
std::string TextFromBus(const QString& text, bool* lossy = nullptr);
QString TextToBus(const std::string& bytes);

// The content of a `v` argument as a parameter list: `as` gives an array of texts, `av` an array
// of variants (strings, integers, doubles, booleans; elements of any other type stand as
// unsupported values, which the operations treat like unreadable elements), `s` a single text.
// Anything else is refused with a reason. unrepresentable, when given, receives the indices of
// the text elements that lost characters (0 for a single text): a host's text that cannot be
// told from another must not be taken for it where that matters (a site description).
std::optional<Variant> ParamListFromBus(const QVariant& value, QString& error,
                                        std::vector<int32_t>* unrepresentable = nullptr);

// The pieces ParamListFromBus is made of, for the sd-bus adaptor, which reads the message itself:
// one element of an `av` list as Qt would hand it over (an invalid QVariant for a type that has
// no place in a list), the list of the elements read, and the refusal of a variant that holds
// something else (held: Qt's name of the type, or the signature of a container).
Variant ElementFromBus(const QVariant& value, bool& lossy);
Variant ListFromBus(ElementType type, std::vector<Variant>&& elements);
QString ParamListRefusal(const QString& held);

// A reply as the content of a `v`: text arrays as `as`, variant arrays as `av` (empty elements as
// the empty string), byte arrays and single bytes as `ay`; any other single value as a
// one-element `as`.
QDBusVariant ReplyToBus(const Variant& reply);

// One line for the log: the elements of a list in brackets, each as LoggedText quotes it. A
// long list (a point list may hold 100,000 points) stops after about kDescribedListLimit
// characters with its element count noted: one call must not fill the log.
inline constexpr size_t kDescribedListLimit = 2000;
std::string DescribeList(const Variant& list);

// The driver interface's methods that take a parameter list; None for any other member.
enum class DriverCall { None, OpenSite, CloseSite, SetDriverOption, ExecuteCommand, Immediate };
DriverCall DriverCallOf(const QString& member);
// What a driver call answered: a flag (OpenSite, CloseSite, SetDriverOption) or a list.
struct DriverAnswer {
  bool flag = false;
  std::optional<Variant> list;
};
// Carries a driver call out on its object, logging call and answer in the bus category when it
// is on (`who` names client, object and member). The list goes over, not a copy of it: a host's
// point list may hold 100,000 elements.
DriverAnswer CarryOut(TQorModBusCom& object, DriverCall call, Variant params,
                      const std::vector<int32_t>& unrepresentable, const std::string& who);

}  // namespace qmb

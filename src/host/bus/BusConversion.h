// Parameter lists and replies between the bus and the driver's Variant values. Bus strings are
// UTF-8; the driver's texts are byte strings in which each byte is one character, so every text
// crosses as Latin-1: U+0000 to U+00FF map to the bytes 00 to FF, anything above becomes "?".
#pragma once

#include <QDBusVariant>
#include <QString>
#include <QVariant>
#include <optional>
#include <string>

#include "platform/Variant.h"

namespace qmb {

std::string TextFromBus(const QString& text);
QString TextToBus(const std::string& bytes);

// The content of a `v` argument as a parameter list: `as` gives an array of texts, `av` an array
// of variants (strings, integers, doubles, booleans; elements of any other type stand as
// unsupported values, which the operations treat like unreadable elements), `s` a single text.
// Anything else is refused with a reason.
std::optional<Variant> ParamListFromBus(const QVariant& value, QString& error);

// A reply as the content of a `v`: text arrays as `as`, variant arrays as `av` (empty elements as
// the empty string), byte arrays and single bytes as `ay`; any other single value as a
// one-element `as`.
QDBusVariant ReplyToBus(const Variant& reply);

// One line for the log: the elements of a list in brackets.
std::string DescribeList(const Variant& list);

}  // namespace qmb

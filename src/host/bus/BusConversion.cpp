#include "host/bus/BusConversion.h"

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QStringList>
#include <QVariantList>
#include <algorithm>
#include <limits>

#include "platform/Log.h"

namespace qmb {

// Integers of every width become numbers (int32 when they fit, else double); containers, object
// paths and the like have no place in a parameter list.
Variant ElementFromBus(const QVariant& value, bool& lossy) {
  switch (value.metaType().id()) {
    case QMetaType::QString:
      return Variant(TextFromBus(value.toString(), &lossy));
    case QMetaType::Bool:
      return Variant::FromBool(value.toBool());
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
      return Variant(static_cast<int32_t>(value.toInt()));
    case QMetaType::UInt: {
      const uint number = value.toUInt();
      if (number <= static_cast<uint>(std::numeric_limits<int32_t>::max()))
        return Variant(static_cast<int32_t>(number));
      return Variant(static_cast<double>(number));
    }
    case QMetaType::LongLong: {
      const qlonglong number = value.toLongLong();
      if (number >= std::numeric_limits<int32_t>::min() &&
          number <= std::numeric_limits<int32_t>::max())
        return Variant(static_cast<int32_t>(number));
      return Variant(static_cast<double>(number));
    }
    case QMetaType::ULongLong: {
      const qulonglong number = value.toULongLong();
      if (number <= static_cast<qulonglong>(std::numeric_limits<int32_t>::max()))
        return Variant(static_cast<int32_t>(number));
      return Variant(static_cast<double>(number));
    }
    case QMetaType::Double:
      return Variant(value.toDouble());
    default:
      return Variant::Unsupported();
  }
}

Variant ListFromBus(ElementType type, std::vector<Variant>&& elements) {
  SafeArray list(type, 0, static_cast<int32_t>(elements.size()) - 1);
  for (size_t i = 0; i < elements.size(); ++i)
    list.Put(static_cast<int32_t>(i), std::move(elements[i]));
  return Variant(std::move(list));
}

QString ParamListRefusal(const QString& held) {
  return QStringLiteral("a parameter list is a variant holding as, av or s; this one holds %1")
      .arg(held);
}

namespace {

QVariant ElementToBus(const Variant& value);

QVariant ArrayToBus(const SafeArray& array) {
  switch (array.ElemType()) {
    case ElementType::Byte: {
      const std::string bytes = array.Bytes();
      return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    case ElementType::Text: {
      QStringList texts;
      texts.reserve(array.Count());
      for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
        const Variant& element = array.Get(i);
        texts.append(element.Type() == VarType::Text ? TextToBus(element.AsText()) : QString());
      }
      return texts;
    }
    case ElementType::Variant:
      break;
  }
  QVariantList elements;
  elements.reserve(array.Count());
  for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i)
    elements.append(ElementToBus(array.Get(i)));
  return elements;
}

QVariant ElementToBus(const Variant& value) {
  switch (value.Type()) {
    case VarType::Text:
      return TextToBus(value.AsText());
    case VarType::Int32:
      return static_cast<int>(value.AsInt32());
    case VarType::Double:
      return value.AsDouble();
    case VarType::Bool:
      return value.AsBool();
    case VarType::Byte:
      return QVariant::fromValue(static_cast<uchar>(value.AsByte()));
    case VarType::Array:
      return ArrayToBus(value.AsArray());
    case VarType::Empty:
    case VarType::Null:
    case VarType::Unsupported:
      break;
  }
  // A variant on the bus must hold something; the empty string is what hosts expect for "no
  // value" in a reply list.
  return QString();
}

}  // namespace

std::string TextFromBus(const QString& text, bool* lossy) {
  // Written in place rather than appended: point lists bring millions of characters at a time.
  std::string bytes(static_cast<size_t>(text.size()), '\0');
  const QChar* units = text.constData();
  size_t length = 0;
  char16_t widest = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = units[i].unicode();
    widest = std::max(widest, unit);
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && units[i + 1].isLowSurrogate())
      ++i;  // one character above U+FFFF, one "?"
    bytes[length++] = unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  bytes.resize(length);
  if (lossy) *lossy = widest > 0xFF;
  return bytes;
}

QString TextToBus(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::optional<Variant> ParamListFromBus(const QVariant& value, QString& error,
                                        std::vector<int32_t>* unrepresentable) {
  bool lossy = false;
  auto note = [&](int32_t index) {
    if (lossy && unrepresentable) unrepresentable->push_back(index);
    lossy = false;
  };
  const int type = value.metaType().id();
  if (type == QMetaType::QString) {
    Variant text(TextFromBus(value.toString(), &lossy));
    note(0);
    return text;
  }
  if (type == QMetaType::QStringList) {
    const QStringList texts = value.toStringList();
    SafeArray list(ElementType::Text, 0, static_cast<int32_t>(texts.size()) - 1);
    for (qsizetype i = 0; i < texts.size(); ++i) {
      list.Put(static_cast<int32_t>(i), Variant(TextFromBus(texts.at(i), &lossy)));
      note(static_cast<int32_t>(i));
    }
    return Variant(std::move(list));
  }
  if (type == qMetaTypeId<QDBusArgument>()) {
    const QDBusArgument argument = value.value<QDBusArgument>();
    const QString signature = argument.currentSignature();
    if (signature != QLatin1String("av")) {
      error = ParamListRefusal(signature);
      return std::nullopt;
    }
    std::vector<Variant> elements;
    argument.beginArray();
    while (!argument.atEnd()) {
      QDBusVariant element;
      argument >> element;
      elements.push_back(ElementFromBus(element.variant(), lossy));
      note(static_cast<int32_t>(elements.size()) - 1);
    }
    argument.endArray();
    return ListFromBus(ElementType::Variant, std::move(elements));
  }
  const char* name = value.metaType().name();
  error = ParamListRefusal(QString::fromLatin1(name ? name : "nothing"));
  return std::nullopt;
}

QDBusVariant ReplyToBus(const Variant& reply) {
  if (reply.IsArray()) return QDBusVariant(ArrayToBus(reply.AsArray()));
  if (reply.Type() == VarType::Byte) {
    const char byte = static_cast<char>(reply.AsByte());
    return QDBusVariant(QByteArray(&byte, 1));
  }
  QString text;
  try {
    text = TextToBus(reply.ToText());
  } catch (const VariantError&) {
    // No text form (null, unsupported): an empty element still keeps the layout.
  }
  return QDBusVariant(QStringList{text});
}

std::string DescribeList(const Variant& list) {
  auto describe = [](const Variant& element) -> std::string {
    try {
      if (element.Type() == VarType::Text) return LoggedText(element.AsText());
      return element.IsArray() ? "<array>" : LoggedText(element.ToText());
    } catch (const VariantError&) {
      return "<unsupported>";
    }
  };
  if (!list.IsArray()) return describe(list);
  const SafeArray& array = list.AsArray();
  if (array.ElemType() == ElementType::Byte) return "<" + std::to_string(array.Count()) + " bytes>";
  std::string text = "[";
  for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
    if (i > array.LowerBound()) text += ", ";
    if (text.size() >= kDescribedListLimit)
      return text + "... " + std::to_string(array.Count()) + " elements in all]";
    text += describe(array.Get(i));
  }
  return text + "]";
}

DriverCall DriverCallOf(const QString& member) {
  if (member == QLatin1String("OpenSite")) return DriverCall::OpenSite;
  if (member == QLatin1String("CloseSite")) return DriverCall::CloseSite;
  if (member == QLatin1String("SetDriverOption")) return DriverCall::SetDriverOption;
  if (member == QLatin1String("ExecuteCommand")) return DriverCall::ExecuteCommand;
  if (member == QLatin1String("ExecuteImmediate")) return DriverCall::Immediate;
  return DriverCall::None;
}

DriverAnswer CarryOut(TQorModBusCom& object, DriverCall call, Variant params,
                      const std::vector<int32_t>& unrepresentable, const std::string& who) {
  // Every call and its answer, in the bus category; the texts are built only when it is on.
  const bool debug = LogEnabled(LogCategory::Bus, LogLevel::Debug);
  const std::string what = debug ? who + " " + DescribeList(params) : std::string();
  DriverAnswer answer;
  switch (call) {
    case DriverCall::OpenSite:
      answer.flag = object.OpenSite(std::move(params), unrepresentable);
      break;
    case DriverCall::CloseSite:
      answer.flag = object.CloseSite(std::move(params));
      break;
    case DriverCall::SetDriverOption:
      answer.flag = object.SetDriverOption(std::move(params));
      break;
    case DriverCall::ExecuteCommand:
      answer.list = object.ExecuteCommand(std::move(params));
      break;
    case DriverCall::Immediate:
      answer.list = object.ExecuteImmediate(std::move(params));
      break;
    case DriverCall::None:
      break;
  }
  if (debug)
    LogWrite(LogCategory::Bus, LogLevel::Debug,
             what + " -> " +
                 (answer.list   ? DescribeList(*answer.list)
                  : answer.flag ? "true"
                                : "false"));
  return answer;
}

}  // namespace qmb

#include "host/bus/BusConversion.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

#include "platform/Log.h"
#include "platform/TextHelpers.h"

namespace qmb {

namespace {

// Hosts have always been told what a refused variant held by these names; they stay.
std::string HeldName(const std::string& signature) {
  static const std::map<std::string, const char*> names = {{"y", "uchar"},
                                                           {"b", "bool"},
                                                           {"n", "short"},
                                                           {"q", "ushort"},
                                                           {"i", "int"},
                                                           {"u", "uint"},
                                                           {"x", "qlonglong"},
                                                           {"t", "qulonglong"},
                                                           {"d", "double"},
                                                           {"o", "QDBusObjectPath"},
                                                           {"g", "QDBusSignature"},
                                                           {"h", "QDBusUnixFileDescriptor"},
                                                           {"v", "QDBusVariant"},
                                                           {"ay", "QByteArray"}};
  const auto name = names.find(signature);
  return name != names.end() ? name->second : signature;
}

std::string Refusal(const std::string& held) {
  return "a parameter list is a variant holding as, av or s; this one holds " + held;
}

Variant Number(int64_t number) {
  if (number >= std::numeric_limits<int32_t>::min() &&
      number <= std::numeric_limits<int32_t>::max())
    return Variant(static_cast<int32_t>(number));
  return Variant(static_cast<double>(number));
}

// One element of an `av` list, the message inside its variant. Integers of every width become
// numbers (int32 when they fit, else double); containers, object paths and the like have no place
// in a parameter list and stand as unsupported values. A negative errno when it cannot be read.
int ReadElement(sd_bus_message* m, const char* type, bool& lossy, Variant& element) {
  if (!type || std::strlen(type) != 1 || !std::strchr("ybnqiuxtds", type[0])) {
    element = Variant::Unsupported();
    const int r = sd_bus_message_skip(m, type);
    return r < 0 ? r : 0;
  }
  union {
    uint8_t y;
    int b;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    const char* s;
  } value{};
  const int r = sd_bus_message_read_basic(m, type[0], &value);
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  switch (type[0]) {
    case 'y':
      element = Variant(static_cast<int32_t>(value.y));
      break;
    case 'b':
      element = Variant::FromBool(value.b != 0);
      break;
    case 'n':
      element = Variant(static_cast<int32_t>(value.n));
      break;
    case 'q':
      element = Variant(static_cast<int32_t>(value.q));
      break;
    case 'i':
      element = Variant(value.i);
      break;
    case 'u':
      element = Number(value.u);
      break;
    case 'x':
      element = Number(value.x);
      break;
    case 't':
      element = value.t <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                    ? Variant(static_cast<int32_t>(value.t))
                    : Variant(static_cast<double>(value.t));
      break;
    case 'd':
      element = Variant(value.d);
      break;
    default:
      element = Variant(TextFromBus(value.s, &lossy));
      break;
  }
  return 0;
}

int AppendElement(sd_bus_message* m, const Variant& value);

int AppendArray(sd_bus_message* m, const SafeArray& array) {
  int r = 0;
  switch (array.ElemType()) {
    case ElementType::Byte: {
      const std::string bytes = array.Bytes();
      if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0) return r;
      if ((r = sd_bus_message_append_array(m, 'y', bytes.data(), bytes.size())) < 0) return r;
      return sd_bus_message_close_container(m);
    }
    case ElementType::Text: {
      if ((r = sd_bus_message_open_container(m, 'v', "as")) < 0) return r;
      if ((r = sd_bus_message_open_container(m, 'a', "s")) < 0) return r;
      for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
        const Variant& element = array.Get(i);
        const std::string text =
            element.Type() == VarType::Text ? TextToBus(element.AsText()) : std::string();
        if ((r = sd_bus_message_append_basic(m, 's', text.c_str())) < 0) return r;
      }
      if ((r = sd_bus_message_close_container(m)) < 0) return r;
      return sd_bus_message_close_container(m);
    }
    case ElementType::Variant:
      break;
  }
  if ((r = sd_bus_message_open_container(m, 'v', "av")) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "v")) < 0) return r;
  for (int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i)
    if ((r = AppendElement(m, array.Get(i))) < 0) return r;
  if ((r = sd_bus_message_close_container(m)) < 0) return r;
  return sd_bus_message_close_container(m);
}

int AppendElement(sd_bus_message* m, const Variant& value) {
  switch (value.Type()) {
    case VarType::Text:
      return sd_bus_message_append(m, "v", "s", TextToBus(value.AsText()).c_str());
    case VarType::Int32:
      return sd_bus_message_append(m, "v", "i", value.AsInt32());
    case VarType::Double:
      return sd_bus_message_append(m, "v", "d", value.AsDouble());
    case VarType::Bool:
      return sd_bus_message_append(m, "v", "b", static_cast<int>(value.AsBool()));
    case VarType::Byte:
      return sd_bus_message_append(m, "v", "y", static_cast<uint8_t>(value.AsByte()));
    case VarType::Array:
      return AppendArray(m, value.AsArray());
    case VarType::Empty:
    case VarType::Null:
    case VarType::Unsupported:
      break;
  }
  // A variant on the bus must hold something; the empty string is what hosts expect for "no
  // value" in a reply list.
  return sd_bus_message_append(m, "v", "s", "");
}

}  // namespace

std::string TextFromBus(std::string_view utf8, bool* lossy) {
  return Utf8ToLatin1(utf8, lossy);
}

std::string TextToBus(std::string_view bytes) {
  return Latin1ToUtf8(bytes);
}

std::optional<Variant> ReadParamList(sd_bus_message* m, std::string& error,
                                     std::vector<int32_t>& unrepresentable) {
  // The variant's contents, named by their whole signature ("aas" for a list of lists).
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents ||
      sd_bus_message_enter_container(m, 'v', contents) <= 0) {
    error = Refusal("nothing");
    return std::nullopt;
  }
  const std::string inner = contents;
  bool lossy = false;
  // A text sd-bus cannot read (it refuses the noncharacters U+FDD0-U+FDEF and U+xFFFE/U+xFFFF
  // that the daemon lets through) fails the call: a list cut short at it would run the host's
  // command without the parameters that came after.
  const auto unreadable = [&error](size_t index, int r) {
    error = "element " + std::to_string(index) + " of the parameter list cannot be read (" +
            std::strerror(-r) + ")";
    return std::nullopt;
  };
  if (inner == "s") {
    const char* text = nullptr;
    if (const int r = sd_bus_message_read_basic(m, 's', &text); r <= 0)
      return unreadable(0, r < 0 ? r : -EBADMSG);
    Variant value(TextFromBus(text, &lossy));
    if (lossy) unrepresentable.push_back(0);
    return value;
  }
  if (inner != "as" && inner != "av") {
    error = Refusal(HeldName(inner));
    return std::nullopt;
  }
  const bool texts = inner == "as";
  if (const int r = sd_bus_message_enter_container(m, 'a', texts ? "s" : "v"); r <= 0)
    return unreadable(0, r < 0 ? r : -EBADMSG);
  std::vector<Variant> elements;
  for (;;) {
    lossy = false;
    if (texts) {
      const char* text = nullptr;
      const int r = sd_bus_message_read_basic(m, 's', &text);
      if (r == 0) break;  // the end of the list
      if (r < 0) return unreadable(elements.size(), r);
      elements.emplace_back(TextFromBus(text, &lossy));
    } else {
      const char* elementType = nullptr;
      int r = sd_bus_message_peek_type(m, nullptr, &elementType);
      if (r == 0) break;
      if (r > 0) r = sd_bus_message_enter_container(m, 'v', elementType);
      if (r <= 0) return unreadable(elements.size(), r < 0 ? r : -EBADMSG);
      Variant element;
      if ((r = ReadElement(m, elementType, lossy, element)) < 0 ||
          (r = sd_bus_message_exit_container(m)) < 0)
        return unreadable(elements.size(), r);
      elements.push_back(std::move(element));
    }
    if (lossy) unrepresentable.push_back(static_cast<int32_t>(elements.size()) - 1);
  }
  SafeArray list(texts ? ElementType::Text : ElementType::Variant, 0,
                 static_cast<int32_t>(elements.size()) - 1);
  for (size_t i = 0; i < elements.size(); ++i)
    list.Put(static_cast<int32_t>(i), std::move(elements[i]));
  return Variant(std::move(list));
}

int AppendReply(sd_bus_message* m, const Variant& reply) {
  if (reply.IsArray()) return AppendArray(m, reply.AsArray());
  if (reply.Type() == VarType::Byte) {
    const auto byte = static_cast<uint8_t>(reply.AsByte());
    int r = 0;
    if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0) return r;
    if ((r = sd_bus_message_append_array(m, 'y', &byte, 1)) < 0) return r;
    return sd_bus_message_close_container(m);
  }
  std::string text;
  try {
    text = TextToBus(reply.ToText());
  } catch (const VariantError&) {
    // No text form (null, unsupported): an empty element still keeps the layout.
  }
  const char* const texts[] = {text.c_str(), nullptr};
  int r = 0;
  if ((r = sd_bus_message_open_container(m, 'v', "as")) < 0) return r;
  if ((r = sd_bus_message_append_strv(m, const_cast<char**>(texts))) < 0) return r;
  return sd_bus_message_close_container(m);
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

DriverAnswer CarryOut(TQorModBusCom& object, DriverCall call, Variant params,
                      const std::vector<int32_t>& unrepresentable, std::string_view client,
                      uint64_t objectNumber, std::string_view member) {
  // Every call and its answer, in the bus category; the texts are built only when it is on.
  const bool debug = LogEnabled(LogCategory::Bus, LogLevel::Debug);
  const std::string what = debug ? "Client " + std::string(client) + " object " +
                                       std::to_string(objectNumber) + " " + std::string(member) +
                                       " " + DescribeList(params)
                                 : std::string();
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

// Parameter lists arrive from any host: every accessor must survive any element texts, and the
// typed accessors must agree with the text lookup they are built on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ParamList.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckKey(const qmb::Variant& list, const std::string& key) {
  std::string text;
  const bool found = qmb::GetParamStr(list, key, text);
  Check(found || text.empty());

  int32_t number = -1;
  const bool isInt = qmb::GetParamInt(list, key, number);
  int32_t parsed = 0;
  Check(isInt == (found && qmb::ParseIntegerText(text, parsed)));
  Check(isInt ? number == parsed : number == 0);

  bool flag = true;
  Check(qmb::GetParamBool(list, key, flag) == found);
  Check(flag == (found && text == "TRUE"));

  double real = -1.0;
  const bool isFloat = qmb::GetParamFloat(list, key, real);
  double parsedReal = 0.0;
  Check(isFloat == (found && qmb::ParseNumberText(text, parsedReal)));
  Check(isFloat ? real == parsedReal : real == 0.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> elements;
  for (size_t start = 0;;) {
    const size_t end = input.find('\n', start);
    elements.push_back(input.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }

  const qmb::Variant list(qmb::SafeArray::OfTexts(elements));
  const std::string dataKey = elements.front().substr(0, elements.front().find('='));
  for (const std::string& key : {std::string("COMPORT"), std::string("DESCRIPTION"),
                                 std::string("BP1"), std::string(), dataKey}) {
    CheckKey(list, key);
    // The last element on its own, as a value that is not an array.
    CheckKey(qmb::Variant(elements.back()), key);
  }

  // The first element's own key finds the first element's value.
  std::string value;
  const std::string& first = elements.front();
  if (first.find('=') != std::string::npos) {
    Check(qmb::GetParamStr(list, dataKey, value));
    Check(value == first.substr(first.find('=') + 1));
  }

  // A built element round-trips, whatever its value holds, as long as the key has no "=".
  const std::string& last = elements.back();
  const std::string param = qmb::MakeParam(dataKey, last);
  Check(param.size() == dataKey.size() + 1 + last.size());
  Check(qmb::GetParamStr(qmb::Variant(param), dataKey, value));
  Check(value == last);

  // Both rules, straight on every element: no crash, and a rejected text changes nothing.
  for (const std::string& element : elements) {
    int32_t number = 12345;
    if (!qmb::ParseIntegerText(element, number)) Check(number == 12345);
    double real = 0.5;
    if (qmb::ParseNumberText(element, real))
      Check(real == real && real - real == 0.0);  // finite: no INF or NAN slips through
    else
      Check(real == 0.5);
  }
  return 0;
}

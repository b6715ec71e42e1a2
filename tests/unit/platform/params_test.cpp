#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "platform/Locale.h"
#include "platform/ParamList.h"

namespace qmb {
namespace {

Variant List(const std::vector<std::string>& texts) {
  return Variant(SafeArray::OfTexts(texts));
}

// The value when found; a miss must also leave the out value empty.
std::optional<std::string> Find(const Variant& list, const std::string& key) {
  std::string value = "stale";
  if (GetParamStr(list, key, value)) return value;
  EXPECT_EQ(value, "") << key;
  return std::nullopt;
}

std::optional<int32_t> Integer(const std::string& text) {
  int32_t value = 0;
  if (ParseIntegerText(text, value)) return value;
  return std::nullopt;
}

std::optional<double> Number(const std::string& text) {
  double value = 0.0;
  if (ParseNumberText(text, value)) return value;
  return std::nullopt;
}

TEST(ParamLookup, FirstExactMatchWinsAndValueFollowsFirstEquals) {
  EXPECT_EQ(MakeParam("COMMANDSTATUS", "TRUE"), "COMMANDSTATUS=TRUE");
  EXPECT_EQ(MakeParam("COMMANDERROR", ""), "COMMANDERROR=");

  EXPECT_EQ(Find(List({"DESCRIPTION=Site A", "DESCRIPTION=Site B"}), "DESCRIPTION"), "Site A");
  EXPECT_EQ(Find(List({"DESCRIPTIONX=1", "DESCRIPTION=2"}), "DESCRIPTION"), "2");
  EXPECT_EQ(Find(List({"SP1=AT=1"}), "SP1"), "AT=1");
  EXPECT_EQ(Find(List({"COMPORT="}), "COMPORT"), "");
  EXPECT_EQ(Find(List({"NAME= padded "}), "NAME"), " padded ");
  // Case and blanks count.
  for (const char* element :
       {"description=x", " DESCRIPTION=x", "DESCRIPTION =x", "DESCRIPTION", "DESCRIPTIO=x", ""})
    EXPECT_EQ(Find(List({element}), "DESCRIPTION"), std::nullopt) << element;
  // The element's key ends at its first "=", so a key holding "=" never matches.
  EXPECT_EQ(Find(List({"A=B=C"}), "A=B"), std::nullopt);
}

TEST(ParamLookup, AnyListShapeIsScannedTheSameWay) {
  // A value that is not an array is a one-element list.
  EXPECT_EQ(Find(Variant("COMMAND=GETDATA"), "COMMAND"), "GETDATA");
  EXPECT_EQ(Find(Variant(42), "COMMAND"), std::nullopt);
  EXPECT_EQ(Find(Variant(), "COMMAND"), std::nullopt);
  EXPECT_EQ(Find(List({}), "COMMAND"), std::nullopt);

  SafeArray fromOne(ElementType::Text, 1, 2);
  fromOne.Put(1, Variant("A=1"));
  fromOne.Put(2, Variant("B=2"));
  EXPECT_EQ(Find(Variant(fromOne), "A"), "1");
  EXPECT_EQ(Find(Variant(fromOne), "B"), "2");
  // The element a lookup takes, by its own index.
  EXPECT_EQ(ParamIndex(Variant(fromOne), "B"), 2);
  EXPECT_EQ(ParamIndex(List({"A=0", "B=1", "B=2"}), "B"), 1);
  EXPECT_EQ(ParamIndex(List({"A=0"}), "B"), -1);
  EXPECT_EQ(ParamIndex(Variant("A=0"), "A"), 0);

  // Variant elements are read through their text form.
  SafeArray mixed(ElementType::Variant, -2, 1);
  mixed.Put(-1, Variant(7));
  mixed.Put(0, Variant(1.5));
  mixed.Put(1, Variant("KEY=v"));
  EXPECT_EQ(Find(Variant(mixed), "KEY"), "v");
}

TEST(ParamLookup, UnreadableElementRaisesOnlyWhenReachedBeforeAMatch) {
  SafeArray array(ElementType::Variant, 0, 2);
  array.Put(0, Variant("A=1"));
  array.Put(1, Variant::Null());
  array.Put(2, Variant("B=2"));
  const Variant list(array);
  std::string value = "stale";
  EXPECT_EQ(Find(list, "A"), "1");
  EXPECT_THROW(GetParamStr(list, "B", value), VariantError);
  EXPECT_EQ(value, "");

  for (const Variant& bad : {Variant::Unsupported(), Variant(SafeArray::OfTexts({"B=2"}))}) {
    SafeArray holder(ElementType::Variant, 0, 0);
    holder.Put(0, bad);
    EXPECT_THROW(GetParamStr(Variant(holder), "B", value), VariantError);
  }
  EXPECT_THROW(GetParamStr(Variant::Null(), "B", value), VariantError);

  SafeArray twoDimensions = SafeArray::OfTexts({"A=1"});
  twoDimensions.SetDimensions(2);
  EXPECT_THROW(GetParamStr(Variant(twoDimensions), "A", value), VariantError);
  SafeArray emptyTwoDimensions = SafeArray::OfTexts({});
  emptyTwoDimensions.SetDimensions(2);
  EXPECT_EQ(Find(Variant(emptyTwoDimensions), "A"), std::nullopt);
}

// What GetNumberedParams must match: one GetParamStr per key, the way lists were read before.
struct Numbered {
  std::vector<std::string> values;
  bool raised = false;
  bool operator==(const Numbered&) const = default;
};

Numbered KeyByKey(const Variant& list, const std::string& prefix) {
  Numbered out;
  try {
    for (int n = 0;; ++n) {
      std::string text;
      GetParamStr(list, prefix + std::to_string(n), text);
      if (text.empty()) break;
      out.values.push_back(text);
    }
  } catch (const VariantError&) {
    out.raised = true;
  }
  return out;
}

Numbered InOnePass(const Variant& list, const std::string& prefix) {
  Numbered out;
  out.values = {"stale"};
  try {
    GetNumberedParams(list, prefix, out.values);
  } catch (const VariantError&) {
    out.raised = true;
  }
  return out;
}

TEST(ParamNumbered, OnePassReadsWhatKeyByKeyLookupsRead) {
  auto withElement = [](std::vector<std::string> texts, size_t at, const Variant& element) {
    SafeArray array(ElementType::Variant, 0, static_cast<int32_t>(texts.size()));
    for (size_t i = 0, k = 0; i <= texts.size(); ++i)
      array.Put(static_cast<int32_t>(i), i == at ? element : Variant(texts[k++]));
    return Variant(array);
  };
  SafeArray fromFive(ElementType::Text, 5, 6);
  fromFive.Put(5, Variant("P1=b"));
  fromFive.Put(6, Variant("P0=a"));
  SafeArray twoDimensions = SafeArray::OfTexts({"P0=a"});
  twoDimensions.SetDimensions(2);
  const std::vector<std::string> run{"C=X", "P0=a", "P1=b", "P2=c"};

  const std::vector<std::pair<Variant, std::string>> cases{
      {List(run), "P"},
      {List({"P2=c", "P1=b", "P0=a", "P3=d=e"}), "P"},       // any order; value after first =
      {List({"P0=a", "P1=b", "P0=z", "P1=", "P2=c"}), "P"},  // first match wins
      {List({"P0=a", "P1=", "P2=c"}), "P"},                  // an empty value ends the run
      {List({"P0=a", "P2=c"}), "P"},                         // so does a gap
      {List({"P00=a", "P0=b", "P01=c", "P+1=d", "P1 =e", "p1=f", "P1=g"}), "P"},
      {List({"P10=k", "P1=b", "P0=a"}), "P"},                    // P1 is no prefix of P10
      {List({"P1=b", "P0=a"}), "P1"},                            // keys P10, P11 ...
      {List({"A=B0=x", "A=B1=y"}), "A=B"},                       // a key with = matches nothing
      {List({"P0=a", "P4294967296=b", "P99999999999=c"}), "P"},  // numbers past any run
      {Variant("P0=only"), "P"},
      {Variant(fromFive), "P"},
      {Variant(), "P"},
      {List({}), "P"},
      {withElement({"P0=a", "P1=b"}, 1, Variant(7)), "P"},
      {withElement({"P0=a", "P1=b"}, 2, Variant::Null()), "P"},  // unreadable after the run
      {withElement({"P0=a", "P1=b"}, 1, Variant::Null()), "P"},  // unreadable inside it
      {withElement({"P0=a", "P1="}, 2, Variant::Null()), "P"},   // after an empty value
      {withElement({"P1=", "P0=a"}, 1, Variant::Unsupported()), "P"},
      {Variant::Null(), "P"},
      {Variant(twoDimensions), "P"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [list, prefix] = cases[i];
    EXPECT_EQ(InOnePass(list, prefix), KeyByKey(list, prefix)) << "case " << i;
  }
  // What was read before the raise stays, as it did key by key.
  EXPECT_EQ(InOnePass(withElement({"P0=a", "P1=b"}, 1, Variant::Null()), "P").values,
            (std::vector<std::string>{"a"}));
}

TEST(ParamNumbered, AtMostTheAskedNumberIsCollected) {
  SafeArray array(ElementType::Variant, 0, 3);
  array.Put(0, Variant("P1=b"));
  array.Put(1, Variant("P0=a"));
  array.Put(2, Variant("P2=c"));
  array.Put(3, Variant::Null());
  std::vector<std::string> values;
  EXPECT_THROW(GetNumberedParams(Variant(array), "P", values), VariantError) << "P3 is missing";
  // A run cut short ends in no missing key: the unreadable element past it is never reached.
  GetNumberedParams(Variant(array), "P", values, 2);
  EXPECT_EQ(values, (std::vector<std::string>{"a", "b"}));
  // One before the cut still is.
  array.Put(0, Variant::Null());
  EXPECT_THROW(GetNumberedParams(Variant(array), "P", values, 2), VariantError);
}

TEST(ParamNumbered, FiftyThousandKeysInReverseOrderWithRepeats) {
  // Read key by key this list took seconds; in one pass, a blink.
  constexpr int kCount = 50000;
  std::vector<std::string> texts{"COMMAND=SENDPOINTSLIST"};
  for (int n = kCount - 1; n >= 0; --n)
    texts.push_back("POINT" + std::to_string(n) + "=v" + std::to_string(n));
  for (int n = 0; n < kCount; n += 7) texts.push_back("POINT" + std::to_string(n) + "=repeat");
  std::vector<std::string> values;
  GetNumberedParams(List(texts), "POINT", values);
  ASSERT_EQ(values.size(), static_cast<size_t>(kCount));
  for (int n = 0; n < kCount; ++n)
    ASSERT_EQ(values[static_cast<size_t>(n)], "v" + std::to_string(n));
}

TEST(ParamTyped, FoundAndValidOrZeroAndNeverRaising) {
  const Variant list = List({"COMPORT= 3", "BAD=3 ", "HEX=$10", "EMPTY=", "RATE= 2.5 ", "WORD=fast",
                             "A=TRUE", "B=true", "C=1", "D=YES"});
  SafeArray flat = SafeArray::OfTexts({"COMPORT=1"});
  flat.SetDimensions(2);
  const Variant unreadable(flat);

  int32_t number = 99;
  EXPECT_TRUE(GetParamInt(list, "COMPORT", number));
  EXPECT_EQ(number, 3);
  EXPECT_TRUE(GetParamInt(list, "HEX", number));
  EXPECT_EQ(number, 16);
  for (const char* key : {"BAD", "EMPTY", "MISSING"}) {
    number = 99;
    EXPECT_FALSE(GetParamInt(list, key, number)) << key;
    EXPECT_EQ(number, 0) << key;
  }
  number = 99;
  EXPECT_FALSE(GetParamInt(unreadable, "COMPORT", number));
  EXPECT_EQ(number, 0);

  double real = 9.0;
  EXPECT_TRUE(GetParamFloat(list, "RATE", real));
  EXPECT_EQ(real, 2.5);
  for (const char* key : {"WORD", "EMPTY", "MISSING"}) {
    real = 9.0;
    EXPECT_FALSE(GetParamFloat(list, key, real)) << key;
    EXPECT_EQ(real, 0.0) << key;
  }
  real = 9.0;
  EXPECT_FALSE(GetParamFloat(unreadable, "COMPORT", real));
  EXPECT_EQ(real, 0.0);

  // Found whatever the text, true only for "TRUE".
  bool flag = false;
  EXPECT_TRUE(GetParamBool(list, "A", flag));
  EXPECT_TRUE(flag);
  for (const char* key : {"B", "C", "D", "EMPTY"}) {
    flag = true;
    EXPECT_TRUE(GetParamBool(list, key, flag)) << key;
    EXPECT_FALSE(flag) << key;
  }
  for (const Variant& source : {list, unreadable}) {
    flag = true;
    EXPECT_FALSE(GetParamBool(source, "MISSING", flag));
    EXPECT_FALSE(flag);
  }
}

TEST(ParamIntegerRule, SignedDecimalOrPrefixedHex) {
  EXPECT_EQ(Integer("-0"), 0);
  EXPECT_EQ(Integer("+7"), 7);
  EXPECT_EQ(Integer("   -12"), -12);
  EXPECT_EQ(Integer("007"), 7);
  EXPECT_EQ(Integer("2147483647"), 2147483647);
  EXPECT_EQ(Integer("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(Integer("$10"), 16);
  EXPECT_EQ(Integer("x1f"), 31);
  EXPECT_EQ(Integer("XFF"), 255);
  EXPECT_EQ(Integer(" 0xaBc"), 0xABC);
  EXPECT_EQ(Integer("0X7FFFFFFF"), 0x7FFFFFFF);
  EXPECT_EQ(Integer("$80000000"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(Integer("$ffffffff"), -1);
  for (const char* text : {"",
                           "   ",
                           "+",
                           "-",
                           "1 ",
                           "1a",
                           "\t1",
                           "1.0",
                           "- 1",
                           "+-1",
                           "1e3",
                           "2147483648",
                           "-2147483649",
                           "99999999999999999999999",
                           "$",
                           "0x",
                           "$G",
                           "$10 ",
                           "-$10",
                           "+0x1",
                           "$123456789",
                           "0x000000001",
                           "$ 1"})
    EXPECT_EQ(Integer(text), std::nullopt) << '"' << text << '"';
}

TEST(ParamNumberRule, DigitsSeparatorAndExponent) {
  EXPECT_EQ(Number("-1.5"), -1.5);
  EXPECT_EQ(Number("+.5"), 0.5);
  EXPECT_EQ(Number("5."), 5.0);
  EXPECT_EQ(Number("  3  "), 3.0);
  EXPECT_EQ(Number("1E-3"), 0.001);  // exact: the conversion must round correctly
  EXPECT_EQ(Number("2.5e+2"), 250.0);
  EXPECT_EQ(Number("000123.4500"), 123.45);
  EXPECT_EQ(Number("1e-400"), 0.0);  // underflow reads as zero, overflow is invalid
  for (const char* text : {"", "  ", ".", "-", "E5", ".e1", "1e", "1e+", "1.2.3", "1,000", "1 000",
                           "inf", "-INF", "nan", "0x10", "1.5f", "\t1", "1e400", "- 1"})
    EXPECT_EQ(Number(text), std::nullopt) << '"' << text << '"';

  const char saved = DecimalSeparator();
  SetDecimalSeparator(',');
  const auto comma = Number("-2,25E1");
  const auto point = Number("1.5");
  const auto grouped = Number("1,000,000");
  double fromList = 0.0;
  const bool found = GetParamFloat(List({"RATE=0,75"}), "RATE", fromList);
  SetDecimalSeparator(saved);
  EXPECT_EQ(comma, -22.5);
  EXPECT_EQ(point, std::nullopt);
  EXPECT_EQ(grouped, std::nullopt);
  EXPECT_TRUE(found);
  EXPECT_EQ(fromList, 0.75);
}

}  // namespace
}  // namespace qmb

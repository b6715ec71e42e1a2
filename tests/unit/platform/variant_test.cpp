#include <gtest/gtest.h>

#include "platform/Locale.h"
#include "platform/Variant.h"

namespace qmb {
namespace {

TEST(VariantText, EachKindHasItsPlainTextForm) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant("A=1").ToText(), "A=1");
  EXPECT_EQ(Variant(std::string("x\0y", 3)).ToText(), std::string("x\0y", 3));
  EXPECT_EQ(Variant(-5).ToText(), "-5");
  EXPECT_EQ(Variant(12.5).ToText(), "12.5");
  EXPECT_EQ(Variant(0.1).ToText(), "0.1");
  EXPECT_EQ(Variant(3.0).ToText(), "3");
  EXPECT_EQ(Variant(1e20).ToText(), "1E20");
  EXPECT_EQ(Variant::FromBool(true).ToText(), "True");
  EXPECT_EQ(Variant::FromBool(false).ToText(), "False");
  EXPECT_EQ(Variant::FromByte(200).ToText(), "200");

  const char saved = DecimalSeparator();
  SetDecimalSeparator(',');
  const std::string withComma = Variant(12.5).ToText();
  SetDecimalSeparator(saved);
  EXPECT_EQ(withComma, "12,5");
}

TEST(VariantText, ConversionsRefuseWhatTheyCannotRepresent) {
  EXPECT_THROW(Variant::Null().ToText(), VariantError);
  EXPECT_THROW(Variant::Unsupported().ToText(), VariantError);
  EXPECT_THROW(Variant(SafeArray::OfTexts({"A=1"})).ToText(), VariantError);
  EXPECT_THROW(Variant(SafeArray::OfBytes("AB")).ToText(), VariantError);
  EXPECT_THROW(Variant(5).AsText(), VariantError);
  EXPECT_THROW(Variant("x").AsArray(), VariantError);

  EXPECT_EQ(Variant::FromBool(true).AsOleBool(), -1);
  EXPECT_EQ(Variant("38400").AsInt32(), 38400);
  EXPECT_THROW(Variant("12abc").AsInt32(), VariantError);
  EXPECT_THROW(Variant(3e10).AsInt32(), VariantError);
  EXPECT_THROW(Variant(256).AsByte(), VariantError);
  EXPECT_THROW(Variant::Null().AsDouble(), VariantError);
}

TEST(VariantArray, BoundsElementTypesAndConversionOnPut) {
  SafeArray texts(ElementType::Text, 1, 3);
  EXPECT_EQ(texts.LowerBound(), 1);
  EXPECT_EQ(texts.UpperBound(), 3);
  EXPECT_EQ(texts.Count(), 3);
  EXPECT_EQ(texts.Get(1).Type(), VarType::Text);  // fresh text arrays hold empty texts
  EXPECT_THROW(texts.Get(0), VariantError);
  EXPECT_THROW(texts.Get(4), VariantError);
  EXPECT_THROW(texts.Put(4, Variant("x")), VariantError);
  texts.Put(2, Variant(5));
  EXPECT_EQ(texts.Get(2).Type(), VarType::Text);
  EXPECT_EQ(texts.Get(2).AsText(), "5");
  EXPECT_THROW(texts.Put(3, Variant::Null()), VariantError);

  const SafeArray empty(ElementType::Text, 0, -1);
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(empty.UpperBound(), -1);
  EXPECT_EQ(SafeArray::OfTexts({}).Count(), 0);

  SafeArray variants(ElementType::Variant, -2, -1);
  variants.Put(-2, Variant(1.5));
  EXPECT_EQ(variants.Get(-2).Type(), VarType::Double);
  EXPECT_EQ(variants.Get(-1).Type(), VarType::Empty);
}

TEST(VariantArray, ByteArraysKeepEveryByte) {
  const std::string raw("A\0\xFF\n", 4);
  const SafeArray bytes = SafeArray::OfBytes(raw);
  EXPECT_EQ(bytes.ElemType(), ElementType::Byte);
  EXPECT_EQ(bytes.Count(), 4);
  EXPECT_EQ(bytes.Bytes(), raw);
  EXPECT_EQ(bytes.Get(2).AsByte(), 0xFF);
  EXPECT_TRUE(Variant(bytes).IsByteType());
  EXPECT_TRUE(Variant::FromByte(1).IsByteType());
  EXPECT_FALSE(Variant(SafeArray::OfTexts({"A"})).IsByteType());

  SafeArray put(ElementType::Byte, 0, 1);
  put.Put(0, Variant(65));
  put.Put(1, Variant("66"));
  EXPECT_EQ(put.Bytes(), "AB");
  EXPECT_THROW(put.Put(0, Variant(300)), VariantError);
  EXPECT_EQ(put.Bytes(), "AB");
}

TEST(VariantCopy, CopiesAreDeepAndCompareByValue) {
  Variant original(SafeArray::OfTexts({"A=1", "B=2"}));
  Variant copy = original;
  EXPECT_EQ(copy, original);
  copy.AsArray().Put(0, Variant("A=changed"));
  EXPECT_EQ(original.AsArray().Get(0).AsText(), "A=1");
  EXPECT_FALSE(copy == original);

  Variant assigned;
  assigned = original;
  original.AsArray().Put(1, Variant("B=changed"));
  EXPECT_EQ(assigned.AsArray().Get(1).AsText(), "B=2");

  SafeArray nested(ElementType::Variant, 0, 0);
  nested.Put(0, Variant(SafeArray::OfBytes("xy")));
  Variant outer(nested);
  Variant outerCopy = outer;
  outerCopy.AsArray().Put(0, Variant(SafeArray::OfBytes("zz")));
  EXPECT_EQ(outer.AsArray().Get(0).AsArray().Bytes(), "xy");

  Variant& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.AsArray().Get(0).AsText(), "A=1");

  EXPECT_FALSE(Variant(1) == Variant(1.0));
  EXPECT_FALSE(Variant(SafeArray::OfTexts({"A"})) == Variant(SafeArray::OfBytes("A")));
}

}  // namespace
}  // namespace qmb

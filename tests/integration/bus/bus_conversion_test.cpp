// Parameter lists and replies across the bus boundary: Latin-1 texts and the reply layouts hosts
// rely on. (Lists marshalled by real hosts, `av` included, are covered by bus_host_test.py.)
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDBusArgument>
#include <QStringList>
#include <QVariantList>
#include <string>
#include <vector>

#include "host/bus/BusConversion.h"
#include "platform/Log.h"

namespace qmb {
namespace {

TEST(BusText, EachByteIsOneCharacterBothWays) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const QString text = TextToBus(all);
  ASSERT_EQ(text.size(), 256);
  EXPECT_EQ(text.at(0xFC), QChar(0xFC));  // ü as U+00FC, sent as UTF-8 by the bus
  EXPECT_EQ(TextFromBus(text), all);
}

TEST(BusText, CharactersAboveLatin1BecomeOneQuestionMarkEach) {
  // "€" (U+20AC) and "😀" (U+1F600, two UTF-16 units) are one character each.
  EXPECT_EQ(TextFromBus(QString::fromUtf8("a\u20ACb\U0001F600c")), "a?b?c");
  EXPECT_EQ(TextFromBus(QString::fromUtf8("Z\u00FCrich")), "Z\xFCrich");
  // A lone surrogate is still one unreadable character, never a crash.
  QString lone = QStringLiteral("x");
  lone.append(QChar(0xD800));
  EXPECT_EQ(TextFromBus(lone), "x?");

  // Where it matters the loss is told: "Pump \u4e2d" and "Pump \u65e5" read the same.
  bool lossy = true;
  TextFromBus(QString::fromUtf8("Z\u00FCrich \u00FF"), &lossy);
  EXPECT_FALSE(lossy);
  TextFromBus(QString::fromUtf8("Pump \u4e2d"), &lossy);
  EXPECT_TRUE(lossy);
  QString error;
  std::vector<int32_t> lost;
  ASSERT_TRUE(ParamListFromBus(
      QStringList{QString::fromUtf8("A=\u20AC"), "B=b", QString::fromUtf8("C=\U0001F600")}, error,
      &lost));
  EXPECT_EQ(lost, (std::vector<int32_t>{0, 2}));
  lost.clear();
  ASSERT_TRUE(ParamListFromBus(QString::fromUtf8("DESCRIPTION=Pump \u65e5"), error, &lost));
  EXPECT_EQ(lost, (std::vector<int32_t>{0}));
}

TEST(BusLog, ListsAreDescribedWithinBounds) {
  EXPECT_EQ(DescribeList(Variant(SafeArray::OfTexts({"COMMAND=GETDATA", "POINT0={a}{1-HREG1}"}))),
            "[COMMAND=GETDATA, POINT0={a}{1-HREG1}]");
  const std::string huge = DescribeList(
      Variant(SafeArray::OfTexts({"DESCRIPTION=" + std::string(10 * 1024 * 1024, 'D'), "X=1"})));
  EXPECT_EQ(huge, "[DESCRIPTION=" + std::string(kLoggedTextLimit - 12, 'D') +
                      "... (10485772 characters), X=1]");
  const std::string longList =
      DescribeList(Variant(SafeArray::OfTexts(std::vector<std::string>(100000, "POINT={a}{b}"))));
  EXPECT_LT(longList.size(), kDescribedListLimit + 100);
  EXPECT_TRUE(longList.ends_with("... 100000 elements in all]")) << longList;
}

TEST(BusParamList, TextsAndSingleTextAreLists) {
  QString error;
  const auto list =
      ParamListFromBus(QStringList{"COMMAND=SITETIME", QString::fromUtf8("D=\u00E9")}, error);
  ASSERT_TRUE(list.has_value());
  ASSERT_TRUE(list->IsArray());
  EXPECT_EQ(list->AsArray().ElemType(), ElementType::Text);
  EXPECT_EQ(list->AsArray().LowerBound(), 0);
  EXPECT_EQ(list->AsArray().Get(1).AsText(), "D=\xE9");

  const auto single = ParamListFromBus(QStringLiteral("COMMAND=GETDATA"), error);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ(single->AsText(), "COMMAND=GETDATA");

  const auto empty = ParamListFromBus(QStringList{}, error);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->AsArray().Count(), 0);
}

TEST(BusParamList, OtherValuesAreRefusedWithTheirType) {
  QString error;
  EXPECT_FALSE(ParamListFromBus(QVariant(42), error).has_value());
  EXPECT_TRUE(error.contains(QLatin1String("as, av or s"))) << error.toStdString();
  EXPECT_FALSE(ParamListFromBus(QByteArray("ab"), error).has_value());
  EXPECT_FALSE(ParamListFromBus(QVariant(), error).has_value());
}

TEST(BusReply, StatusRepliesAreStringArrays) {
  SafeArray status(ElementType::Text, 0, 1);
  status.Put(0, Variant("COMMANDSTATUS=Waiting for driver..."));
  const QVariant bus = ReplyToBus(Variant(std::move(status))).variant();
  ASSERT_EQ(bus.metaType().id(), QMetaType::QStringList);
  EXPECT_EQ(bus.toStringList(), (QStringList{"COMMANDSTATUS=Waiting for driver...", ""}));
}

TEST(BusReply, ResultRepliesAreVariantArraysWithEmptyElementsAsEmptyStrings) {
  SafeArray result(ElementType::Variant, 0, 5);
  result.Put(0, Variant("COMMANDSTATUS=TRUE"));
  result.Put(1, Variant("COMMAND=COMMANDSTATUS"));
  result.Put(2, Variant("COMMANDERROR=\xB0"));
  result.Put(3, Variant(int32_t{-7}));
  result.Put(4, Variant::FromBool(true));
  // element 5 stays empty
  const QVariant bus = ReplyToBus(Variant(std::move(result))).variant();
  ASSERT_EQ(bus.metaType().id(), QMetaType::QVariantList);
  const QVariantList elements = bus.toList();
  ASSERT_EQ(elements.size(), 6);
  EXPECT_EQ(elements[2].toString(), QString::fromUtf8("COMMANDERROR=\u00B0"));
  EXPECT_EQ(elements[3].metaType().id(), QMetaType::Int);
  EXPECT_EQ(elements[3].toInt(), -7);
  EXPECT_EQ(elements[4].metaType().id(), QMetaType::Bool);
  EXPECT_EQ(elements[5].metaType().id(), QMetaType::QString);
  EXPECT_TRUE(elements[5].toString().isEmpty());
}

TEST(BusReply, RawRepliesAreByteArrays) {
  const QVariant bytes =
      ReplyToBus(Variant(SafeArray::OfBytes(std::string("\x01\x03\x02\xFF\x00", 5)))).variant();
  ASSERT_EQ(bytes.metaType().id(), QMetaType::QByteArray);
  EXPECT_EQ(bytes.toByteArray(), QByteArray("\x01\x03\x02\xFF\x00", 5));
  const QVariant one = ReplyToBus(Variant::FromByte(0x41)).variant();
  EXPECT_EQ(one.toByteArray(), QByteArray("A"));
}

TEST(BusReply, ArraysWithOtherLowerBoundsKeepTheirOrder) {
  SafeArray texts(ElementType::Text, 1, 2);
  texts.Put(1, Variant("first"));
  texts.Put(2, Variant("second"));
  EXPECT_EQ(ReplyToBus(Variant(std::move(texts))).variant().toStringList(),
            (QStringList{"first", "second"}));
}

}  // namespace
}  // namespace qmb

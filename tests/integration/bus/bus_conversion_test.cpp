// Parameter lists and replies across the bus boundary, on real sd-bus messages: Latin-1 texts,
// what a host's list turns into, and the reply layouts hosts rely on. (Lists marshalled by real
// hosts are covered by bus_host_test.py.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/bus/BusConversion.h"
#include "platform/Log.h"

namespace qmb {
namespace {

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Messages are made on one end of a socket pair, sealed as if sent, and read back from the start.
class BusMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_), 0);
    ASSERT_GE(sd_bus_new(&bus_), 0);
    ASSERT_GE(sd_bus_set_fd(bus_, fds_[0], fds_[0]), 0);
    ASSERT_GE(sd_bus_start(bus_), 0);
  }
  void TearDown() override {
    sd_bus_close_unref(bus_);
    close(fds_[1]);
  }

  Message Sealed(const std::function<int(sd_bus_message*)>& append) {
    sd_bus_message* m = nullptr;
    EXPECT_GE(sd_bus_message_new_method_call(bus_, &m, "a.b", "/a", "a.b", "Call"), 0);
    Message message(m);
    EXPECT_GE(append(m), 0);
    EXPECT_GE(sd_bus_message_seal(m, ++cookie_, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(m, 1), 0);
    return message;
  }
  std::optional<Variant> Read(const std::function<int(sd_bus_message*)>& append,
                              std::vector<int32_t>* lost = nullptr) {
    Message m = Sealed(append);
    std::vector<int32_t> unrepresentable;
    error.clear();
    auto list = ReadParamList(m.get(), error, unrepresentable);
    if (lost) *lost = unrepresentable;
    return list;
  }
  Message Reply(const Variant& reply) {
    return Sealed([&](sd_bus_message* m) { return AppendReply(m, reply); });
  }
  static std::string Contents(sd_bus_message* m) {
    char type = 0;
    const char* contents = nullptr;
    sd_bus_message_peek_type(m, &type, &contents);
    return contents ? contents : "";
  }
  static std::vector<std::string> Texts(sd_bus_message* m) {
    std::vector<std::string> texts;
    char** strv = nullptr;
    if (sd_bus_message_enter_container(m, 'v', "as") > 0 && sd_bus_message_read_strv(m, &strv) > 0)
      for (char** s = strv; *s; ++s) {
        texts.emplace_back(*s);
        free(*s);
      }
    free(strv);
    return texts;
  }

  std::string error;

 private:
  int fds_[2] = {-1, -1};
  sd_bus* bus_ = nullptr;
  uint64_t cookie_ = 0;
};

TEST(BusText, EachByteIsOneCharacterBothWays) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = TextToBus(all);
  EXPECT_EQ(utf8.size(), 128u + 2 * 128u);
  EXPECT_EQ(TextToBus("\xFC"), "\u00FC");  // ü as U+00FC in UTF-8
  EXPECT_EQ(TextFromBus(utf8), all);
}

TEST(BusText, CharactersAboveLatin1BecomeOneQuestionMarkEach) {
  const struct {
    const char* utf8;
    std::string bytes;
    bool lossy;
  } rows[] = {
      {"a\u20ACb\U0001F600c", "a?b?c", true},  // two and four bytes of UTF-8, one "?" each
      {"Z\u00FCrich \u00FF", "Z\xFCrich \xFF", false},
      {"Pump \u4e2d", "Pump ?", true},
      {"", "", false},
  };
  for (const auto& row : rows) {
    bool lossy = !row.lossy;
    EXPECT_EQ(TextFromBus(row.utf8, &lossy), row.bytes) << row.utf8;
    EXPECT_EQ(lossy, row.lossy) << row.utf8;
  }
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

TEST_F(BusMessages, TextsAndSingleTextAreListsAndLossIsTold) {
  std::vector<int32_t> lost;
  const char* texts[] = {"A=\u20AC", "B=\u00E9", "C=\U0001F600", nullptr};
  auto list = Read(
      [&](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'v', "as");
        if (r >= 0) r = sd_bus_message_append_strv(m, const_cast<char**>(texts));
        return r >= 0 ? sd_bus_message_close_container(m) : r;
      },
      &lost);
  ASSERT_TRUE(list.has_value()) << error;
  ASSERT_TRUE(list->IsArray());
  EXPECT_EQ(list->AsArray().ElemType(), ElementType::Text);
  EXPECT_EQ(list->AsArray().LowerBound(), 0);
  EXPECT_EQ(list->AsArray().Get(1).AsText(), "B=\xE9");
  EXPECT_EQ(lost, (std::vector<int32_t>{0, 2}));

  list = Read([](sd_bus_message* m) { return sd_bus_message_append(m, "v", "s", "D=Pump \u65e5"); },
              &lost);
  ASSERT_TRUE(list.has_value()) << error;
  EXPECT_EQ(list->AsText(), "D=Pump ?");
  EXPECT_EQ(lost, (std::vector<int32_t>{0}));

  list = Read([](sd_bus_message* m) { return sd_bus_message_append(m, "v", "as", 0); });
  ASSERT_TRUE(list.has_value()) << error;
  EXPECT_EQ(list->AsArray().Count(), 0);
}

TEST_F(BusMessages, VariantListElementsBecomeNumbersTextsOrUnsupported) {
  auto list = Read([](sd_bus_message* m) {
    return sd_bus_message_append(m, "v", "av", 11, "y", uint8_t{200}, "n", int16_t{-5}, "q",
                                 uint16_t{65535}, "i", int32_t{-7}, "u", uint32_t{4000000000u}, "x",
                                 int64_t{-3}, "t", uint64_t{1} << 40, "d", 2.5, "b", 1, "s",
                                 "K=\u00B0", "as", 1, "nested");
  });
  ASSERT_TRUE(list.has_value()) << error;
  const SafeArray& elements = list->AsArray();
  ASSERT_EQ(elements.Count(), 11);
  const struct {
    VarType type;
    double number;
  } rows[] = {{VarType::Int32, 200},
              {VarType::Int32, -5},
              {VarType::Int32, 65535},
              {VarType::Int32, -7},
              {VarType::Double, 4e9},
              {VarType::Int32, -3},
              {VarType::Double, 1099511627776.0},
              {VarType::Double, 2.5}};
  for (int32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(elements.Get(i).Type(), rows[i].type) << i;
    EXPECT_EQ(elements.Get(i).Type() == VarType::Int32 ? elements.Get(i).AsInt32()
                                                       : elements.Get(i).AsDouble(),
              rows[i].number)
        << i;
  }
  EXPECT_TRUE(elements.Get(8).AsBool());
  EXPECT_EQ(elements.Get(9).AsText(), "K=\xB0");
  EXPECT_EQ(elements.Get(10).Type(), VarType::Unsupported);
}

TEST_F(BusMessages, OtherValuesAreRefusedWithTheirType) {
  const struct {
    const char* signature;
    std::function<int(sd_bus_message*)> append;
    const char* held;
  } rows[] = {
      {"i", [](sd_bus_message* m) { return sd_bus_message_append(m, "v", "i", 42); }, "int"},
      {"ay", [](sd_bus_message* m) { return sd_bus_message_append(m, "v", "ay", 1, 'a'); },
       "QByteArray"},
      {"aas", [](sd_bus_message* m) { return sd_bus_message_append(m, "v", "aas", 1, 1, "x"); },
       "aas"},
      {"a{ss}",
       [](sd_bus_message* m) { return sd_bus_message_append(m, "v", "a{ss}", 1, "K", "V"); },
       "a{ss}"},
      {"none", [](sd_bus_message*) { return 0; }, "nothing"},
  };
  for (const auto& row : rows) {
    EXPECT_FALSE(Read(row.append).has_value()) << row.signature;
    EXPECT_EQ(error, std::string("a parameter list is a variant holding as, av or s; this one "
                                 "holds ") +
                         row.held);
  }
}

TEST_F(BusMessages, StatusRepliesAreStringArrays) {
  SafeArray status(ElementType::Text, 0, 1);
  status.Put(0, Variant("COMMANDSTATUS=Waiting for driver..."));
  const Message m = Reply(Variant(std::move(status)));
  EXPECT_EQ(Contents(m.get()), "as");
  EXPECT_EQ(Texts(m.get()), (std::vector<std::string>{"COMMANDSTATUS=Waiting for driver...", ""}));
  // A single value that is no list still comes as a one-element list; one without a text form
  // as the empty element.
  EXPECT_EQ(Texts(Reply(Variant(int32_t{5})).get()), (std::vector<std::string>{"5"}));
  EXPECT_EQ(Texts(Reply(Variant::Unsupported()).get()), (std::vector<std::string>{""}));
}

TEST_F(BusMessages, ResultRepliesAreVariantArraysWithEmptyElementsAsEmptyStrings) {
  SafeArray result(ElementType::Variant, 0, 6);
  result.Put(0, Variant("COMMANDSTATUS=TRUE"));
  result.Put(1, Variant("COMMANDERROR=\xB0"));
  result.Put(2, Variant(int32_t{-7}));
  result.Put(3, Variant::FromBool(true));
  result.Put(4, Variant(1.5));
  result.Put(5, Variant::FromByte(0x41));
  // element 6 stays empty
  const Message m = Reply(Variant(std::move(result)));
  ASSERT_EQ(Contents(m.get()), "av");
  const char* text = nullptr;
  const char* statusText = nullptr;
  int32_t number = 0;
  int flag = 0;
  double real = 0;
  uint8_t byte = 0;
  const char* empty = nullptr;
  ASSERT_GE(sd_bus_message_read(m.get(), "v", "av", 7, "s", &statusText, "s", &text, "i", &number,
                                "b", &flag, "d", &real, "y", &byte, "s", &empty),
            0);
  EXPECT_STREQ(statusText, "COMMANDSTATUS=TRUE");
  EXPECT_STREQ(text, "COMMANDERROR=\u00B0");
  EXPECT_EQ(number, -7);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(real, 1.5);
  EXPECT_EQ(byte, 0x41);
  EXPECT_STREQ(empty, "");
}

TEST_F(BusMessages, RawRepliesAreByteArraysAndOtherLowerBoundsKeepTheirOrder) {
  for (const auto& [reply, bytes] :
       {std::pair{Variant(SafeArray::OfBytes(std::string("\x01\x03\x02\xFF\x00", 5))),
                  std::string("\x01\x03\x02\xFF\x00", 5)},
        std::pair{Variant::FromByte(0x41), std::string("A")}}) {
    const Message m = Reply(reply);
    ASSERT_EQ(Contents(m.get()), "ay");
    const void* data = nullptr;
    size_t size = 0;
    ASSERT_GT(sd_bus_message_enter_container(m.get(), 'v', "ay"), 0);
    ASSERT_GE(sd_bus_message_read_array(m.get(), 'y', &data, &size), 0);
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), bytes);
  }
  SafeArray texts(ElementType::Text, 1, 2);
  texts.Put(1, Variant("first"));
  texts.Put(2, Variant("second"));
  EXPECT_EQ(Texts(Reply(Variant(std::move(texts))).get()),
            (std::vector<std::string>{"first", "second"}));
}

}  // namespace
}  // namespace qmb

#include "screen/text_input.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::vector<uint32_t> decode(const std::string& s) {
  return text_from_utf8(s.data(), s.size());
}

TEST(LabelText, WellFormedUtf8IsDecoded) {
  EXPECT_EQ(decode("Gr\xC3\xBC\xC3\x9F \xE6\x9C\x8D \xF0\x9F\x98\x80"),
            (std::vector<uint32_t>{'G', 'r', 0xFC, 0xDF, ' ', 0x670D, ' ', 0x1F600}));
}

TEST(LabelText, EachByteThatBeginsNoCharacterIsAReplacementCharacter) {
  const uint32_t R = TEXT_REPLACEMENT_CHARACTER;
  EXPECT_EQ(decode("a\xFF"
                   "b"),
            (std::vector<uint32_t>{'a', R, 'b'}));
  EXPECT_EQ(decode("\xC0\xAF"), (std::vector<uint32_t>{R, R}));                // overlong "/"
  EXPECT_EQ(decode("\xED\xA0\x80"), (std::vector<uint32_t>{R, R, R}));         // a surrogate
  EXPECT_EQ(decode("x\xE6\x9C"), (std::vector<uint32_t>{'x', R, R}));          // cut short
  EXPECT_EQ(decode("\xF4\x90\x80\x80"), (std::vector<uint32_t>{R, R, R, R}));  // past U+10FFFF
}

TEST(LabelText, ControlsGoAndBlanksRunTogetherOnOneLine) {
  EXPECT_EQ(decode(std::string("\t Take\x01\x1B pills\r\n\nnow \x7F\xC2\x85 ", 25)),
            (std::vector<uint32_t>{'T', 'a', 'k', 'e', ' ', 'p', 'i', 'l', 'l', 's', ' ', 'n', 'o',
                                   'w'}));
  EXPECT_EQ(decode(std::string("a\0b", 3)), (std::vector<uint32_t>{'a', 'b'}));
  EXPECT_TRUE(decode(" \t\n ").empty());
}

TEST(LabelText, NoMoreThanTheRecordsBytesAreRead) {
  std::string long_text(2000, 'x');
  EXPECT_EQ(decode(long_text).size(), TEXT_MAX_BYTES);
  EXPECT_TRUE(text_from_utf8(nullptr, 5).empty());
}

}  // namespace

// Tests of the UTF-8 check: each sequence, well formed or not, placed at
// every offset of two SIMD blocks and cut short by every end, the SIMD path
// and the portable one against a decoder written apart from both, which
// reads code points and then applies Unicode's limits; and random bytes.
#include "load/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using quorvel::isUtf8;
using quorvel::isUtf8Portable;

// The block of the SIMD skip, and two of them, so that a sequence lands
// across a block's end and in the bytewise tail.
constexpr std::size_t kBlock = 16;

// Decodes the code points, then refuses overlong forms, surrogates and what
// lies past U+10FFFF.
bool IsUtf8ByCodePoints(const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC0) || lead >= 0xF8 || at + length > bytes.size()) return false;
    std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(bytes[at + i]);
      if ((next & 0xC0) != 0x80) return false;
      point = point << 6 | (next & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    at += length;
  }
  return true;
}

struct Sequence {
  const char* name;
  std::string bytes;
};

const std::vector<Sequence> kSequences = {
    {"two bytes", "\xc3\xa9"},
    {"three bytes", "\xe2\x82\xac"},
    {"four bytes", "\xf0\x9f\x98\x80"},
    {"the last code point", "\xf4\x8f\xbf\xbf"},
    {"before the surrogates", "\xed\x9f\xbf"},
    {"a lone continuation", "\x80"},
    {"a Latin-1 byte", "\xe9"},
    {"two bytes cut short", "\xc3"},
    {"three bytes cut short", "\xe2\x82"},
    {"four bytes cut short", "\xf0\x9f\x98"},
    {"overlong two bytes", "\xc0\xaf"},
    {"overlong three bytes", "\xe0\x80\xaf"},
    {"overlong four bytes", "\xf0\x80\x80\xaf"},
    {"a surrogate", "\xed\xa0\x80"},
    {"past U+10FFFF", "\xf4\x90\x80\x80"},
    {"a lead byte never used", "\xf5\x80\x80\x80"},
    {"0xFF", "\xff"},
    {"ASCII after a lead byte", "\xc3x"},
};

TEST(Utf8Text, AgreesWithTheDecoderForEverySequenceAtEveryOffsetOfTwoBlocks) {
  for (const Sequence& sequence : kSequences) {
    for (std::size_t offset = 0; offset <= 2 * kBlock; ++offset) {
      for (std::size_t after : {std::size_t{0}, std::size_t{1}, 2 * kBlock}) {
        const std::string text =
            std::string(offset, 'a') + sequence.bytes + std::string(after, 'b');
        const bool expected = IsUtf8ByCodePoints(text);
        EXPECT_EQ(isUtf8(text), expected) << sequence.name << " at " << offset << ", " << after;
        EXPECT_EQ(isUtf8Portable(text), expected) << sequence.name << " at " << offset;
      }
    }
  }
}

TEST(Utf8Text, TheDecoderTellsTheSequencesApartAsUnicodeDoes) {
  // The oracle itself, on the table's first five (well formed) and the rest.
  for (std::size_t i = 0; i < kSequences.size(); ++i) {
    EXPECT_EQ(IsUtf8ByCodePoints(kSequences[i].bytes), i < 5) << kSequences[i].name;
  }
}

TEST(Utf8Text, AgreesWithTheDecoderOnRandomText) {
  std::mt19937 random(7);
  // Mostly ASCII with a few well-formed or random high bytes, as real text.
  const std::vector<std::string> pieces = {
      "a", "bc", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\x80", "\xe2", "\xed\xa0\x80"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t length = random() % 80;
    while (text.size() < length) {
      text += random() % 8 != 0 ? pieces[random() % 2] : pieces[random() % pieces.size()];
    }
    const bool expected = IsUtf8ByCodePoints(text);
    ASSERT_EQ(isUtf8(text), expected) << text;
    ASSERT_EQ(isUtf8Portable(text), expected) << text;
  }
}

TEST(Utf8Text, TakesTheEmptyTextAndASCIIOfEveryLength) {
  EXPECT_TRUE(isUtf8(""));
  for (std::size_t length = 1; length <= 3 * kBlock; ++length) {
    EXPECT_TRUE(isUtf8(std::string(length, '\x7f')));
    EXPECT_TRUE(isUtf8Portable(std::string(length, '\x7f')));
  }
}

}  // namespace

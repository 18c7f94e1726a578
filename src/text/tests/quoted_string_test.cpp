#include "text/quoted_string.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "unicode_properties.hpp"
#include "unicode_tables.hpp"

namespace {

using namespace std::string_view_literals;

struct QuoteCase {
  std::string_view input;
  std::string_view quoted;
};

class QuotedStringCases : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedStringCases, EscapesAsTheRecordNotationDoes) {
  EXPECT_EQ(vok::quoted_string(GetParam().input), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuotedStringCases,
    ::testing::Values(
        QuoteCase{""sv, R"("")"sv},
        QuoteCase{"NoId"sv, R"("NoId")"sv},
        QuoteCase{"Could not parse completly. ACGT\n"sv,
                  R"("Could not parse completly. ACGT\n")"sv},
        QuoteCase{"a\0b"sv, R"("a\0b")"sv},
        QuoteCase{"\t\r\n"sv, R"("\t\r\n")"sv},
        QuoteCase{"back\\slash \"quoted\" 'single'"sv,
                  R"("back\\slash \"quoted\" 'single'")"sv},
        // C0 controls other than the named ones, DEL, C1 controls.
        QuoteCase{"\x01\x1b\x7f"sv, R"("\u{1}\u{1b}\u{7f}")"sv},
        QuoteCase{"\xc2\x85"sv, R"("\u{85}")"sv},
        // No-break space (Zs), soft hyphen (Cf), line separator (Zl).
        QuoteCase{"a\xc2\xa0" "b\xc2\xad" "c\xe2\x80\xa8"sv, R"("a\u{a0}b\u{ad}c\u{2028}")"sv},
        // Printable non-ASCII stays as it is: é, Greek, CJK, an emoji.
        QuoteCase{"\xc3\xa9 \xce\xb1\xce\xb2 \xe4\xb8\xad \xf0\x9f\x98\x80"sv,
                  "\"\xc3\xa9 \xce\xb1\xce\xb2 \xe4\xb8\xad \xf0\x9f\x98\x80\""sv},
        // Combining marks: acute (Mn), enclosing circle (Me), a Bengali vowel
        // sign that extends graphemes though spacing (Mc), zero-width non-joiner.
        QuoteCase{"e\xcc\x81"sv, R"("e\u{301}")"sv},
        QuoteCase{"\xe2\x83\x9d"sv, R"("\u{20dd}")"sv},
        QuoteCase{"\xe0\xa6\xbe"sv, R"("\u{9be}")"sv},
        QuoteCase{"\xe2\x80\x8c"sv, R"("\u{200c}")"sv},
        // A spacing mark that does not extend graphemes is printable.
        QuoteCase{"\xe0\xa4\x83"sv, "\"\xe0\xa4\x83\""sv},
        // Unassigned, private use, a tag character, the last code point.
        QuoteCase{"\xcd\xb8\xee\x80\x80"sv, R"("\u{378}\u{e000}")"sv},
        QuoteCase{"\xf3\xa0\x80\x81\xf4\x8f\xbf\xbf"sv, R"("\u{e0001}\u{10ffff}")"sv}));

TEST(UnicodeTables, RangesAreSortedAndDisjoint) {
  struct Table {
    const vok::unicode::CodepointRange* ranges;
    std::size_t count;
  };
  for (const Table table : {Table{vok::unicode::kPrintable, vok::unicode::kPrintableCount},
                            Table{vok::unicode::kGraphemeExtend,
                                  vok::unicode::kGraphemeExtendCount}}) {
    ASSERT_GT(table.count, 0u);
    for (std::size_t i = 0; i < table.count; ++i) {
      EXPECT_LE(table.ranges[i].first, table.ranges[i].last);
      EXPECT_LE(table.ranges[i].last, 0x10FFFFu);
      // Adjacent runs would have been merged by the generator.
      if (i > 0) {
        EXPECT_GT(table.ranges[i].first, table.ranges[i - 1].last + 1);
      }
    }
  }
}

TEST(UnicodeProperties, RangeEdgesAreInclusive) {
  // Space is the one printable separator; U+007E ends the first ASCII run.
  EXPECT_TRUE(vok::unicode::is_printable(U' '));
  EXPECT_TRUE(vok::unicode::is_printable(U'~'));
  EXPECT_FALSE(vok::unicode::is_printable(U'\x7f'));
  EXPECT_FALSE(vok::unicode::is_printable(U'\x1f'));
  EXPECT_FALSE(vok::unicode::is_printable(0xD800));  // surrogate
  // U+0300 starts and U+036F ends the combining diacriticals block.
  EXPECT_FALSE(vok::unicode::is_grapheme_extend(0x2FF));
  EXPECT_TRUE(vok::unicode::is_grapheme_extend(0x300));
  EXPECT_TRUE(vok::unicode::is_grapheme_extend(0x36F));
  EXPECT_FALSE(vok::unicode::is_grapheme_extend(0x370));
  EXPECT_TRUE(vok::unicode::is_grapheme_extend(0xE007F));
  EXPECT_FALSE(vok::unicode::is_grapheme_extend(0x10FFFF));
}

}  // namespace

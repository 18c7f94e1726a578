#include "utf8_validation.hpp"

#include <gtest/gtest.h>

#include <string>

#include "text_at_page_end.hpp"

namespace {

struct Utf8Case {
  std::string bytes;
  bool valid;
};

class Utf8Texts : public ::testing::TestWithParam<Utf8Case> {};

// After every ASCII prefix length up to two words (the check reads eight
// bytes at a time), and ending where readable memory ends: a read past the
// text faults.
TEST_P(Utf8Texts, AreJudgedWithoutReadingPastTheEnd) {
  for (std::size_t prefix = 0; prefix <= 16; ++prefix) {
    const vok::test::TextAtPageEnd text(std::string(prefix, 'a') + GetParam().bytes);
    EXPECT_EQ(vok::is_valid_utf8(text.view()), GetParam().valid) << prefix;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Texts,
    ::testing::Values(Utf8Case{"", true}, Utf8Case{"abcdefg", true},
                      Utf8Case{"\xc3\xa9", true}, Utf8Case{"\xe2\x82\xac", true},
                      Utf8Case{"\xf0\x9f\x98\x80", true}, Utf8Case{"\xf4\x8f\xbf\xbf", true},
                      Utf8Case{"\xc3", false}, Utf8Case{"\xe2\x82", false},
                      Utf8Case{"\xc0\xaf", false}, Utf8Case{"\xe0\x80\xaf", false},
                      Utf8Case{"\xed\xa0\x80", false}, Utf8Case{"\xf4\x90\x80\x80", false},
                      Utf8Case{"\xff", false}, Utf8Case{"\x80", false}));

}  // namespace

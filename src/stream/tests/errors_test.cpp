#include "stream/errors.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vok::stream {
namespace {

struct Excerpt {
  std::string text;
  std::string quoted;
};

class QuoteExcerpt : public ::testing::TestWithParam<Excerpt> {};

TEST_P(QuoteExcerpt, KeepsMessagesOnOneShortLine) {
  EXPECT_EQ(quote_excerpt(GetParam().text), GetParam().quoted);
}

const std::string k77(77, 'x');

INSTANTIATE_TEST_SUITE_P(
    Texts, QuoteExcerpt,
    ::testing::Values(Excerpt{"", ""}, Excerpt{"chr1 is fine", "chr1 is fine"},
                      Excerpt{std::string(80, 'x'), std::string(80, 'x')},
                      Excerpt{std::string(81, 'x'), k77 + "..."},
                      // A cut never splits a UTF-8 character: a two-byte é across byte 77.
                      Excerpt{std::string(76, 'x') + "\xc3\xa9" + std::string(10, 'x'),
                              std::string(76, 'x') + "..."},
                      Excerpt{"a\tb\rc\nd\x7f" "e", "a?b?c?d?e"}));

}  // namespace
}  // namespace vok::stream

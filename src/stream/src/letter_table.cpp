#include "stream/letter_table.hpp"

#include <string_view>

namespace vok::stream {
namespace {

LetterTable make_table(bool mask, bool blanks_skipped) {
  LetterTable table;
  table.fill(kInvalid);
  // Ambiguity codes (and U) end a segment in either case.
  for (char letter : std::string_view("BDHKMNRSUVWY")) {
    table[static_cast<unsigned char>(letter)] = kBreak;
    table[static_cast<unsigned char>(letter - 'A' + 'a')] = kBreak;
  }
  const std::string_view bases = "ACGT";
  for (std::size_t code = 0; code < 4; ++code) {
    table[static_cast<unsigned char>(bases[code])] = static_cast<BaseCode>(code);
    table[static_cast<unsigned char>(bases[code] - 'A' + 'a')] =
        mask ? kBreak : static_cast<BaseCode>(code);
  }
  if (blanks_skipped) {
    table[' '] = kSkip;
    table['\t'] = kSkip;
    table['\r'] = kSkip;
  }
  return table;
}

}  // namespace

const LetterTable& letter_table(bool mask, bool blanks_skipped) {
  static const LetterTable tables[4] = {make_table(false, false), make_table(false, true),
                                        make_table(true, false), make_table(true, true)};
  return tables[(mask ? 2 : 0) + (blanks_skipped ? 1 : 0)];
}

}  // namespace vok::stream

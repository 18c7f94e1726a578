#pragma once
// FASTA text -> named letter sequences, and letters -> base codes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/reader_error.hpp"
#include "scoring/base_codes.hpp"

namespace vok {

struct FastaRecord {
  std::string name;  // header text before the first space (else tab)
  std::string seq;   // ASCII letters as written, white space removed
};

struct FastaReadResult {
  std::vector<FastaRecord> records;
  std::string_view remainder;  // unread suffix of the input; empty when all was read
};

// Grammar stage; never fails. The remainder views into `text`.
FastaReadResult read_fasta(std::string_view text);

// read_fasta, then refuse any unread remainder.
LoadResult<std::vector<FastaRecord>> load_fasta(std::string_view text);

// Maps A, C, G, T to 0..3; nullopt ("VariantNotFound") at the first other character.
std::optional<BaseSequence> to_bases(FastaRecord record);

inline constexpr const char* kVariantNotFound = "VariantNotFound";

}  // namespace vok

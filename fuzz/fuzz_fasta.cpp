// FASTA reader: the grammar stage, the whole-text load and the base codes.
#include <algorithm>
#include <variant>

#include "fuzz_check.hpp"
#include "parser/fasta_reader.hpp"

namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_base_letter(char c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const vok::FastaReadResult read = vok::read_fasta(text);
  VOK_FUZZ_REQUIRE(vok::fuzz::views_suffix(read.remainder, text));

  auto loaded = vok::load_fasta(text);
  if (auto* error = std::get_if<vok::ReaderError>(&loaded)) {
    VOK_FUZZ_REQUIRE(!read.remainder.empty());
    VOK_FUZZ_REQUIRE(error->message == vok::incomplete_parse_message(read.remainder));
    return 0;
  }
  auto& records = std::get<std::vector<vok::FastaRecord>>(loaded);
  VOK_FUZZ_REQUIRE(read.remainder.empty());
  VOK_FUZZ_REQUIRE(records.size() == read.records.size());

  for (vok::FastaRecord& record : records) {
    VOK_FUZZ_REQUIRE(std::all_of(record.seq.begin(), record.seq.end(), is_ascii_letter));
    VOK_FUZZ_REQUIRE(record.name.find('\n') == std::string::npos);
    const bool all_bases = std::all_of(record.seq.begin(), record.seq.end(), is_base_letter);
    const std::size_t length = record.seq.size();
    const std::string name = record.name;
    const auto bases = vok::to_bases(std::move(record));
    VOK_FUZZ_REQUIRE(bases.has_value() == all_bases);
    if (!bases) continue;
    VOK_FUZZ_REQUIRE(bases->name == name);
    VOK_FUZZ_REQUIRE(bases->bases.size() == length);
    VOK_FUZZ_REQUIRE(std::all_of(bases->bases.begin(), bases->bases.end(),
                                 [](vok::BaseCode code) { return code < 4; }));
  }
  return 0;
}

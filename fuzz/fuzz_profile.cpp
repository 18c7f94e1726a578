// Profile reader: the grammar stage and the whole-text load.
#include <cmath>
#include <variant>

#include "fuzz_check.hpp"
#include "parser/profile_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const vok::ProfileReadResult read = vok::read_profile(text);
  VOK_FUZZ_REQUIRE(vok::fuzz::views_suffix(read.remainder, text));
  for (const auto& [identifier, cutoffs] : read.cutoffs) {
    VOK_FUZZ_REQUIRE(!std::isnan(cutoffs.css) && !std::isnan(cutoffs.mss));
  }

  const auto loaded = vok::load_profile(text);
  if (const auto* error = std::get_if<vok::ReaderError>(&loaded)) {
    VOK_FUZZ_REQUIRE(!read.remainder.empty());
    VOK_FUZZ_REQUIRE(error->message == vok::incomplete_parse_message(read.remainder));
  } else {
    VOK_FUZZ_REQUIRE(read.remainder.empty());
    const auto& cutoffs = std::get<vok::CutoffMap>(loaded);
    VOK_FUZZ_REQUIRE(cutoffs.size() == read.cutoffs.size());
    for (const auto& [identifier, pair] : cutoffs) {
      const auto found = read.cutoffs.find(identifier);
      VOK_FUZZ_REQUIRE(found != read.cutoffs.end());
      VOK_FUZZ_REQUIRE(found->second.css == pair.css && found->second.mss == pair.mss);
    }
  }
  return 0;
}

#include "stream/text_scan.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "stream/errors.hpp"
#include "stream/letter_table.hpp"
#include "stream/workers.hpp"

namespace vok::stream {
namespace {

// Throws the InputError of the first invalid letter at record positions [from, to).
void check_letters(const std::string& name, std::string_view text, std::uint64_t text_offset,
                   std::uint64_t from, std::uint64_t to, const LetterTable& table) {
  for (std::uint64_t position = from; position < to; ++position) {
    const auto byte = static_cast<unsigned char>(text[position - text_offset]);
    if (table[byte] == kInvalid) {
      throw InputError("record '" + quote_excerpt(name) + "', offset " + std::to_string(position) +
                           ": " + describe_invalid_byte(byte),
                       name, position);
    }
  }
}

// One block of the text: the window starts [owned_start, owned_end) and the
// context around them.
Block make_block(const std::string& name, std::string_view text, const TextRange& range,
                 std::uint64_t owned_start, std::uint64_t owned_end, std::size_t context,
                 const LetterTable& table, bool keep_case) {
  const std::uint64_t text_end = range.offset + text.size();
  const std::uint64_t from = std::max(range.offset, owned_start > context ? owned_start - context : 0);
  const std::uint64_t to = std::min(text_end, owned_end + context);
  Block block;
  block.names.push_back(name);
  block.codes.resize(to - from);
  const char* letters = text.data() + (from - range.offset);
  BaseCode seen = 0;
  for (std::size_t i = 0; i < block.codes.size(); ++i) {
    const BaseCode code = table[static_cast<unsigned char>(letters[i])];
    block.codes[i] = code;
    seen |= code;
  }
  if (seen & kInvalid) check_letters(name, text, range.offset, from, to, table);
  if (keep_case) {
    block.lower_case.resize(block.codes.size());
    for (std::size_t i = 0; i < block.codes.size(); ++i) {
      block.lower_case[i] = (static_cast<unsigned char>(letters[i]) >> 5) & 1;
    }
  }
  BlockPart part;
  part.offset = from;
  part.size = block.codes.size();
  part.owned_start = owned_start;
  part.owned_end = owned_end;
  part.at_record_start = range.at_record_start && from == range.offset;
  part.at_record_end = range.at_record_end && to == text_end;
  block.parts.push_back(part);
  block.letters = owned_end - owned_start;
  return block;
}

}  // namespace

HitBatch scan_text(const MotifSet& motifs, const std::string& name, std::string_view text,
                   const TextRange& range, const ScanOptions& options, bool mask,
                   std::size_t threads, const std::function<bool()>& interrupted,
                   std::size_t block_letters) {
  const LetterTable& table = letter_table(mask, false);
  const std::uint64_t text_end = range.offset + text.size();
  const std::uint64_t own_lo = std::clamp(range.owned_start, range.offset, text_end);
  const std::uint64_t own_hi = std::clamp(range.owned_end, own_lo, text_end);
  const std::size_t context = motifs.context();
  // Without the context a window near the owned range's edge could not be
  // scored whole; refuse rather than quietly miss it.
  if (own_lo < own_hi && ((!range.at_record_start && own_lo - range.offset < context) ||
                          (!range.at_record_end && text_end - own_hi < context))) {
    throw std::invalid_argument("the text must hold " + std::to_string(context) +
                                " letters of context beyond the owned range on each side "
                                "that is not a record end");
  }
  block_letters = std::max<std::size_t>(block_letters, 1);
  const std::size_t count = std::max<std::uint64_t>(1, (own_hi - own_lo + block_letters - 1) / block_letters);

  // Letters outside every block are checked too (before and after the blocks,
  // which check their own), so the first bad letter is reported however the
  // text was cut.
  const std::uint64_t first_from = std::max(range.offset, own_lo > context ? own_lo - context : 0);
  const std::uint64_t last_to = std::min(text_end, own_hi + context);
  check_letters(name, text, range.offset, range.offset, first_from, table);

  std::vector<HitBatch> batches(count);
  std::vector<ScanScratch> scratch(count);
  auto scan_one = [&](std::size_t i) {
    const std::uint64_t lo = own_lo + i * block_letters;
    const std::uint64_t hi = std::min<std::uint64_t>(own_hi, lo + block_letters);
    const Block block = make_block(name, text, range, lo, i + 1 == count ? own_hi : hi, context, table,
                                   options.sites);
    batches[i] = scan_block(motifs, block, options, scratch[i]);
  };
  if (count == 1) {
    scan_one(0);
  } else {
    run_on_workers(count, threads, scan_one, interrupted);
  }

  check_letters(name, text, range.offset, last_to, text_end, table);

  HitBatch result;
  result.sequence_names.push_back(name);
  if (count == 1) {
    result.columns = std::move(batches[0].columns);
    return result;
  }
  std::size_t total = 0;
  for (const HitBatch& batch : batches) total += batch.size();
  result.columns.reserve(total);
  for (HitBatch& batch : batches) {
    result.columns.append(batch.columns, 0);
    batch = HitBatch{};
  }
  return result;
}

}  // namespace vok::stream

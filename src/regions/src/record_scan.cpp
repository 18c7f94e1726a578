#include "regions/record_scan.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "stream/errors.hpp"
#include "stream/letter_table.hpp"
#include "stream/workers.hpp"

namespace vok::regions {
namespace {

using stream::Block;
using stream::BlockPart;
using stream::HitBatch;

// The window starts [owned_start, owned_end) of one record, positions within it.
struct Piece {
  std::size_t record;
  std::uint64_t owned_start;
  std::uint64_t owned_end;
};

struct PlannedBlock {
  std::size_t first_record;   // records first_record .. last_record are named in the block
  std::size_t last_record;
  std::vector<Piece> pieces;  // in record order
  // Whole records laid back to back as one stretch: every model is set up
  // once for the stretch instead of once per record, and the windows that
  // straddle two records are dropped afterwards.
  bool joined = false;
};

// Records in order, cut so that no block owns much more than `block_letters`
// window starts. Records that fit a block whole are joined unless partial
// windows are wanted (a joined record's end is no segment end).
std::vector<PlannedBlock> plan_blocks(const RecordTexts& records, std::size_t block_letters, bool join) {
  std::vector<PlannedBlock> blocks;
  std::size_t filled = 0;
  for (std::size_t r = 0; r < records.letters.size(); ++r) {
    const std::uint64_t size = records.letters[r].size();
    const bool whole = join && size <= block_letters;
    for (std::uint64_t lo = 0; lo < size; lo += block_letters) {
      const std::uint64_t hi = std::min<std::uint64_t>(size, lo + block_letters);
      if (blocks.empty() || filled >= block_letters || blocks.back().joined != whole) {
        blocks.push_back({r, r, {}, whole});
        filled = 0;
      }
      blocks.back().pieces.push_back({r, lo, hi});
      blocks.back().last_record = r;
      filled += static_cast<std::size_t>(hi - lo);
    }
  }
  return blocks;
}

// Appends the codes of letters [from, to) of a record to the block, and
// their case when the block keeps it (for site letters).
void append_codes(Block& block, const RecordTexts& records, std::size_t record, std::uint64_t from,
                  std::uint64_t to, const stream::LetterTable& table, bool keep_case) {
  const std::string_view letters = records.letters[record];
  const std::size_t begin = block.codes.size();
  block.codes.resize(begin + static_cast<std::size_t>(to - from));
  for (std::uint64_t i = from; i < to; ++i) {
    const auto byte = static_cast<unsigned char>(letters[i]);
    const BaseCode code = table[byte];
    if (code == stream::kInvalid) {
      const std::string& name = records.names[record];
      const std::uint64_t position = records.offsets[record] + i;
      throw stream::InputError("record '" + name + "', position " + std::to_string(position) + ": " +
                                   stream::describe_invalid_byte(byte),
                               name, position);
    }
    block.codes[begin + static_cast<std::size_t>(i - from)] = code;
  }
  if (keep_case) {
    // Letters have bit 5 set in lower case.
    for (std::uint64_t i = from; i < to; ++i) {
      block.lower_case.push_back((static_cast<unsigned char>(letters[i]) >> 5) & 1);
    }
  }
}

Block make_block(const RecordTexts& records, const PlannedBlock& plan, std::size_t context,
                 const stream::LetterTable& table, bool keep_case) {
  Block block;
  block.names.assign(records.names.begin() + static_cast<std::ptrdiff_t>(plan.first_record),
                     records.names.begin() + static_cast<std::ptrdiff_t>(plan.last_record + 1));
  if (plan.joined) {
    for (const Piece& piece : plan.pieces) append_codes(block, records, piece.record, 0, piece.owned_end, table, keep_case);
    BlockPart part;
    part.size = block.codes.size();
    part.owned_end = part.size;
    part.at_record_start = part.at_record_end = true;
    block.parts.push_back(part);
    block.letters = part.size;
    return block;
  }
  for (const Piece& piece : plan.pieces) {
    const std::uint64_t size = records.letters[piece.record].size();
    const std::uint64_t from = piece.owned_start > context ? piece.owned_start - context : 0;
    const std::uint64_t to = std::min<std::uint64_t>(size, piece.owned_end + context);
    const std::uint64_t offset = records.offsets[piece.record];
    BlockPart part;
    part.sequence = static_cast<std::uint32_t>(piece.record - plan.first_record);
    part.offset = offset + from;
    part.begin = block.codes.size();
    part.size = static_cast<std::size_t>(to - from);
    part.owned_start = offset + piece.owned_start;
    part.owned_end = offset + piece.owned_end;
    part.at_record_start = from == 0;
    part.at_record_end = to == size;
    append_codes(block, records, piece.record, from, to, table, keep_case);
    block.parts.push_back(part);
    block.letters += piece.owned_end - piece.owned_start;
  }
  return block;
}

// The hits of a joined block moved to their records: positions from the
// stretch's to the record's own, windows across two records dropped.
void split_joined(stream::HitColumns& hits, const RecordTexts& records, const PlannedBlock& plan) {
  std::vector<std::uint64_t> starts;  // stretch position of each piece's first letter
  std::uint64_t at = 0;
  for (const Piece& piece : plan.pieces) {
    starts.push_back(at);
    at += piece.owned_end;
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const auto start = static_cast<std::uint64_t>(hits.start[i]);
    const auto k = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), start) - starts.begin()) - 1;
    const Piece& piece = plan.pieces[k];
    if (static_cast<std::uint64_t>(hits.end[i]) > starts[k] + piece.owned_end) continue;
    const auto shift = static_cast<std::int64_t>(records.offsets[piece.record]) - static_cast<std::int64_t>(starts[k]);
    hits.sequence[kept] = static_cast<std::int32_t>(piece.record - plan.first_record);
    hits.start[kept] = hits.start[i] + shift;
    hits.end[kept] = hits.end[i] + shift;
    hits.core[kept] = hits.core[i] + shift;
    hits.motif[kept] = hits.motif[i];
    hits.strand[kept] = hits.strand[i];
    hits.css[kept] = hits.css[i];
    hits.mss[kept] = hits.mss[i];
    if (hits.site_width > 0) {
      std::copy_n(hits.site.begin() + static_cast<std::ptrdiff_t>(i * hits.site_width), hits.site_width,
                  hits.site.begin() + static_cast<std::ptrdiff_t>(kept * hits.site_width));
    }
    ++kept;
  }
  for (auto* column : {&hits.start, &hits.end, &hits.core}) column->resize(kept);
  hits.sequence.resize(kept);
  hits.motif.resize(kept);
  hits.strand.resize(kept);
  hits.css.resize(kept);
  hits.mss.resize(kept);
  hits.site.resize(kept * hits.site_width);
}

}  // namespace

HitBatch scan_records(const stream::MotifSet& motifs, const RecordTexts& records,
                      const std::vector<std::string>* labels, const stream::ScanOptions& options,
                      bool mask, std::size_t threads, const std::function<bool()>& interrupted,
                      std::size_t block_letters) {
  const std::size_t count = records.letters.size();
  if (records.names.size() != count || records.offsets.size() != count) {
    throw std::invalid_argument("one name and one offset per record");
  }
  if (labels != nullptr && labels->size() != count) throw std::invalid_argument("one label per record");
  const stream::LetterTable& table = stream::letter_table(mask, false);
  const std::vector<PlannedBlock> plan =
      plan_blocks(records, std::max<std::size_t>(block_letters, 1), !options.partial_windows);
  std::vector<HitBatch> batches(plan.size());
  std::vector<stream::ScanScratch> scratch(plan.size());
  auto scan_one = [&](std::size_t i) {
    const Block block = make_block(records, plan[i], motifs.context(), table, options.sites);
    batches[i] = stream::scan_block(motifs, block, options, scratch[i]);
    if (plan[i].joined) split_joined(batches[i].columns, records, plan[i]);
    scratch[i] = stream::ScanScratch{};
  };
  if (plan.size() == 1) {
    scan_one(0);
  } else if (plan.size() > 1) {
    stream::run_on_workers(plan.size(), threads, scan_one, interrupted);
  }

  HitBatch result;
  result.sequence_names = labels != nullptr ? *labels : records.names;
  std::size_t total = 0;
  for (const HitBatch& batch : batches) total += batch.size();
  result.columns.reserve(total);
  for (std::size_t i = 0; i < plan.size(); ++i) {
    result.columns.append(batches[i].columns, static_cast<std::int32_t>(plan[i].first_record));
    batches[i] = HitBatch{};
  }
  return result;
}

}  // namespace vok::regions

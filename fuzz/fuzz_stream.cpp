// Streaming FASTA blocks and the block scan: however the input is cut into
// blocks, each record's hits are those of one scan of the whole record.
// Input layout: a byte choosing the block size (1..64 letters) and masking,
// then the FASTA bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "stream/block_scan.hpp"
#include "stream/errors.hpp"
#include "stream/fasta_blocks.hpp"
#include "stream/letter_table.hpp"

namespace {

using namespace vok::stream;

const MotifSet& motifs() {
  static const MotifSet set = [] {
    std::vector<MotifSpec> specs;
    for (std::size_t length : {5u, 9u, 14u}) {
      MotifSpec spec{"m", "", vok::PwmMatrix("m", length), {0.3f, 0.2f}};
      for (std::size_t i = 0; i < length; ++i) spec.matrix.at(i, (i * 7 + length) % 4) = 8;
      specs.push_back(std::move(spec));
    }
    return MotifSet(std::move(specs));
  }();
  return set;
}

struct Record {
  std::vector<vok::BaseCode> codes;  // the record's codes, each letter once
  HitColumns hits;                   // its hits as the blocks reported them
  std::uint64_t owned_until = 0;     // end of the window starts owned so far
};

// The input as a file the reader can open by path.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz", 0)) {
    VOK_FUZZ_REQUIRE(fd_ >= 0);
    VOK_FUZZ_REQUIRE(write(fd_, data, size) == static_cast<ssize_t>(size));
  }
  ~MemoryFile() { close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;  // the memory file's descriptor
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t block_letters = 1 + (data[0] & 63);
  const bool mask = (data[0] & 64) != 0;
  const ScanOptions options{(data[0] & 128) ? Strand::kBoth : Strand::kReversed, true};
  MemoryFile file(data + 1, size - 1);

  std::vector<Record> records;
  bool open = false;  // the last part did not end its record
  try {
    FastaBlockReader reader({file.path()}, mask, block_letters, motifs().context(), nullptr);
    Block block;
    ScanScratch scratch;
    while (reader.next(block)) {
      VOK_FUZZ_REQUIRE(block.letters <= block_letters);
      const HitBatch batch = scan_block(motifs(), block, options, scratch);
      std::size_t hit = 0;
      for (std::size_t p = 0; p < block.parts.size(); ++p) {
        const BlockPart& part = block.parts[p];
        if (!open) records.emplace_back();
        Record& record = records.back();
        VOK_FUZZ_REQUIRE(part.owned_start == record.owned_until);
        VOK_FUZZ_REQUIRE(part.offset <= record.codes.size());
        for (std::size_t i = 0; i < part.size; ++i) {
          const vok::BaseCode code = block.codes[part.begin + i];
          VOK_FUZZ_REQUIRE(code <= kBreak);
          if (part.offset + i >= record.codes.size()) record.codes.push_back(code);
        }
        record.owned_until = part.owned_end;
        // This part's hits come next in the batch.
        while (hit < batch.size() && static_cast<std::size_t>(batch.columns.sequence[hit]) == p) {
          HitColumns one;
          one.sequence = {0};
          one.start = {batch.columns.start[hit]};
          one.end = {batch.columns.end[hit]};
          one.motif = {batch.columns.motif[hit]};
          one.strand = {batch.columns.strand[hit]};
          one.css = {batch.columns.css[hit]};
          one.mss = {batch.columns.mss[hit]};
          one.core = {batch.columns.core[hit]};
          record.hits.append(one, 0);
          ++hit;
        }
        open = !part.at_record_end;
      }
      VOK_FUZZ_REQUIRE(hit == batch.size());
    }
  } catch (const InputError&) {
    return 0;  // bad letters are refused; nothing to compare
  }
  VOK_FUZZ_REQUIRE(!open);

  ScanScratch scratch;
  for (const Record& record : records) {
    VOK_FUZZ_REQUIRE(record.owned_until == record.codes.size());
    Block whole;
    whole.names = {"r"};
    whole.codes = record.codes;
    whole.parts.push_back({0, 0, 0, record.codes.size(), 0, record.codes.size(), true, true});
    const HitColumns expected = scan_block(motifs(), whole, options, scratch).columns;
    VOK_FUZZ_REQUIRE(expected.start == record.hits.start && expected.end == record.hits.end);
    VOK_FUZZ_REQUIRE(expected.motif == record.hits.motif && expected.strand == record.hits.strand);
    VOK_FUZZ_REQUIRE(expected.css == record.hits.css && expected.mss == record.hits.mss);
    VOK_FUZZ_REQUIRE(expected.core == record.hits.core);
  }
  return 0;
}

#pragma once
// A block: the unit of scanning work, a stretch of input with the parts of
// the records it holds and the context each part needs.
#include <cstdint>
#include <string>
#include <vector>

#include "scoring/base_codes.hpp"

namespace vok::stream {

// One record's stretch inside a block. Its codes hold record positions
// [offset, offset + size); it reports exactly the sites whose window start
// lies in [owned_start, owned_end). A run of bases touching an edge of the
// stretch continues the record beyond it unless the flag says the record
// starts / ends there.
struct BlockPart {
  std::uint32_t sequence = 0;      // index into Block::names
  std::uint64_t offset = 0;        // record position of the first code
  std::size_t begin = 0;           // first code in Block::codes
  std::size_t size = 0;            // number of codes
  std::uint64_t owned_start = 0;   // first window start reported (record position)
  std::uint64_t owned_end = 0;     // one past the last window start reported
  bool at_record_start = false;    // the stretch begins at the record's first letter
  bool at_record_end = false;      // the stretch ends at the record's last letter
};

struct Block {
  std::vector<std::string> names;  // record names the parts refer to
  std::vector<BaseCode> codes;     // scan codes 0..3 and kBreak, parts back to back
  std::vector<std::uint8_t> lower_case;  // beside codes: 1 where the letter was lower case; empty unless sites are kept
  std::vector<BlockPart> parts;    // in record order
  std::uint64_t letters = 0;       // sequence letters first read into this block (context excluded)
  std::uint64_t input_bytes = 0;   // input bytes consumed when the block was closed (running total)
};

}  // namespace vok::stream

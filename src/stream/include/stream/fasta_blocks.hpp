#pragma once
// FASTA input as a stream of blocks: records split into parts of about
// `block_letters` letters, each part carrying the context its windows need.
// Memory stays that of one block, whatever the record or file length.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/block.hpp"
#include "stream/byte_source.hpp"
#include "stream/letter_table.hpp"

namespace vok::stream {

class FastaBlockReader {
 public:
  // `context`: letters shared with the neighbouring part on each side (the
  // longest motif length - 1). `stop` is passed to the byte sources. With
  // `keep_case` blocks fill Block::lower_case.
  FastaBlockReader(std::vector<std::string> paths, bool mask, std::size_t block_letters,
                   std::size_t context, const std::atomic<bool>* stop, bool keep_case = false);
  ~FastaBlockReader();

  // Fills `block` (cleared first) with the next stretch of input; false when
  // the input is exhausted and the block is empty. Throws InputError for a
  // bad letter (naming file, record and line) and FileError for I/O errors.
  bool next(Block& block);

  // Letters read into each later block (at least 1).
  void set_block_letters(std::size_t letters) { block_letters_ = letters > 0 ? letters : 1; }

  // Raw input bytes consumed so far, over all inputs.
  std::uint64_t bytes_read() const;

 private:
  enum class State { kLineStart, kHeader, kSequence };

  bool fill_buffer();
  void start_record(Block& block);
  void open_part(Block& block, bool record_start);
  void close_part(Block& block, bool record_end);
  void read_sequence(Block& block, std::size_t room);
  [[noreturn]] void fail_letter(const char* line, std::size_t length) const;

  std::vector<std::string> paths_;      // inputs in order
  std::size_t next_path_ = 0;           // index of the next input to open
  const LetterTable& table_;            // letter -> code
  std::size_t block_letters_;           // letters read per block before it is closed
  std::size_t context_;                 // context letters on each side of a part
  bool keep_case_;                      // fill Block::lower_case beside the codes
  const std::atomic<bool>* stop_;       // abandons waits on pipes
  std::unique_ptr<ByteSource> source_;  // the open input, if any
  std::uint64_t finished_bytes_ = 0;    // raw bytes of the inputs already closed
  std::vector<char> buffer_;            // decoded bytes
  std::size_t pos_ = 0;                 // next unread byte in buffer_
  std::size_t end_ = 0;                 // end of the decoded bytes in buffer_

  State state_ = State::kLineStart;     // where in a line the reader is
  std::uint64_t line_ = 1;              // 1-based line number in the current input
  std::string header_;                  // the header line being read
  bool in_record_ = false;              // a record is open
  std::string record_name_;             // its name
  std::vector<BaseCode> carry_;         // tail of the last part, for a continuing record
  std::vector<std::uint8_t> carry_lower_;  // its lower-case flags (with keep_case_)
  std::uint64_t carry_offset_ = 0;      // record position of carry_[0]
  std::uint64_t carry_owned_ = 0;       // first window start owned by the next part
  BlockPart* part_ = nullptr;           // the open part in the block being filled
};

}  // namespace vok::stream

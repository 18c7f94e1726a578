// Lines are cut at the block's room, so a block holds at most block_letters
// new letters; a record open when a block closes goes on in the next block,
// whose part starts with the carried context.
#include "stream/fasta_blocks.hpp"

#include <algorithm>
#include <cstring>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {
constexpr std::size_t kReadSize = 1 << 18;
constexpr std::size_t kMaxParts = 1 << 14;  // records per block, so many tiny records stay bounded too
}  // namespace

FastaBlockReader::FastaBlockReader(std::vector<std::string> paths, bool mask,
                                   std::size_t block_letters, std::size_t context,
                                   const std::atomic<bool>* stop, bool keep_case)
    : paths_(std::move(paths)),
      table_(letter_table(mask, true)),
      block_letters_(std::max<std::size_t>(block_letters, 1)),
      context_(context),
      keep_case_(keep_case),
      stop_(stop),
      buffer_(kReadSize) {}

FastaBlockReader::~FastaBlockReader() = default;

std::uint64_t FastaBlockReader::bytes_read() const {
  return finished_bytes_ + (source_ ? source_->raw_bytes_read() : 0);
}

// Refills the decoded buffer, moving to the next input at the end of one;
// false when every input is exhausted.
bool FastaBlockReader::fill_buffer() {
  if (!source_) {
    if (next_path_ == paths_.size()) return false;
    source_ = std::make_unique<ByteSource>(paths_[next_path_++], stop_);
    state_ = State::kLineStart;
    line_ = 1;
  }
  pos_ = 0;
  end_ = source_->read(buffer_.data(), buffer_.size());
  return end_ > 0;  // at the end of this input the caller ends its record first
}

void FastaBlockReader::open_part(Block& block, bool record_start) {
  block.names.push_back(record_name_);
  BlockPart part;
  part.sequence = static_cast<std::uint32_t>(block.names.size() - 1);
  part.begin = block.codes.size();
  part.at_record_start = record_start;
  if (record_start) {
    part.offset = 0;
    part.owned_start = 0;
  } else {
    part.offset = carry_offset_;
    part.owned_start = carry_owned_;
    part.at_record_start = carry_offset_ == 0;
    block.codes.insert(block.codes.end(), carry_.begin(), carry_.end());
    if (keep_case_) block.lower_case.insert(block.lower_case.end(), carry_lower_.begin(), carry_lower_.end());
  }
  block.parts.push_back(part);
  part_ = &block.parts.back();
}

// Ends the open part at the block's end: at the record's end, or with the
// ownership split so that the next part (starting with the context) takes over.
void FastaBlockReader::close_part(Block& block, bool record_end) {
  BlockPart& part = *part_;
  part.size = block.codes.size() - part.begin;
  part.at_record_end = record_end;
  const std::uint64_t end = part.offset + part.size;
  if (record_end) {
    part.owned_end = end;
  } else {
    const std::uint64_t split = std::max(part.owned_start, end > context_ ? end - context_ : 0);
    part.owned_end = split;
    const std::uint64_t from = std::max(part.offset, split > context_ ? split - context_ : 0);
    const auto first = static_cast<std::ptrdiff_t>(part.begin + (from - part.offset));
    carry_.assign(block.codes.begin() + first, block.codes.end());
    if (keep_case_) carry_lower_.assign(block.lower_case.begin() + first, block.lower_case.end());
    carry_offset_ = from;
    carry_owned_ = split;
  }
  part_ = nullptr;
}

void FastaBlockReader::start_record(Block& block) {
  if (!header_.empty() && header_.back() == '\r') header_.pop_back();
  std::size_t name_end = header_.find(' ');
  if (name_end == std::string::npos) name_end = header_.find('\t');
  record_name_ = header_.substr(0, name_end);
  header_.clear();
  in_record_ = true;
  open_part(block, true);
}

void FastaBlockReader::fail_letter(const char* line, std::size_t length) const {
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (table_[byte] == kInvalid) {
      throw InputError(source_->display_name() + ": record '" + record_name_ + "', line " +
                       std::to_string(line_) + ": " + describe_invalid_byte(byte));
    }
  }
  throw InputError(source_->display_name() + ": record '" + record_name_ + "', line " +
                   std::to_string(line_) + ": invalid letter");
}

// Converts letters of the current line up to the line end, the buffer end
// or `room` bytes, whichever comes first.
void FastaBlockReader::read_sequence(Block& block, std::size_t room) {
  const char* start = buffer_.data() + pos_;
  std::size_t length = std::min(end_ - pos_, room);
  const void* newline = std::memchr(start, '\n', length);
  const bool line_ends = newline != nullptr;
  if (line_ends) length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);

  std::vector<BaseCode>& codes = block.codes;
  const std::size_t before = codes.size();
  codes.resize(before + length);
  BaseCode* out = codes.data() + before;
  std::size_t written = 0;
  BaseCode seen = 0;
  if (keep_case_) {
    // Letters have bit 5 set in lower case; skipped blanks are overwritten.
    block.lower_case.resize(before + length);
    std::uint8_t* lower = block.lower_case.data() + before;
    for (std::size_t i = 0; i < length; ++i) {
      const auto byte = static_cast<unsigned char>(start[i]);
      const BaseCode code = table_[byte];
      out[written] = code;
      lower[written] = (byte >> 5) & 1;
      written += code < kSkip;
      seen |= code;
    }
    block.lower_case.resize(before + written);
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      const BaseCode code = table_[static_cast<unsigned char>(start[i])];
      out[written] = code;
      written += code < kSkip;
      seen |= code;
    }
  }
  if (seen & kInvalid) fail_letter(start, length);
  codes.resize(before + written);
  block.letters += written;
  pos_ += length;
  if (line_ends) {
    ++pos_;
    ++line_;
    state_ = State::kLineStart;
  }
}

bool FastaBlockReader::next(Block& block) {
  block.names.clear();
  block.codes.clear();
  block.lower_case.clear();
  block.parts.clear();
  block.letters = 0;
  part_ = nullptr;
  if (in_record_) open_part(block, false);

  while (true) {
    if (pos_ == end_ && !fill_buffer()) {
      // End of the current input (or of all of them): it ends any record.
      if (state_ == State::kHeader) start_record(block);
      if (in_record_) {
        close_part(block, true);
        in_record_ = false;
      }
      state_ = State::kLineStart;
      if (source_) {
        finished_bytes_ += source_->raw_bytes_read();
        source_.reset();
        continue;
      }
      break;
    }
    switch (state_) {
      case State::kLineStart: {
        const char c = buffer_[pos_];
        if (c == '>') {
          if (in_record_) close_part(block, true);
          in_record_ = false;
          if (block.letters >= block_letters_ || block.parts.size() >= kMaxParts) {
            block.input_bytes = bytes_read();
            return true;
          }
          state_ = State::kHeader;
          ++pos_;
        } else if (c == '\n') {
          ++line_;
          ++pos_;
        } else if (!in_record_) {
          if (c == ' ' || c == '\t' || c == '\r') {
            ++pos_;  // blanks of an empty line before the first header
          } else {
            throw InputError(source_->display_name() + ": line " + std::to_string(line_) +
                             ": sequence before the first '>' header");
          }
        } else {
          state_ = State::kSequence;
        }
        break;
      }
      case State::kHeader: {
        const char* start = buffer_.data() + pos_;
        const void* newline = std::memchr(start, '\n', end_ - pos_);
        const std::size_t length =
            newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - start) : end_ - pos_;
        header_.append(start, length);
        pos_ += length;
        if (newline) {
          ++pos_;
          start_record(block);
          ++line_;
          state_ = State::kLineStart;
        }
        break;
      }
      case State::kSequence: {
        const std::size_t room = block.letters < block_letters_ ? block_letters_ - block.letters : 0;
        if (room == 0) {
          close_part(block, false);
          block.input_bytes = bytes_read();
          return true;
        }
        read_sequence(block, room);
        break;
      }
    }
  }
  block.input_bytes = bytes_read();
  return !block.parts.empty();
}

}  // namespace vok::stream

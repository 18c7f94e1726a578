#include "stream/fasta_blocks.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {

class TempFile {
 public:
  explicit TempFile(const std::string& bytes, bool gzip = false) {
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("fasta_blocks_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++)))
                .string();
    if (gzip) {
      gzFile file = gzopen(path_.c_str(), "wb");
      gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size()));
      gzclose(file);
    } else {
      std::ofstream(path_, std::ios::binary) << bytes;
    }
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;  // the file, removed again by the destructor
};

// Every record's name and codes, joined over all blocks.
struct ReadBack {
  std::vector<std::string> names;            // record names in input order
  std::vector<std::vector<BaseCode>> codes;  // each record's codes, context counted once
  std::size_t blocks = 0;                    // blocks the reader returned
};

ReadBack read_all(const std::vector<std::string>& paths, std::size_t block_letters,
                  std::size_t context = 4, bool mask = false) {
  FastaBlockReader reader(paths, mask, block_letters, context, nullptr);
  ReadBack result;
  Block block;
  bool record_open = false;  // the last part did not end its record
  while (reader.next(block)) {
    ++result.blocks;
    for (const BlockPart& part : block.parts) {
      if (!record_open) {
        EXPECT_TRUE(part.at_record_start);
        result.names.push_back(block.names[part.sequence]);
        result.codes.emplace_back();
      }
      // Letters beyond those the record already holds; the rest is context.
      auto& codes = result.codes.back();
      EXPECT_LE(part.offset, codes.size());
      for (std::size_t i = 0; i < part.size; ++i) {
        if (part.offset + i >= codes.size()) codes.push_back(block.codes[part.begin + i]);
      }
      record_open = !part.at_record_end;
    }
  }
  EXPECT_FALSE(record_open);
  return result;
}

std::vector<BaseCode> codes_of(const std::string& letters, bool mask = false) {
  const LetterTable& table = letter_table(mask, false);
  std::vector<BaseCode> codes;
  for (char c : letters) codes.push_back(table[static_cast<unsigned char>(c)]);
  return codes;
}

TEST(FastaBlocks, LineEndsLineLengthsAndCompressionDoNotChangeTheLetters) {
  // Blank lines (spaces, tabs, CR) before the first header are skipped.
  const std::string text =
      " \t\n\n>chr1 some description\nACGTNacgt\nRYKM\n\n>chr2\tx\nTTTT\n>empty\n>chr3\nGGG";
  const std::string crlf = [&] {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  }();
  for (const std::string& bytes : {text, crlf}) {
    for (bool gzip : {false, true}) {
      for (std::size_t block : {1, 3, 1000}) {
        TempFile file(bytes, gzip);
        const ReadBack got = read_all({file.path()}, block);
        ASSERT_EQ(got.names, (std::vector<std::string>{"chr1", "chr2", "empty", "chr3"}));
        EXPECT_EQ(got.codes[0], codes_of("ACGTNacgtRYKM"));
        EXPECT_EQ(got.codes[1], codes_of("TTTT"));
        EXPECT_TRUE(got.codes[2].empty());
        EXPECT_EQ(got.codes[3], codes_of("GGG"));
      }
    }
  }
}

struct BadInput {
  std::string text;      // file contents
  std::string message;   // expected message after "<path>: "
};

class FastaBlocksErrors : public ::testing::TestWithParam<BadInput> {};

TEST_P(FastaBlocksErrors, NameTheRecordLineAndCharacter) {
  TempFile file(GetParam().text);
  try {
    read_all({file.path()}, 2);
    FAIL() << "no error for " << GetParam().text;
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), file.path() + ": " + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Letters, FastaBlocksErrors,
    ::testing::Values(
        BadInput{">a\nACGT\nAC1T\n", "record 'a', line 3: invalid character '1'"},
        BadInput{">a\nACGT\n>b x\n\nAC*T\n", "record 'b', line 5: invalid character '*'"},
        BadInput{">a\nAC>T\n", "record 'a', line 2: invalid character '>'"},
        BadInput{">a\r\nAC-T\r\n", "record 'a', line 2: invalid character '-'"},
        BadInput{">a\nAC\xc3\xa9T\n", "record 'a', line 2: invalid byte 0xC3"},
        BadInput{">a\nAC\x01T\n", "record 'a', line 2: invalid byte 0x01"},
        BadInput{"\nACGT\n>a\n", "line 2: sequence before the first '>' header"},
        BadInput{" \n \tA\n>a\n", "line 2: sequence before the first '>' header"},
        // A sequence line taken for a header is quoted as a name: short, on one line.
        BadInput{">" + std::string(3000, 'C') + "\nAC*T\n",
                 "record '" + std::string(77, 'C') + "...', line 2: invalid character '*'"},
        BadInput{">a\x01" "b\nAC*T\n", "record 'a?b', line 2: invalid character '*'"}));

TEST(FastaBlocks, RecordsContinueAcrossInputsOnlyByName) {
  TempFile first(">a\nACGT\n");
  TempFile second("\n>b\nTT\n");
  const ReadBack got = read_all({first.path(), second.path()}, 1000);
  EXPECT_EQ(got.names, (std::vector<std::string>{"a", "b"}));
}

TEST(FastaBlocks, BlocksHoldAboutTheRequestedLettersAndTheContext) {
  const std::string letters(1000, 'A');
  TempFile file(">a\n" + letters + "\n");
  FastaBlockReader reader({file.path()}, false, 100, 7, nullptr);
  Block block;
  std::uint64_t owned_until = 0;
  std::size_t blocks = 0;
  while (reader.next(block)) {
    ++blocks;
    ASSERT_EQ(block.parts.size(), 1u);
    const BlockPart& part = block.parts[0];
    EXPECT_LE(block.letters, 100u);
    EXPECT_EQ(part.owned_start, owned_until);  // owned ranges tile the record
    if (part.owned_start > 0) {
      EXPECT_EQ(part.owned_start - part.offset, 7u);
    }
    if (!part.at_record_end) {
      EXPECT_EQ(part.offset + part.size - part.owned_end, 7u);
    }
    owned_until = part.owned_end;
  }
  EXPECT_EQ(owned_until, 1000u);
  EXPECT_GE(blocks, 10u);
}

// A block size of zero letters, at the start or later, means one letter.
TEST(FastaBlocks, ZeroLettersPerBlockStillReadsEveryLetter) {
  TempFile file(">a\nACGTACGTAC\n");
  FastaBlockReader reader({file.path()}, false, 0, 2, nullptr);
  Block block;
  std::uint64_t owned_until = 0;
  std::size_t blocks = 0;
  while (reader.next(block)) {
    reader.set_block_letters(0);
    ASSERT_LT(++blocks, 100u);
    ASSERT_EQ(block.parts.size(), 1u);
    EXPECT_EQ(block.parts[0].owned_start, owned_until);  // owned ranges tile the record
    EXPECT_LE(block.letters, 1u);
    owned_until = block.parts[0].owned_end;
  }
  EXPECT_EQ(owned_until, 10u);
}

TEST(FastaBlocks, MissingFileIsAFileError) {
  try {
    read_all({"/nonexistent/input.fa"}, 10);
    FAIL();
  } catch (const FileError& error) {
    EXPECT_EQ(error.os_code, ENOENT);
    EXPECT_EQ(error.path, "/nonexistent/input.fa");
  }
}

TEST(FastaBlocks, TruncatedGzipIsAnInputError) {
  TempFile whole(">a\n" + std::string(5000, 'C') + "\n", true);
  std::string bytes;
  {
    std::ifstream in(whole.path(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  TempFile cut(bytes.substr(0, bytes.size() - 10));
  EXPECT_THROW(read_all({cut.path()}, 100), InputError);
}

}  // namespace
}  // namespace vok::stream

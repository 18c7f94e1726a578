#include "engine/file_reading.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

// A scratch directory per test, removed afterwards.
class FileReading : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vok-files-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, std::string_view contents) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(contents.data(),
                                                static_cast<std::streamsize>(contents.size()));
    return path.string();
  }

  std::filesystem::path dir_;  // scratch directory
};

vok::FileError error_of(const std::variant<std::string, vok::FileError>& result) {
  EXPECT_TRUE(std::holds_alternative<vok::FileError>(result));
  return std::holds_alternative<vok::FileError>(result) ? std::get<vok::FileError>(result)
                                                         : vok::FileError{};
}

std::string text_of(const std::variant<std::string, vok::FileError>& result) {
  if (const auto* error = std::get_if<vok::FileError>(&result)) {
    ADD_FAILURE() << vok::format_file_error(*error);
    return {};
  }
  return std::get<std::string>(result);
}

TEST_F(FileReading, SystemFailuresKeepTheirNumberKindAndMessage) {
  const std::string file = write("plain.txt", "x");
  ASSERT_EQ(::symlink((dir_ / "loop").c_str(), (dir_ / "loop").c_str()), 0);
  const struct {
    std::string path;
    int code;
    const char* kind;
  } cases[] = {
      {(dir_ / "absent.fa").string(), ENOENT, "NotFound"},
      {dir_.string(), EISDIR, "IsADirectory"},  // opens, but cannot be read
      {file + "/child", ENOTDIR, "NotADirectory"},
      {(dir_ / std::string(300, 'n')).string(), ENAMETOOLONG, "InvalidFilename"},
      {(dir_ / "loop").string(), ELOOP, "FilesystemLoop"},
  };
  for (const auto& c : cases) {
    const auto error = error_of(vok::read_text_file(c.path));
    EXPECT_EQ(error.os_code, c.code) << c.path;
    EXPECT_EQ(vok::format_file_error(error), "Os { code: " + std::to_string(c.code) + ", kind: " +
                                                 c.kind + ", message: \"" + std::strerror(c.code) +
                                                 "\" }");
  }
  EXPECT_EQ(vok::format_file_error(error_of(vok::read_text_file(cases[0].path))),
            R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");
}

TEST_F(FileReading, UnreadableFileIsPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
  const std::string path = write("secret.txt", "x");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const auto error = error_of(vok::read_text_file(path));
  EXPECT_EQ(vok::format_file_error(error),
            R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })");
}

TEST_F(FileReading, NulInPathIsRefusedBeforeOpening) {
  const std::string existing = write("real.fa", ">a\nACGT\n");
  for (const std::string& path : {existing + std::string("\0", 1), std::string("\0x", 2)}) {
    const auto error = error_of(vok::read_text_file(path));
    EXPECT_FALSE(error.from_os());
    EXPECT_EQ(vok::format_file_error(error),
              R"(Error { kind: InvalidInput, message: "data provided contains a nul byte" })");
  }
}

class InvalidUtf8 : public FileReading, public ::testing::WithParamInterface<std::string_view> {};

TEST_P(InvalidUtf8, IsInvalidData) {
  const auto error = error_of(vok::read_text_file(write("bad.txt", GetParam())));
  EXPECT_EQ(vok::format_file_error(error),
            R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidUtf8,
    ::testing::Values("\x80"sv,                  // lone continuation byte
                      "\xc0\xaf"sv,              // overlong '/'
                      "\xc1\xbf"sv,              // overlong two-byte
                      "\xe0\x80\xaf"sv,          // overlong three-byte
                      "\xf0\x80\x80\xaf"sv,      // overlong four-byte
                      "\xed\xa0\x80"sv,          // surrogate U+D800
                      "\xed\xbf\xbf"sv,          // surrogate U+DFFF
                      "\xf4\x90\x80\x80"sv,      // U+110000
                      "\xf5\x80\x80\x80"sv,      // lead byte past F4
                      "\xff"sv,                  //
                      "\xe2\x82"sv,              // truncated at the end
                      "\xe2\x28\xa1"sv,          // bad continuation
                      "ACGTACGT\xff"sv,          // after an all-ASCII word
                      "ACGTACG\xc3"sv,           // truncated inside a word
                      "ACGTACGTACGTACG\xc3\x28"sv));

TEST_F(FileReading, ValidTextComesBackUnchanged) {
  const std::string_view samples[] = {
      ""sv,
      ">seq1\nACGT\r\n"sv,
      // Edges of each encoding length, both sides of the surrogate gap.
      "\x7f \xc2\x80 \xdf\xbf \xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbf "
      "\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf"sv,
      "\xef\xbb\xbfID x\n"sv,  // a byte-order mark is kept as text
  };
  for (const auto sample : samples) EXPECT_EQ(text_of(vok::read_text_file(write("ok", sample))), sample);
}

TEST_F(FileReading, LargeFileIsReadWhole) {
  std::string contents;
  for (int i = 0; contents.size() < (1u << 20) + 3; ++i) contents += "ACGT\xc3\xa9" + std::to_string(i);
  EXPECT_EQ(text_of(vok::read_text_file(write("large.fa", contents))), contents);
}

TEST(FileReadingUnsized, FileReportingNoSizeIsReadToTheEnd) {
  // Files under /proc report size 0 but have contents.
  const std::string status = text_of(vok::read_text_file("/proc/self/status"));
  EXPECT_NE(status.find("Name:"), std::string::npos);
  EXPECT_NE(status.find("VmPeak:"), std::string::npos);
}

}  // namespace

#include "engine/file_reading.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

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

// Opening a FIFO waits for a writer. A reader thread waits there while this
// thread signals it (a handler without SA_RESTART, as the interpreter
// installs its own), which makes the wait return EINTR.
class FifoReading : public FileReading {
 protected:
  void SetUp() override {
    FileReading::SetUp();
    fifo_ = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous_), 0);
  }
  void TearDown() override {
    ::sigaction(SIGUSR1, &previous_, nullptr);
    FileReading::TearDown();
  }

  // Signals `reader` every few milliseconds until `done`, at most 10 s;
  // `between` runs after each signal. A reader that still waits then is
  // released by an empty write, so that it can be joined.
  template <class Between>
  void signal_until(std::thread& reader, const std::atomic<bool>& done, Between between) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      ::pthread_kill(reader.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      between();
    }
    EXPECT_TRUE(done) << "the reader still waits";
    if (!done) ::close(::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK));
  }

  std::string fifo_;            // path of the FIFO
  struct sigaction previous_ {};  // SIGUSR1's action before the test
};

TEST_F(FifoReading, WaitWithoutWriterStopsWhenTheCheckSaysSo) {
  std::atomic<int> checks{0};
  std::atomic<bool> done{false};
  bool stopped = false;
  std::thread reader([&] {
    try {
      vok::read_text_file(fifo_, [&] { return ++checks == 3; });
    } catch (const vok::ReadInterrupted&) {
      stopped = true;
    }
    done = true;
  });
  signal_until(reader, done, [] {});
  reader.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(checks.load(), 3);
}

TEST_F(FifoReading, WaitGoesOnWhileTheCheckSaysNoThenReadsTheWriter) {
  std::atomic<int> checks{0};
  std::atomic<bool> done{false};
  std::string text;
  std::thread reader([&] {
    text = text_of(vok::read_text_file(fifo_, [&] { return ++checks, false; }));
    done = true;
  });
  int writer = -1;
  signal_until(reader, done, [&] {
    if (checks >= 3 && writer < 0) {
      writer = ::open(fifo_.c_str(), O_WRONLY);
      ASSERT_EQ(::write(writer, ">s\nACGT\n", 8), 8);
      ::close(writer);
    }
  });
  reader.join();
  EXPECT_EQ(text, ">s\nACGT\n");
  EXPECT_GE(checks.load(), 3);
}

}  // namespace

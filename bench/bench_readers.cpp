// Throughput and memory of the text readers on large synthetic inputs.
//   FASTA: one 100 MB record in 60-column lines (read_fasta, load_fasta, to_bases).
//   TRANSFAC: 10,000 matrices of 10 to 20 rows (load_transfac).
// Prints the median of several runs and the peak resident memory a run adds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "parser/fasta_reader.hpp"
#include "parser/transfac_reader.hpp"

namespace {

constexpr int kRuns = 7;

// A "Vm...:" field of /proc/self/status in kB, or -1.
long status_kb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Resets the kernel's peak-RSS mark so VmHWM covers only what follows.
bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  return static_cast<bool>(clear.flush());
}

struct Measure {
  double median_seconds;  // median wall time of one run
  long peak_growth_kb;    // peak RSS during a run minus RSS before it (-1 if unknown)
};

// Times `run` kRuns times; `prepare`, untimed, runs before each.
Measure measure(const std::function<void()>& run, const std::function<void()>& prepare = [] {}) {
  std::vector<double> seconds;
  long growth = -1;
  for (int i = 0; i < kRuns; ++i) {
    prepare();
    const long before = status_kb("VmRSS");
    const bool peak_reset = reset_peak();
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto stop = std::chrono::steady_clock::now();
    if (peak_reset) growth = std::max(growth, status_kb("VmHWM") - before);
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds[seconds.size() / 2], growth};
}

std::string make_fasta(std::size_t sequence_bytes, std::mt19937& rng) {
  std::string text = ">chr1 synthetic benchmark record\n";
  text.reserve(sequence_bytes + sequence_bytes / 60 + 64);
  std::uniform_int_distribution<int> base(0, 3);
  for (std::size_t written = 0; written < sequence_bytes; written += 60) {
    for (int i = 0; i < 60; ++i) text.push_back("ACGT"[base(rng)]);
    text.push_back('\n');
  }
  return text;
}

std::string make_transfac(int matrices, std::mt19937& rng) {
  std::string text = "VV  synthetic benchmark table\nXX\n//\n";
  std::uniform_int_distribution<int> rows(10, 20);
  std::uniform_int_distribution<int> count(0, 40);
  char line[96];
  for (int m = 0; m < matrices; ++m) {
    std::snprintf(line, sizeof line, "AC  M%05d\nXX\nID  BENCH$M%05d\nXX\nPO  A C G T\n", m, m);
    text += line;
    const int n = rows(rng);
    for (int r = 1; r <= n; ++r) {
      std::snprintf(line, sizeof line, "%02d  %d %d.5 %d %d\n", r, count(rng), count(rng),
                    count(rng), count(rng));
      text += line;
    }
    text += "XX\n//\n";
  }
  return text;
}

void report(const char* what, const Measure& m, double megabytes) {
  std::printf("%-28s %8.1f MB/s  median %7.2f ms  peak RSS growth %ld kB\n", what,
              megabytes / m.median_seconds, m.median_seconds * 1e3, m.peak_growth_kb);
}

}  // namespace

int main() {
  std::mt19937 rng(12345);

  const std::string fasta = make_fasta(100'000'000, rng);
  const double fasta_mb = static_cast<double>(fasta.size()) / 1e6;
  std::printf("FASTA text: %.1f MB, one record, 60-column lines; %d runs each\n", fasta_mb, kRuns);
  std::size_t letters = 0;
  report("read_fasta", measure([&] { letters = vok::read_fasta(fasta).records[0].seq.size(); }),
         fasta_mb);
  report("load_fasta", measure([&] {
           auto loaded = vok::load_fasta(fasta);
           letters = std::get<0>(loaded)[0].seq.size();
         }),
         fasta_mb);
  const vok::FastaRecord record = std::move(vok::read_fasta(fasta).records[0]);
  vok::FastaRecord input;
  report("to_bases", measure([&] { letters = vok::to_bases(std::move(input))->bases.size(); },
                             [&] { input = record; }),
         static_cast<double>(record.seq.size()) / 1e6);
  std::printf("letters per record: %zu\n\n", letters);

  const int kMatrices = 10'000;
  const std::string transfac = make_transfac(kMatrices, rng);
  const double transfac_mb = static_cast<double>(transfac.size()) / 1e6;
  std::printf("TRANSFAC text: %.2f MB, %d matrices of 10-20 rows; %d runs\n", transfac_mb,
              kMatrices, kRuns);
  std::size_t loaded_matrices = 0;
  const Measure t = measure([&] {
    auto loaded = vok::load_transfac(transfac);
    loaded_matrices = std::get<0>(loaded).size();
  });
  report("load_transfac", t, transfac_mb);
  std::printf("%-28s %8.0f matrices/s (%zu matrices loaded)\n", "", kMatrices / t.median_seconds,
              loaded_matrices);
  return loaded_matrices == static_cast<std::size_t>(kMatrices) ? 0 : 1;
}

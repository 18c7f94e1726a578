#include "stream/qvalues.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {

float rounded_up(double value) {
  float rounded = static_cast<float>(value);
  if (static_cast<double>(rounded) < value) rounded = std::nextafter(rounded, 2.0f);
  return rounded;
}

// Lines of a file, read in large blocks.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "rb")) {
    if (!file_) throw FileError(errno, path, "cannot read " + path);
  }
  ~LineReader() {
    if (file_) std::fclose(file_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its line end, or false at the end of the file.
  bool next(std::string_view& line) {
    for (;;) {
      const std::size_t end = buffer_.find('\n', at_);
      if (end != std::string::npos) {
        line = std::string_view(buffer_).substr(at_, end - at_);
        at_ = end + 1;
        return true;
      }
      buffer_.erase(0, at_);
      at_ = 0;
      const std::size_t kept = buffer_.size();
      buffer_.resize(kept + kBlock);
      const std::size_t got = std::fread(buffer_.data() + kept, 1, kBlock, file_);
      buffer_.resize(kept + got);
      if (got == 0) {
        if (std::ferror(file_)) throw FileError(errno, path_, "cannot read " + path_);
        if (buffer_.empty()) return false;
        buffer_ += '\n';  // a last line without its line end
      }
    }
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::string path_;     // for messages
  std::FILE* file_;      // the open file
  std::string buffer_;   // bytes read and not yet returned, from at_
  std::size_t at_ = 0;   // start of the next line in buffer_
};

// The field `index` of a tab-separated line and where it ends.
bool field(std::string_view line, std::size_t index, std::string_view& out, std::size_t& end) {
  std::size_t start = 0;
  for (std::size_t k = 0; k < index; ++k) {
    const std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) return false;
    start = tab + 1;
  }
  end = std::min(line.find('\t', start), line.size());
  out = line.substr(start, end - start);
  return true;
}

struct ParsedLine {
  std::string_view motif_id;  // the motif id field
  float pvalue = 0.0f;        // the p-value field as a float
  std::size_t pvalue_end;     // where the p-value field ends in the line
  bool header = false;        // the header line: the p-value field reads "pvalue"
};

ParsedLine parse(std::string_view line, const QValueColumns& columns) {
  ParsedLine parsed;
  std::size_t ignored = 0;
  std::string_view text;
  if (!field(line, columns.motif_id, parsed.motif_id, ignored) || !field(line, columns.pvalue, text, parsed.pvalue_end)) {
    throw InputError("a hit line without motif id and p-value fields: " + std::string(line.substr(0, 200)));
  }
  if (text == "pvalue") {
    parsed.header = true;
    return parsed;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed.pvalue);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw InputError("a hit line whose p-value does not read as a number: " + std::string(text));
  }
  return parsed;
}

}  // namespace

QValueTable::QValueTable(std::vector<float> pvalues, std::uint64_t windows) : pvalues_(std::move(pvalues)) {
  std::sort(pvalues_.begin(), pvalues_.end());
  // From the largest p down: the running minimum of p_(k) m / k over ranks k.
  const double m = static_cast<double>(windows);
  qvalues_.assign(pvalues_.size(), 1.0f);
  double running = 1.0;
  for (std::size_t k = pvalues_.size(); k-- > 0;) {
    running = std::min(running, static_cast<double>(pvalues_[k]) * m / static_cast<double>(k + 1));
    qvalues_[k] = rounded_up(running);
  }
  // Equal p-values share the q of the last of them, the smallest.
  std::size_t out = 0;
  for (std::size_t k = 0; k < pvalues_.size(); ++k) {
    if (k + 1 < pvalues_.size() && pvalues_[k + 1] == pvalues_[k]) continue;
    pvalues_[out] = pvalues_[k];
    qvalues_[out] = qvalues_[k];
    ++out;
  }
  pvalues_.resize(out);
  qvalues_.resize(out);
}

float QValueTable::operator()(float pvalue) const {
  const auto at = std::lower_bound(pvalues_.begin(), pvalues_.end(), pvalue);
  if (at == pvalues_.end() || *at != pvalue) throw std::out_of_range("a p-value the q-values were not made from");
  return qvalues_[static_cast<std::size_t>(at - pvalues_.begin())];
}

std::vector<float> hit_qvalues(std::span<const std::int32_t> motif, std::span<const float> pvalue,
                               std::span<const std::uint64_t> windows_by_motif) {
  std::vector<std::vector<float>> by_motif(windows_by_motif.size());
  for (std::size_t i = 0; i < motif.size(); ++i) {
    if (motif[i] < 0 || static_cast<std::size_t>(motif[i]) >= by_motif.size()) {
      throw std::out_of_range("a hit refers to a motif that does not exist");
    }
    by_motif[static_cast<std::size_t>(motif[i])].push_back(pvalue[i]);
  }
  std::vector<std::unique_ptr<QValueTable>> tables(by_motif.size());
  for (std::size_t k = 0; k < by_motif.size(); ++k) {
    if (!by_motif[k].empty()) tables[k] = std::make_unique<QValueTable>(std::move(by_motif[k]), windows_by_motif[k]);
  }
  std::vector<float> out(motif.size());
  for (std::size_t i = 0; i < motif.size(); ++i) out[i] = (*tables[static_cast<std::size_t>(motif[i])])(pvalue[i]);
  return out;
}

void add_qvalue_column(const std::string& lines_path, OutputSink& out, const QValueColumns& columns,
                       const std::vector<std::pair<std::string, std::uint64_t>>& windows_by_id) {
  std::unordered_map<std::string, std::size_t> index_of_id;
  std::vector<std::uint64_t> windows;
  for (const auto& [id, count] : windows_by_id) {
    const auto [it, added] = index_of_id.emplace(id, windows.size());
    if (added) {
      windows.push_back(count);
    } else {
      windows[it->second] += count;  // motifs sharing an id are one motif here
    }
  }
  const auto motif_of = [&](std::string_view id) {
    const auto it = index_of_id.find(std::string(id));
    if (it == index_of_id.end()) throw InputError("a hit line names an unknown motif: " + std::string(id));
    return it->second;
  };
  // Pass 1: every hit's p-value, by motif.
  std::vector<std::vector<float>> pvalues(windows.size());
  {
    LineReader reader(lines_path);
    std::string_view line;
    while (reader.next(line)) {
      const ParsedLine parsed = parse(line, columns);
      if (!parsed.header) pvalues[motif_of(parsed.motif_id)].push_back(parsed.pvalue);
    }
  }
  std::vector<std::unique_ptr<QValueTable>> tables(windows.size());
  for (std::size_t k = 0; k < windows.size(); ++k) {
    if (!pvalues[k].empty()) tables[k] = std::make_unique<QValueTable>(std::move(pvalues[k]), windows[k]);
  }
  // Pass 2: the lines again, each with its q-value after the p-value.
  LineReader reader(lines_path);
  std::string text;
  std::string_view line;
  char number[32];
  while (reader.next(line)) {
    const ParsedLine parsed = parse(line, columns);
    text.append(line.substr(0, parsed.pvalue_end));
    text += '\t';
    if (parsed.header) {
      text += "qvalue";
    } else {
      const float q = (*tables[motif_of(parsed.motif_id)])(parsed.pvalue);
      text.append(number, std::to_chars(number, number + sizeof number, q).ptr);
    }
    text.append(line.substr(parsed.pvalue_end));
    text += '\n';
    if (text.size() >= (std::size_t{1} << 20)) {
      out.write(text);
      text.clear();
    }
  }
  out.write(text);
}

}  // namespace vok::stream

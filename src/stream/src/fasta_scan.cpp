#include "stream/fasta_scan.hpp"

#include <algorithm>
#include <chrono>
#include <map>

#include "stream/byte_source.hpp"
#include "stream/errors.hpp"
#include "stream/fasta_blocks.hpp"
#include "stream/line_sink.hpp"
#include "worker_pool.hpp"

namespace vok::stream {
namespace {
constexpr auto kWaitSlice = std::chrono::milliseconds(50);
// Blocks start small and grow while their output stays small, so that the
// first groups at loose thresholds are cut into few chunks.
constexpr std::size_t kFirstBlockLetters = 1 << 16;
constexpr std::size_t kSmallestBlockLetters = 1 << 12;
constexpr std::size_t kSmallestChunk = 64u << 10;
constexpr std::size_t kLargestChunk = 8u << 20;
}  // namespace

// Working memory of the block scans, one per task running at once; kept for
// reuse, so that a warm scan allocates nothing.
class FastaScan::Scratches {
 public:
  std::unique_ptr<ScanScratch> take() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return std::make_unique<ScanScratch>();
    auto scratch = std::move(spare_.back());
    spare_.pop_back();
    return scratch;
  }
  void give_back(std::unique_ptr<ScanScratch> scratch) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(scratch));
  }

 private:
  std::mutex mutex_;                                 // guards spare_
  std::vector<std::unique_ptr<ScanScratch>> spare_;  // not in use
};

FastaScan::FastaScan(std::shared_ptr<const MotifSet> motifs, std::vector<std::string> paths,
                     const FastaScanOptions& options)
    : motifs_(std::move(motifs)),
      options_(options),
      paths_(std::move(paths)),
      scratches_(std::make_unique<Scratches>()) {
  std::uint64_t total = 0;
  bool known = true;
  for (const std::string& path : paths_) {
    const auto size = input_size(path);
    if (size) total += *size;
    known = known && size.has_value();
  }
  if (known) bytes_total_ = total;
  if (options_.lines) {
    line_format_ = std::make_unique<HitLineFormat>(*motifs_, options_.lines->format,
                                                   options_.lines->pvalues.get(), options_.scan.sites);
  }
  if (options_.threads > 0) {
    own_pool_ = std::make_unique<WorkerPool>(options_.threads);
    pool_ = own_pool_.get();
  } else {
    pool_ = &shared_worker_pool();
  }
  // A third of the budget for the chunks being made, two thirds for those
  // queued or held back; blocks (a byte or two per letter) get a quarter of
  // the budget, read or being scanned.
  group_size_ = 2 * pool_->thread_count();
  chunk_bytes_ = std::clamp(options_.memory_budget / (3 * group_size_), kSmallestChunk, kLargestChunk);
  largest_block_ = std::min(std::max(options_.memory_budget / (4 * 2 * 2 * group_size_), kSmallestBlockLetters),
                            std::max<std::size_t>(options_.block_letters, 1));
  block_letters_.store(std::min(largest_block_, kFirstBlockLetters));
  reader_ = std::thread([this] { read_loop(); });
  try {
    scanner_ = std::thread([this] { scan_loop(); });
  } catch (...) {
    close();
    throw;
  }
}

FastaScan::~FastaScan() { close(); }

void FastaScan::close() {
  stop_.store(true);
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  if (scanner_.joinable()) scanner_.join();
  std::lock_guard lock(mutex_);
  blocks_.clear();
  results_.clear();
  results_bytes_ = 0;
}

void FastaScan::read_loop() {
  Entry<Block> last;
  try {
    FastaBlockReader reader(paths_, options_.mask, block_letters_.load(), motifs_->context(), &stop_,
                            options_.scan.sites);
    while (true) {
      reader.set_block_letters(block_letters_.load());
      Block block;
      if (!reader.next(block)) break;
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_.load() || blocks_.size() < group_size_; });
      if (stop_.load()) return;
      blocks_.push_back({std::move(block), nullptr});
      lock.unlock();
      changed_.notify_all();
    }
  } catch (const ScanInterrupted&) {
    return;
  } catch (...) {
    last.failure = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    try {
      blocks_.push_back(std::move(last));
    } catch (...) {
      broken_ = std::current_exception();
    }
  }
  changed_.notify_all();
}

// Whatever escapes the scanning loop (memory exhausted while queueing) is
// handed to the caller too, after the chunks already queued.
void FastaScan::scan_loop() {
  try {
    scan_groups();
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      broken_ = std::current_exception();
    }
    changed_.notify_all();  // the consumer would see it at its next check, a slice later
  }
}

// The next tasks, once the budget has room for them: the blocks cut short
// (oldest first), then new blocks. When the budget is spent on chunks held
// back and nothing is queued for the caller, only the oldest block goes on,
// since its chunks are the ones due. Empty when stopped or when nothing is left.
std::vector<FastaScan::Task> FastaScan::next_group(std::deque<Task>& continuing,
                                                   std::size_t held_bytes, std::uint64_t& numbered,
                                                   Entry<Block>& end_entry, bool& input_over) {
  std::vector<Task> group;
  std::unique_lock lock(mutex_);
  const std::size_t making = group_size_ * chunk_bytes_;
  changed_.wait(lock, [&] {
    return stop_.load() || results_.empty() ||
           results_bytes_ + held_bytes + making <= options_.memory_budget;
  });
  if (stop_.load()) return group;
  if (results_bytes_ + held_bytes + making > options_.memory_budget && !continuing.empty()) {
    group.push_back(std::move(continuing.front()));
    continuing.pop_front();
    return group;
  }
  while (group.size() < group_size_ && !continuing.empty()) {
    group.push_back(std::move(continuing.front()));
    continuing.pop_front();
  }
  if (group.size() == group_size_ || input_over) return group;
  // New blocks: wait for one unless there is work already.
  changed_.wait(lock, [&] { return stop_.load() || !group.empty() || !blocks_.empty(); });
  if (stop_.load()) return {};
  while (group.size() < group_size_ && !blocks_.empty()) {
    Entry<Block> entry = std::move(blocks_.front());
    blocks_.pop_front();
    if (!entry.value) {
      end_entry = std::move(entry);
      input_over = true;
      break;
    }
    Task task;
    task.block = std::make_shared<const Block>(std::move(*entry.value));
    task.number = numbered++;
    group.push_back(std::move(task));
  }
  lock.unlock();
  changed_.notify_all();
  return group;
}

void FastaScan::scan_groups() {
  std::deque<Task> continuing;                               // blocks cut short, oldest first
  std::map<std::pair<std::uint64_t, std::size_t>, Held> held;  // chunks made ahead of their turn
  std::size_t held_bytes = 0;
  std::uint64_t due_block = 0;   // the chunk due next: its block ...
  std::size_t due_chunk = 0;     // ... and its place within the block
  std::uint64_t numbered = 0;    // blocks taken so far
  Entry<Block> end_entry;
  bool input_over = false;
  const std::function<bool()> stopping = [this] { return stop_.load(); };

  std::vector<Task> group;
  std::vector<ScanChunk> chunks;
  std::vector<BlockCursor> reached;
  while (true) {
    group = next_group(continuing, held_bytes, numbered, end_entry, input_over);
    if (stop_.load()) return;
    if (group.empty()) break;  // the input is over and every block done

    chunks.clear();
    chunks.resize(group.size());
    reached.assign(group.size(), BlockCursor{});
    try {
      const PoolTask run_task = [&](std::size_t i, const StopSignal&) {
        const Task& task = group[i];
        const Block& block = *task.block;
        ScanChunk& chunk = chunks[i];
        std::unique_ptr<ScanScratch> scratch = scratches_->take();
        if (line_format_) {
          LineSink sink(*line_format_, options_.scan.strand, chunk.text);
          reached[i] = scan_block(*motifs_, block, options_.scan, *scratch, sink, task.from, chunk_bytes_,
                                  &stop_);
          chunk.hit_count = sink.hits();
          chunk.name_notes = sink.notes();
        } else {
          ColumnSink sink(*motifs_, block, options_.scan);
          reached[i] = scan_block(*motifs_, block, options_.scan, *scratch, sink, task.from, chunk_bytes_,
                                  &stop_);
          chunk.hits = sink.take();
          chunk.hit_count = chunk.hits.size();
        }
        scratches_->give_back(std::move(scratch));
        chunk.letters = task.chunk == 0 ? block.letters : 0;
        if (task.chunk == 0) {
          for (const BlockPart& part : block.parts) {
            if (part.at_record_end) chunk.record_lengths.push_back(part.offset + part.size);
          }
        }
        chunk.input_bytes = block.input_bytes;
      };
      if (pool_->run(group.size(), run_task, stopping) == RunOutcome::kInterrupted) return;
    } catch (...) {
      Entry<ScanChunk> failure;
      failure.failure = std::current_exception();
      std::lock_guard lock(mutex_);
      results_.push_back(std::move(failure));
      changed_.notify_all();
      return;
    }
    if (stop_.load()) return;

    // Output order: the chunk due goes out, then any held chunks now due.
    std::vector<Entry<ScanChunk>> ready;
    std::deque<Task> cut_short;
    std::uint64_t letters = 0;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < group.size(); ++i) {
      Task& task = group[i];
      const bool last = reached[i].part >= task.block->parts.size();
      letters += chunks[i].letters;
      bytes += chunks[i].bytes();
      held_bytes += chunks[i].bytes();
      held.emplace(std::make_pair(task.number, task.chunk), Held{std::move(chunks[i]), last});
      if (!last) cut_short.push_back({task.block, task.number, task.chunk + 1, reached[i]});
    }
    for (auto due = held.find({due_block, due_chunk}); due != held.end();
         due = held.find({due_block, due_chunk})) {
      held_bytes -= due->second.chunk.bytes();
      if (due->second.last) {
        ++due_block;
        due_chunk = 0;
      } else {
        ++due_chunk;
      }
      ready.push_back({std::move(due->second.chunk), nullptr});
      held.erase(due);
    }
    while (!continuing.empty()) {  // older tasks that did not fit into this group stay behind these
      cut_short.push_back(std::move(continuing.front()));
      continuing.pop_front();
    }
    continuing = std::move(cut_short);
    std::sort(continuing.begin(), continuing.end(),
              [](const Task& a, const Task& b) { return a.number < b.number; });
    adapt_block_size(letters, bytes);
    {
      std::lock_guard lock(mutex_);
      for (Entry<ScanChunk>& entry : ready) {
        results_bytes_ += entry.value->bytes();
        results_.push_back(std::move(entry));
      }
    }
    changed_.notify_all();
  }
  Entry<ScanChunk> end;
  end.failure = end_entry.failure;
  std::lock_guard lock(mutex_);
  results_.push_back(std::move(end));
  changed_.notify_all();
}

// Aims the next blocks at half a chunk of output: at most four times the
// letters of the last ones, within [kSmallestBlockLetters, largest_block_].
void FastaScan::adapt_block_size(std::uint64_t letters, std::size_t bytes) {
  if (letters == 0) return;
  const std::size_t current = block_letters_.load();
  const double per_letter = static_cast<double>(bytes) / static_cast<double>(letters);
  const double aimed = per_letter > 0 ? static_cast<double>(chunk_bytes_) / 2 / per_letter : 1e18;
  const double low = static_cast<double>(kSmallestBlockLetters);
  const double next = std::clamp(aimed, low, std::max(low, 4.0 * static_cast<double>(current)));
  block_letters_.store(std::min(largest_block_, static_cast<std::size_t>(next)));
}

std::optional<ScanChunk> FastaScan::next(const std::function<bool()>& interrupted) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (finished_) return std::nullopt;
    if (!results_.empty() || broken_) break;
    if (changed_.wait_for(lock, kWaitSlice, [&] { return !results_.empty() || broken_; })) break;
    if (interrupted) {
      lock.unlock();
      const bool stop = interrupted();
      if (stop) {
        close();
        throw ScanInterrupted();
      }
      lock.lock();
    }
  }
  if (results_.empty()) {
    finished_ = true;
    std::rethrow_exception(broken_);
  }
  Entry<ScanChunk> entry = std::move(results_.front());
  results_.pop_front();
  if (entry.value) results_bytes_ -= entry.value->bytes();
  if (!entry.value) finished_ = true;
  lock.unlock();
  changed_.notify_all();
  if (entry.failure) std::rethrow_exception(entry.failure);
  if (!entry.value) return std::nullopt;
  bytes_read_ = entry.value->input_bytes;
  bases_scanned_ += entry.value->letters;
  record_lengths_.insert(record_lengths_.end(), entry.value->record_lengths.begin(),
                         entry.value->record_lengths.end());
  hits_total_ += entry.value->hit_count;
  return std::move(entry.value);
}

}  // namespace vok::stream

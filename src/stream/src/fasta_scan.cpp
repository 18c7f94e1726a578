#include "stream/fasta_scan.hpp"

#include <algorithm>
#include <chrono>

#include "stream/byte_source.hpp"
#include "stream/errors.hpp"
#include "stream/fasta_blocks.hpp"
#include "worker_pool.hpp"

namespace vok::stream {
namespace {
constexpr auto kWaitSlice = std::chrono::milliseconds(50);
// Blocks start small and grow while their hits stay few, so that loose
// thresholds cannot make one block's hits exhaust memory.
constexpr std::size_t kFirstBlockLetters = 1 << 16;
constexpr std::size_t kSmallestBlockLetters = 1 << 12;
}  // namespace

FastaScan::FastaScan(std::shared_ptr<const MotifSet> motifs, std::vector<std::string> paths,
                     const FastaScanOptions& options)
    : motifs_(std::move(motifs)),
      options_(options),
      paths_(std::move(paths)),
      block_letters_(std::min(options.block_letters, kFirstBlockLetters)) {
  std::uint64_t total = 0;
  bool known = true;
  for (const std::string& path : paths_) {
    const auto size = input_size(path);
    if (size) total += *size;
    known = known && size.has_value();
  }
  if (known) bytes_total_ = total;
  if (options_.threads > 0) {
    own_pool_ = std::make_unique<WorkerPool>(options_.threads);
    pool_ = own_pool_.get();
  } else {
    pool_ = &shared_worker_pool();
  }
  group_size_ = 2 * pool_->thread_count();
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
}

void FastaScan::read_loop() {
  Entry<Block> last;
  try {
    FastaBlockReader reader(paths_, options_.mask, block_letters_.load(), motifs_->context(),
                            &stop_);
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
// handed to the caller too, after the batches already queued.
void FastaScan::scan_loop() {
  try {
    scan_groups();
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      broken_ = std::current_exception();
    }
    changed_.notify_all();
  }
}

void FastaScan::scan_groups() {
  std::vector<ScanScratch> scratch(group_size_);
  std::vector<Block> group;
  std::vector<Scanned> scanned;
  const std::function<bool()> stopping = [this] { return stop_.load(); };
  while (true) {
    // Wait for one block, then take what else is ready (up to a group), and
    // note how the input ended.
    group.clear();
    Entry<Block> end_entry;
    bool at_end = false;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_.load() || !blocks_.empty(); });
      if (stop_.load()) return;
      while (group.size() < group_size_ && !blocks_.empty()) {
        Entry<Block> entry = std::move(blocks_.front());
        blocks_.pop_front();
        if (!entry.value) {
          end_entry = std::move(entry);
          at_end = true;
          break;
        }
        group.push_back(std::move(*entry.value));
      }
    }
    changed_.notify_all();

    Entry<Scanned> failure;
    scanned.assign(group.size(), Scanned{});
    try {
      const PoolTask task = [&](std::size_t i, const StopSignal&) {
        scanned[i].batch = scan_block(*motifs_, group[i], options_.scan, scratch[i]);
        scanned[i].letters = group[i].letters;
        scanned[i].input_bytes = group[i].input_bytes;
        for (const BlockPart& part : group[i].parts) {
          if (part.at_record_end) scanned[i].record_lengths.push_back(part.offset + part.size);
        }
      };
      if (!group.empty() && pool_->run(group.size(), task, stopping) == RunOutcome::kInterrupted) {
        return;
      }
    } catch (...) {
      failure.failure = std::current_exception();
      scanned.clear();
      at_end = true;
    }
    if (failure.failure == nullptr) failure.failure = end_entry.failure;
    adapt_block_size(scanned);

    std::unique_lock lock(mutex_);
    for (Scanned& result : scanned) {
      changed_.wait(lock, [&] { return stop_.load() || results_.size() < group_size_; });
      if (stop_.load()) return;
      results_.push_back({std::move(result), nullptr});
    }
    if (at_end) results_.push_back(std::move(failure));
    lock.unlock();
    changed_.notify_all();
    if (at_end) return;
  }
}

// Aims the next blocks at options_.block_hits hits: at most four times the
// letters of the last ones, within [kSmallestBlockLetters, block_letters].
void FastaScan::adapt_block_size(const std::vector<Scanned>& scanned) {
  std::uint64_t letters = 0, hits = 0;
  for (const Scanned& result : scanned) {
    letters += result.letters;
    hits += result.batch.size();
  }
  if (letters == 0) return;
  const std::size_t current = block_letters_.load();
  const double per_letter = static_cast<double>(hits) / static_cast<double>(letters);
  const double aimed = per_letter > 0 ? static_cast<double>(options_.block_hits) / per_letter : 1e18;
  const double low = static_cast<double>(kSmallestBlockLetters);
  const double next = std::clamp(aimed, low, std::max(low, 4.0 * static_cast<double>(current)));
  block_letters_.store(std::min(options_.block_letters, static_cast<std::size_t>(next)));
}

std::optional<HitBatch> FastaScan::next(const std::function<bool()>& interrupted) {
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
  Entry<Scanned> entry = std::move(results_.front());
  results_.pop_front();
  if (!entry.value) finished_ = true;
  lock.unlock();
  changed_.notify_all();
  if (entry.failure) std::rethrow_exception(entry.failure);
  if (!entry.value) return std::nullopt;
  bytes_read_ = entry.value->input_bytes;
  bases_scanned_ += entry.value->letters;
  record_lengths_.insert(record_lengths_.end(), entry.value->record_lengths.begin(),
                         entry.value->record_lengths.end());
  hits_total_ += entry.value->batch.size();
  return std::move(entry.value->batch);
}

}  // namespace vok::stream

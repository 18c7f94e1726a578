#pragma once
// The streaming scan of FASTA inputs: a reader thread cuts the input into
// blocks, a scanning thread runs groups of blocks on the worker pool, and the
// caller takes one batch of hits per block, in input order.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stream/block.hpp"
#include "stream/block_scan.hpp"
#include "stream/hit_batch.hpp"
#include "stream/motif_set.hpp"

namespace vok {
class WorkerPool;
}

namespace vok::stream {

struct FastaScanOptions {
  ScanOptions scan;                        // strands and partial windows
  bool mask = false;                       // lower-case letters end segments
  std::size_t threads = 0;                 // 0: the shared pool; else a private pool of this size
  std::size_t block_letters = 1 << 20;     // most letters read per block
  std::size_t block_hits = 1 << 20;        // hits per block aimed at, by shrinking blocks
};

class FastaScan {
 public:
  // Checks that every input can be examined (FileError otherwise); reading
  // starts at once on a background thread.
  FastaScan(std::shared_ptr<const MotifSet> motifs, std::vector<std::string> paths,
            const FastaScanOptions& options);
  ~FastaScan();
  FastaScan(const FastaScan&) = delete;
  FastaScan& operator=(const FastaScan&) = delete;

  // The next block's hits; nullopt at the end. Rethrows a failure of the
  // reader or the scan in input order. Calls `interrupted` about every 50 ms
  // while waiting; a true answer stops everything and throws ScanInterrupted.
  std::optional<HitBatch> next(const std::function<bool()>& interrupted);

  // Stops and joins the threads; later next() calls return nullopt.
  void close();

  std::uint64_t bytes_read() const { return bytes_read_; }
  std::optional<std::uint64_t> bytes_total() const { return bytes_total_; }
  std::uint64_t bases_scanned() const { return bases_scanned_; }
  // Letters of each record read to its end so far, in input order.
  const std::vector<std::uint64_t>& record_lengths() const { return record_lengths_; }
  std::uint64_t hits_total() const { return hits_total_; }

 private:
  struct Scanned {
    HitBatch batch;               // the block's hits
    std::uint64_t letters = 0;    // letters first read into the block
    std::uint64_t input_bytes = 0;  // raw input consumed when the block closed
    std::vector<std::uint64_t> record_lengths;  // letters of the records that end in the block
  };
  // A queue entry: a value, or the failure that ends the stream at that point.
  template <typename T>
  struct Entry {
    std::optional<T> value;        // set unless this is the end
    std::exception_ptr failure;    // set when the producer failed here
  };

  void read_loop();
  void scan_loop();
  void scan_groups();
  void adapt_block_size(const std::vector<Scanned>& scanned);

  std::shared_ptr<const MotifSet> motifs_;   // kept alive for the threads
  FastaScanOptions options_;                 // as given
  std::unique_ptr<WorkerPool> own_pool_;     // the private pool, if threads > 0
  WorkerPool* pool_;                         // the pool scanned on
  std::size_t group_size_;                   // blocks handed to the pool at once
  std::vector<std::string> paths_;           // inputs

  std::mutex mutex_;                          // guards the two queues and the flags
  std::condition_variable changed_;           // any queue changed, or stop
  std::deque<Entry<Block>> blocks_;           // read, not yet scanned
  std::deque<Entry<Scanned>> results_;        // scanned, not yet taken
  std::atomic<bool> stop_{false};             // everything should end
  std::atomic<std::size_t> block_letters_;    // letters per block the reader uses next
  bool finished_ = false;                     // the caller has seen the end (or a failure)
  std::exception_ptr broken_;                 // a thread's failure that no queue entry carries

  std::thread reader_;   // runs read_loop
  std::thread scanner_;  // runs scan_loop

  std::optional<std::uint64_t> bytes_total_;  // sum of the inputs' sizes, unknown for streams
  std::uint64_t bytes_read_ = 0;              // raw input bytes behind the batches taken
  std::uint64_t bases_scanned_ = 0;           // letters in the batches taken
  std::vector<std::uint64_t> record_lengths_; // letters of each record ended in the batches taken
  std::uint64_t hits_total_ = 0;              // hits in the batches taken
};

}  // namespace vok::stream

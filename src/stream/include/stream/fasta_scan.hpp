#pragma once
// The streaming scan of FASTA inputs: a reader thread cuts the input into
// blocks, a scanning thread runs groups of blocks on the worker pool, and the
// caller takes the hits chunk by chunk, in input order: as columns, or as
// lines that the workers formatted, so that the caller only writes them.
//
// Memory stays within a budget of bytes at any hit density: a block's scan
// stops once its output reaches a chunk's share of the budget and goes on in
// a later group, and no group starts while the chunks waiting to be taken
// (or made ahead of their turn) would push the total past the budget.
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
#include "stream/hit_format.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"
#include "stream/text_buffer.hpp"

namespace vok {
class WorkerPool;
}

namespace vok::stream {

// Lines formatted by the workers, instead of columns.
struct LineOutput {
  HitFormat format = HitFormat::kTsv;          // line format
  std::shared_ptr<const HitPValues> pvalues;   // tables for a pvalue column; null: none
};

struct FastaScanOptions {
  ScanOptions scan;                          // strands, partial windows, sites
  bool mask = false;                         // lower-case letters end segments
  std::size_t threads = 0;                   // 0: the shared pool; else a private pool of this size
  std::size_t block_letters = 1 << 20;       // most letters read per block
  std::optional<LineOutput> lines;           // set: chunks hold formatted lines, not columns
  std::size_t memory_budget = 64u << 20;     // bytes of hits held at once (queued, held back, being made)
};

// One stretch of the output, in input order.
struct ScanChunk {
  HitBatch hits;                  // the hits as columns (none when lines are formatted)
  TextBuffer text;                // the hits as lines (with LineOutput)
  std::size_t hit_count = 0;      // hits in this chunk
  NameNotes name_notes;           // what the record names of its lines met (with LineOutput)
  std::uint64_t letters = 0;      // letters first read into its block (on the block's first chunk)
  std::uint64_t input_bytes = 0;  // raw input consumed when its block was closed (running total)
  std::vector<std::uint64_t> record_lengths;  // letters of the records ending in its block (first chunk)

  // Bytes of memory the hits take.
  std::size_t bytes() const { return text.capacity() + hits.size() * hits.columns.bytes_per_hit(); }
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

  // The next chunk of hits; nullopt at the end. Rethrows a failure of the
  // reader or the scan in input order. Calls `interrupted` about every 50 ms
  // while waiting; a true answer stops everything and throws ScanInterrupted.
  std::optional<ScanChunk> next(const std::function<bool()>& interrupted);

  // Stops and joins the threads; later next() calls return nullopt.
  void close();

  std::uint64_t bytes_read() const { return bytes_read_; }
  std::optional<std::uint64_t> bytes_total() const { return bytes_total_; }
  std::uint64_t bases_scanned() const { return bases_scanned_; }
  // Letters of each record read to its end so far, in input order.
  const std::vector<std::uint64_t>& record_lengths() const { return record_lengths_; }
  std::uint64_t hits_total() const { return hits_total_; }

 private:
  // A queue entry: a value, or the failure that ends the stream at that point.
  template <typename T>
  struct Entry {
    std::optional<T> value;        // set unless this is the end
    std::exception_ptr failure;    // set when the producer failed here
  };
  // A stretch of one block to scan, making one chunk.
  struct Task {
    std::shared_ptr<const Block> block;  // the block
    std::uint64_t number = 0;            // the block's place in input order
    std::size_t chunk = 0;               // the chunk's place within the block
    BlockCursor from;                    // where its scan resumes
  };
  // A chunk made ahead of its turn, kept back until the chunks before it are queued.
  struct Held {
    ScanChunk chunk;        // the hits
    bool last = false;      // the block's last chunk
  };
  class Scratches;

  void read_loop();
  void scan_loop();
  void scan_groups();
  std::vector<Task> next_group(std::deque<Task>& continuing, std::size_t held_bytes,
                               std::uint64_t& numbered, Entry<Block>& end_entry, bool& input_over);
  void adapt_block_size(std::uint64_t letters, std::size_t bytes);

  std::shared_ptr<const MotifSet> motifs_;   // kept alive for the threads
  FastaScanOptions options_;                 // as given
  std::unique_ptr<HitLineFormat> line_format_;  // the line layout, with options_.lines
  std::unique_ptr<WorkerPool> own_pool_;     // the private pool, if threads > 0
  WorkerPool* pool_;                         // the pool scanned on
  std::size_t group_size_;                   // tasks handed to the pool at once
  std::size_t chunk_bytes_;                  // output of one task, at most (plus one slice)
  std::size_t largest_block_;                // letters per block, at most
  std::vector<std::string> paths_;           // inputs
  std::unique_ptr<Scratches> scratches_;     // workers' buffers, one per task running

  std::mutex mutex_;                          // guards the two queues and the flags
  std::condition_variable changed_;           // any queue changed, or stop
  std::deque<Entry<Block>> blocks_;           // read, not yet scanned
  std::deque<Entry<ScanChunk>> results_;      // scanned, not yet taken
  std::size_t results_bytes_ = 0;             // memory of the chunks in results_
  std::atomic<bool> stop_{false};             // everything should end
  std::atomic<std::size_t> block_letters_;    // letters per block the reader uses next
  bool finished_ = false;                     // the caller has seen the end (or a failure)
  std::exception_ptr broken_;                 // a thread's failure that no queue entry carries

  std::thread reader_;   // runs read_loop
  std::thread scanner_;  // runs scan_loop

  std::optional<std::uint64_t> bytes_total_;  // sum of the inputs' sizes, unknown for streams
  std::uint64_t bytes_read_ = 0;              // raw input bytes behind the chunks taken
  std::uint64_t bases_scanned_ = 0;           // letters in the chunks taken
  std::vector<std::uint64_t> record_lengths_; // letters of each record ended in the chunks taken
  std::uint64_t hits_total_ = 0;              // hits in the chunks taken
};

}  // namespace vok::stream

// The cells of an input as Arrow record batches, for the loaders: a second
// pass of the tokenizer over a source the engine has counted, so that every
// library reads the rows and cells the pass read, and none of its own; each
// column's cells are text as written, or converted by the column's verdict
// (load/typed_cells.h). The batches leave through the Arrow C stream
// interface, which pyarrow, pandas, Polars and DuckDB all import. The rows
// go through the pass's pipeline (pass/pass_pipeline.h): the workers build
// each chunk's batches, and the calling thread hands them out in file order.
//
//   auto batches = std::make_unique<TextBatches>(std::move(input), layout);
//   auto misfits = batches->misfits();  // the cells that did not fit, so far
//   exportTextBatches(std::move(batches), failure, &stream);  // stream.get_next(...)
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "io/input_stream.h"
#include "load/typed_cells.h"
#include "nanoarrow.h"
#include "pass/pass_stats.h"
#include "pass/settled_chunk.h"

namespace quorvel {

class PassPipeline;

// How the rows of an input become batches.
struct TextBatchLayout {
  char delimiter = ',';
  // Whether the first row is a header, which is read past.
  bool headerRow = true;
  // The columns' names: one column per name, the batches' width.
  std::vector<std::string> names;
  // Rows per batch, at least 1; the last batch may hold fewer.
  std::size_t batchRows = std::size_t{1} << 16;
  // One per name; when empty, every column is large_utf8, every cell as written.
  std::vector<CellConversion> conversions;
  // The misfits of each column kept as examples, the first ones read.
  std::size_t misfitExamples = 0;
  // Of the pipeline, the calling thread included; 0: one per core, as a
  // pass. Tests force 1 or 2, and small chunks to cut the rows often.
  unsigned threads = 0;
  // Half a pass's chunk: a load holds two rounds of chunks, each with its
  // bytes, its fields and its batches, beside the table it fills, and this
  // keeps them to a small share of it.
  std::size_t chunkBytes = kLoadChunkBytes;
  static constexpr std::size_t kLoadChunkBytes = std::size_t{1} << 18;
};

// A cell written but not of its column's type, read as a null.
struct Misfit {
  std::int64_t row;  // the data row, from 0 at the first one after the header
  std::string text;  // as written, bytes as read
};

struct ColumnMisfits {
  std::int64_t cells = 0;
  std::vector<Misfit> first;  // in the order of the rows
};

// Contracts:
//  - The rows are those of the pass (Inf::inferTypes over the same input and
//    layout): the row iterator of CsvParser, from the first row after the
//    header on. Their count is the pass's getNumRows().
//  - Cell c of a row is its text, an empty cell an empty string, bytes as
//    read (NUL and invalid UTF-8 too), converted by the column's conversion
//    (a misfit, which does not fit, is a null, counted in misfits()); a row
//    too short to reach column c has a null there. A blank line is, as the pass counts it, a row of
//    one empty cell: nulls after it. Cells beyond the last column are dropped.
//  - A batch holds rows of one chunk of the pipeline: at most batchRows, and
//    fewer at the end of each chunk, since a worker builds a chunk's batches
//    apart and joining them would copy every cell.
//  - The input is read lazily: the first next() reads past the header, and
//    a next() that has no batch at hand runs a step of the pipeline. Memory
//    holds the batches not yet delivered, at most a round of chunks'
//    worth, and the pipeline's two rounds of chunks, besides the widest row:
//    a few MiB per thread with chunks of kLoadChunkBytes.
//  - next() throws what a read of the input throws (see InputStream), and
//    std::bad_alloc when a batch cannot grow, on a worker or not, after the
//    batches of the rows before. After a throw the object is spent: next()
//    throws std::logic_error.
//  - Not thread-safe: one caller at a time, on any thread the input may be
//    read from. The workers neither read nor call back.
class TextBatches {
 public:
  TextBatches(std::shared_ptr<InputStream> input, TextBatchLayout layout);
  ~TextBatches();
  TextBatches(const TextBatches&) = delete;
  TextBatches& operator=(const TextBatches&) = delete;

  // The schema of every batch: a struct of one nullable column per name,
  // of its conversion's type. `out` is released by its owner.
  void schema(ArrowSchema* out) const;
  // Moves the next batch into `out` and returns true; false, leaving `out`
  // untouched, once every row was delivered (never an empty batch).
  bool next(ArrowArray* out);
  // The misfits of each column in the batches delivered so far, and in the
  // few read ahead, the object updated by next(): read it between calls of
  // next(), or after the last, also once the batches were exported.
  std::shared_ptr<const std::vector<ColumnMisfits>> misfits() const { return misfits_; }
  // What the pipeline did, so far.
  std::shared_ptr<const PassStats> stats() const { return stats_; }
  // How many of the batches delivered so far hold, in a text column, a cell
  // that is not UTF-8 (undecodable bytes kept as read): such a batch is not
  // Arrow's valid text, and its consumer must find the cell and refuse it.
  std::shared_ptr<const std::int64_t> notUtf8Batches() const { return notUtf8Batches_; }

 private:
  bool fill(ArrowArray* out);
  void start();
  void step();
  void take(const SettledChunk& chunk);
  void addMisfits(const std::vector<ColumnMisfits>& chunk);

  std::shared_ptr<InputStream>
      input_;  // shared with whoever opened it, who may ask it how much it read
  TextBatchLayout layout_;
  ArrowSchema schema_;
  std::unique_ptr<PassPipeline> pipeline_;  // from the first next() on
  struct ReadyBatch {
    ArrowArray array;
    bool notUtf8;
  };
  std::deque<ReadyBatch> ready_;  // settled, not yet delivered, in file order
  std::shared_ptr<std::vector<ColumnMisfits>> misfits_;
  std::shared_ptr<PassStats> stats_;
  std::shared_ptr<std::int64_t> notUtf8Batches_;
  std::int64_t rowsSettled_ = 0;  // before the chunk being taken
  bool ended_ = false;            // every chunk was taken
  std::exception_ptr failure_;    // of a step, raised once the batches before are out
  bool spent_ = false;
};

// Moves `batches` into `out`, a stream that reads one batch per get_next().
//
// Failures: what next() throws is caught in get_next(), which returns ENOMEM
// for std::bad_alloc and EIO for anything else; get_last_error() then gives
// its what(), and `*failure` keeps it as thrown, for a caller that wants it
// back unchanged (the binding raises a Python exception as itself). Every
// later get_next() returns the same error. get_schema() fails only for want
// of memory. `failure` may be null.
void exportTextBatches(std::unique_ptr<TextBatches> batches,
                       std::shared_ptr<std::exception_ptr> failure, ArrowArrayStream* out);

}  // namespace quorvel

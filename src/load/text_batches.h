// The cells of an input as Arrow record batches, for the loaders: a second
// pass of the tokenizer over a source the engine has counted, so that every
// library reads the rows and cells the pass read, and none of its own; each
// column's cells are text as written, or converted by the column's verdict
// (load/typed_cells.h). The batches leave through the Arrow C stream
// interface, which pyarrow, pandas, Polars and DuckDB all import.
//
//   auto batches = std::make_unique<TextBatches>(std::move(input), layout);
//   auto misfits = batches->misfits();  // the cells that did not fit, so far
//   exportTextBatches(std::move(batches), failure, &stream);  // stream.get_next(...)
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "io/input_stream.h"
#include "load/typed_cells.h"
#include "nanoarrow.h"
#include "parser.hpp"

namespace quorvel {

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
//  - The input is read lazily: the first next() reads past the header, each
//    next() one batch of rows. Memory holds one batch and the tokenizer's
//    buffer, besides the widest row.
//  - next() throws what a read of the input throws (see InputStream), and
//    std::bad_alloc when a batch cannot grow. After a throw the object is
//    spent: next() throws std::logic_error.
//  - Not thread-safe: one caller at a time, on any thread the input may be
//    read from.
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
  // The misfits of each column in the batches delivered so far, the object
  // updated by next(): read it between calls of next(), or after the last,
  // also once the batches were exported.
  std::shared_ptr<const std::vector<ColumnMisfits>> misfits() const { return misfits_; }

 private:
  bool fill(ArrowArray* out);
  void start();
  std::size_t appendRows(ArrowArray* batch);
  void appendRow(ArrowArray* batch, const std::vector<std::string>& row);
  void recordMisfit(std::size_t column, const std::string& cell);

  std::shared_ptr<InputStream>
      input_;  // shared with whoever opened it, who may ask it how much it read
  TextBatchLayout layout_;
  std::unique_ptr<CsvParser> parser_;         // about INPUTBUF_CAP bytes: on the heap
  std::unique_ptr<CsvParser::iterator> row_;  // the next row not yet delivered
  std::vector<TypedColumn> columns_;
  ArrowSchema schema_;
  std::shared_ptr<std::vector<ColumnMisfits>> misfits_;
  std::int64_t rowsDelivered_ = 0;  // before the row being appended
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

// The batches of cells and the C stream around them.
#include "load/text_batches.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "load/arrow_status.h"
#include "parser.hpp"
#include "pass/pass_pipeline.h"

namespace quorvel {

namespace {

// Releases what it holds, unless moved out or let go: a batch or schema half
// built when a throw leaves.
template <typename Arrow>
struct Releasing {
  Arrow* held;
  ~Releasing() {
    if (held != nullptr && held->release != nullptr) held->release(held);
  }
};

// Buffers of kMappedBytes and more are mappings of their own, made and
// unmade here: freed, their pages go back to the system at once. malloc
// would put them in its heap once its threshold for mapping a block has
// risen (glibc raises it to the size of each mapped block freed, and the
// pass frees large ones), and the heap keeps freed pages: every load would
// leave its largest batches' worth of memory behind.
constexpr std::int64_t kMappedBytes = std::int64_t{128} << 10;

bool isMapped(std::int64_t size) { return size >= kMappedBytes; }

std::uint8_t* allocateBuffer(std::int64_t size) {
  if (!isMapped(size)) {
    return static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(size)));
  }
  void* block = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(block);
}

void freeBuffer(ArrowBufferAllocator*, std::uint8_t* data, std::int64_t size) {
  if (data == nullptr) return;
  if (isMapped(size)) {
    ::munmap(data, static_cast<std::size_t>(size));
  } else {
    std::free(data);
  }
}

// nanoarrow hands back the size it was given for `data`, which tells a
// mapping from a block of malloc's.
std::uint8_t* reallocateBuffer(ArrowBufferAllocator* allocator, std::uint8_t* data,
                               std::int64_t oldSize, std::int64_t newSize) {
  if (!isMapped(oldSize) && !isMapped(newSize)) {
    return static_cast<std::uint8_t*>(std::realloc(data, static_cast<std::size_t>(newSize)));
  }
  if (isMapped(oldSize) && isMapped(newSize)) {
    void* moved = ::mremap(data, static_cast<std::size_t>(oldSize),
                           static_cast<std::size_t>(newSize), MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(moved);
  }
  std::uint8_t* moved = allocateBuffer(newSize);
  if (moved == nullptr) return nullptr;
  if (data != nullptr) {
    std::memcpy(moved, data, static_cast<std::size_t>(std::min(oldSize, newSize)));
  }
  freeBuffer(allocator, data, oldSize);
  return moved;
}

// Before anything is appended: nanoarrow takes an allocator only for a buffer
// that holds nothing yet.
void allocateLargeBuffersApart(ArrowArray* array) {
  const ArrowBufferAllocator allocator{&reallocateBuffer, &freeBuffer, nullptr};
  for (int b = 0; b < NANOARROW_MAX_FIXED_BUFFERS; ++b) {
    checkArrow(ArrowBufferSetAllocator(ArrowArrayBuffer(array, b), allocator), "buffer");
  }
  for (std::int64_t c = 0; c < array->n_children; ++c) {
    allocateLargeBuffersApart(array->children[c]);
  }
}

void buildSchema(const std::vector<std::string>& names, const std::vector<TypedColumn>& columns,
                 ArrowSchema* out) {
  ArrowSchemaInit(out);
  Releasing<ArrowSchema> guard{out};
  checkArrow(ArrowSchemaSetTypeStruct(out, static_cast<std::int64_t>(names.size())), "schema");
  for (std::size_t c = 0; c < names.size(); ++c) {
    columns[c].setType(out->children[c]);
    checkArrow(ArrowSchemaSetName(out->children[c], names[c].c_str()), "schema");
  }
  guard.held = nullptr;
}

std::vector<TypedColumn> columnsOf(const TextBatchLayout& layout) {
  if (layout.conversions.empty()) {
    return std::vector<TypedColumn>(layout.names.size(), TypedColumn(CellConversion{}));
  }
  if (layout.conversions.size() != layout.names.size()) {
    throw std::invalid_argument("the batches need one conversion per column");
  }
  return std::vector<TypedColumn>(layout.conversions.begin(), layout.conversions.end());
}

// A chunk's rows as batches of at most batchRows rows, and its misfits with
// rows counted from the chunk's first, built on the thread that tokenized
// it. Each chunk buffer has its own columns, whose scratch is not shared.
class BuiltChunk final : public ChunkProduct {
 public:
  BuiltChunk(const TextBatchLayout& layout, const ArrowSchema& schema)
      : layout_(layout), schema_(schema), columns_(columnsOf(layout)) {}
  ~BuiltChunk() override { releaseBatches(); }
  BuiltChunk(const BuiltChunk&) = delete;
  BuiltChunk& operator=(const BuiltChunk&) = delete;

  void build(const ChunkTokenizer& rows) override;

  // The batches in row order; the taker moves them out.
  std::vector<ArrowArray>& batches() { return batches_; }
  // Per batch, whether its text columns hold cells that are not UTF-8.
  const std::vector<bool>& notUtf8() const { return notUtf8_; }
  const std::vector<ColumnMisfits>& misfits() const { return misfits_; }

 private:
  void buildBatch(const ChunkTokenizer& rows, std::size_t row, std::size_t end, std::size_t field);
  void findRowStarts(const ChunkTokenizer& rows, std::size_t row, std::size_t end,
                     std::size_t field);
  void gatherCells(const ChunkTokenizer& rows, std::size_t column, std::size_t row);
  void appendColumns(ArrowArray* batch, const ChunkTokenizer& rows, std::size_t row);
  bool finishColumns();
  void noteMisfit(std::size_t column, std::size_t row, std::string_view cell);
  void releaseBatches();

  const TextBatchLayout& layout_;
  const ArrowSchema& schema_;
  std::vector<TypedColumn> columns_;
  std::vector<ArrowArray> batches_;
  std::vector<bool> notUtf8_;
  std::vector<ColumnMisfits> misfits_;
  std::vector<std::size_t> rowStarts_;      // of the batch's rows, their first fields
  std::vector<std::string_view> cells_;     // of the column being appended, reused
  std::vector<std::uint32_t> misfitCells_;  // their indexes in cells_, reused
};

// A chunk tokenized again is built again: nothing of the first build stays.
void BuiltChunk::build(const ChunkTokenizer& rows) {
  releaseBatches();
  misfits_.assign(columns_.size(), ColumnMisfits{});
  const std::vector<std::uint32_t>& widths = rows.widths();
  std::size_t field = 0;
  for (std::size_t row = 0; row < widths.size();) {
    const std::size_t end = std::min(widths.size(), row + layout_.batchRows);
    buildBatch(rows, row, end, field);
    for (; row < end; ++row) field += widths[row];
  }
}

void BuiltChunk::buildBatch(const ChunkTokenizer& rows, std::size_t row, std::size_t end,
                            std::size_t field) {
  ArrowArray batch;
  checkArrow(ArrowArrayInitFromSchema(&batch, &schema_, nullptr), "batch");
  Releasing<ArrowArray> guard{&batch};
  allocateLargeBuffersApart(&batch);
  checkArrow(ArrowArrayStartAppending(&batch), "batch");
  batch.length = static_cast<std::int64_t>(end - row);
  findRowStarts(rows, row, end, field);
  appendColumns(&batch, rows, row);
  const bool utf8 = finishColumns();
  ArrowError error{};
  checkArrow(ArrowArrayFinishBuildingDefault(&batch, &error), error.message);
  batches_.push_back(batch);
  guard.held = nullptr;
  notUtf8_.push_back(!utf8);
}

// Once per batch, so that each column finds its cells without adding up widths.
void BuiltChunk::findRowStarts(const ChunkTokenizer& rows, std::size_t row, std::size_t end,
                               std::size_t field) {
  rowStarts_.clear();
  for (; row < end; field += rows.widths()[row], ++row) rowStarts_.push_back(field);
}

// A row too short to reach the column has an absent cell there.
void BuiltChunk::gatherCells(const ChunkTokenizer& rows, std::size_t column, std::size_t row) {
  const std::vector<std::uint32_t>& widths = rows.widths();
  cells_.resize(rowStarts_.size());
  for (std::size_t i = 0; i < rowStarts_.size(); ++i) {
    cells_[i] = column < widths[row + i] ? rows.text(rowStarts_[i] + column) : std::string_view();
  }
}

// A column at a time: each column tells its kind once per batch, not per cell.
// Its buffers are sized at once, not grown in steps, whose freed blocks the
// heap would keep: the fixed-width ones by the rows, the text by the cells' bytes.
void BuiltChunk::appendColumns(ArrowArray* batch, const ChunkTokenizer& rows, std::size_t row) {
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    gatherCells(rows, c, row);
    TypedColumn& column = columns_[c];
    column.begin(batch->children[c], batch->length, column.textBytes(cells_));
    misfitCells_.clear();
    column.appendCells(cells_, misfitCells_);
    for (const std::uint32_t i : misfitCells_) noteMisfit(c, row + i, cells_[i]);
  }
}

// Every column is finished, whatever the text of one.
bool BuiltChunk::finishColumns() {
  bool utf8 = true;
  for (TypedColumn& column : columns_) utf8 = column.finish() && utf8;
  return utf8;
}

// The chunk's first misfits are enough: no chunk after it can give one that
// comes earlier in the file.
void BuiltChunk::noteMisfit(std::size_t column, std::size_t row, std::string_view cell) {
  ColumnMisfits& misfits = misfits_[column];
  ++misfits.cells;
  if (misfits.first.size() < layout_.misfitExamples) {
    misfits.first.push_back(Misfit{static_cast<std::int64_t>(row), std::string(cell)});
  }
}

void BuiltChunk::releaseBatches() {
  for (ArrowArray& batch : batches_) {
    if (batch.release != nullptr) batch.release(&batch);
  }
  batches_.clear();
  notUtf8_.clear();
}

}  // namespace

TextBatches::TextBatches(std::shared_ptr<InputStream> input, TextBatchLayout layout)
    : input_(std::move(input)), layout_(std::move(layout)) {
  if (layout_.batchRows == 0) throw std::invalid_argument("a batch must hold at least one row");
  if (layout_.names.empty()) throw std::invalid_argument("the batches need at least one column");
  const std::vector<TypedColumn> columns = columnsOf(layout_);
  misfits_ = std::make_shared<std::vector<ColumnMisfits>>(columns.size());
  stats_ = std::make_shared<PassStats>();
  notUtf8Batches_ = std::make_shared<std::int64_t>(0);
  schema_.release = nullptr;
  buildSchema(layout_.names, columns, &schema_);
}

TextBatches::~TextBatches() {
  // The pipeline's products hold batches built from the schema: they go first.
  pipeline_.reset();
  for (ReadyBatch& batch : ready_) batch.array.release(&batch.array);
  if (schema_.release != nullptr) schema_.release(&schema_);
}

void TextBatches::schema(ArrowSchema* out) const {
  checkArrow(ArrowSchemaDeepCopy(&schema_, out), "schema");
}

bool TextBatches::next(ArrowArray* out) {
  if (spent_) throw std::logic_error("these text batches were ended by a failure");
  spent_ = true;
  const bool delivered = fill(out);
  spent_ = false;
  return delivered;
}

// A step may settle chunks without rows (inside a huge cell): steps go on
// until a batch is at hand or the rows are over.
bool TextBatches::fill(ArrowArray* out) {
  if (!pipeline_ && !ended_) start();
  while (ready_.empty() && !ended_) step();
  if (ready_.empty()) return false;
  ArrowArrayMove(&ready_.front().array, out);
  if (ready_.front().notUtf8) ++*notUtf8Batches_;
  ready_.pop_front();
  return true;
}

// The pass reads the header with a CsvParser and the data rows on the
// pipeline from where it stopped: so does this, so that both read the same
// rows. An input that ends within the header has none.
void TextBatches::start() {
  CsvParser parser(input_->stream());
  parser.delimiter(layout_.delimiter);
  if (layout_.headerRow) parser.begin();
  if (layout_.headerRow && parser.empty()) {
    ended_ = true;
    return;
  }
  const unsigned threads =
      layout_.threads != 0 ? layout_.threads : PassPipeline::threadsByDefault();
  PassPipeline::Setup setup{
      parser.dialect(), layout_.names.size(), threads, layout_.chunkBytes, nullptr, nullptr, {}};
  pipeline_ =
      std::make_unique<PassPipeline>(input_->stream(), parser.unread(), std::move(setup), *stats_);
}

// A step that fails may have settled chunks before the failing one: their
// batches go out first, as the rows before a failure do on one thread.
void TextBatches::step() {
  if (failure_) std::rethrow_exception(failure_);
  const PassPipeline::ProductMaker make = [this] {
    return std::make_unique<BuiltChunk>(layout_, schema_);
  };
  try {
    ended_ = !pipeline_->buildStep(make, [this](const SettledChunk& chunk) { take(chunk); });
  } catch (...) {
    if (ready_.empty()) throw;
    failure_ = std::current_exception();
  }
}

void TextBatches::take(const SettledChunk& chunk) {
  auto& built = static_cast<BuiltChunk&>(*chunk.product);
  addMisfits(built.misfits());
  for (std::size_t b = 0; b < built.batches().size(); ++b) {
    ready_.emplace_back();
    ArrowArrayMove(&built.batches()[b], &ready_.back().array);
    ready_.back().notUtf8 = built.notUtf8()[b];
  }
  rowsSettled_ += static_cast<std::int64_t>(chunk.rows.widths().size());
}

void TextBatches::addMisfits(const std::vector<ColumnMisfits>& chunk) {
  for (std::size_t c = 0; c < chunk.size(); ++c) {
    ColumnMisfits& misfits = (*misfits_)[c];
    misfits.cells += chunk[c].cells;
    for (const Misfit& misfit : chunk[c].first) {
      if (misfits.first.size() == layout_.misfitExamples) break;
      misfits.first.push_back(Misfit{rowsSettled_ + misfit.row, misfit.text});
    }
  }
}

// ---- The C stream ----------------------------------------------------------

namespace {

struct StreamState {
  std::unique_ptr<TextBatches> batches;
  std::shared_ptr<std::exception_ptr> failure;
  int code = 0;  // of the failure that ended the stream; 0 while it runs
  std::string message;

  // Called inside a catch block: keeps what is being handled.
  int fail(int errorCode, const char* what) {
    code = errorCode;
    message = what;
    if (failure) *failure = std::current_exception();
    return code;
  }
};

StreamState& stateOf(ArrowArrayStream* stream) {
  return *static_cast<StreamState*>(stream->private_data);
}

int getSchema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    stateOf(stream).batches->schema(out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

// Nothing may leave a C callback: every failure becomes its code and message.
int getNext(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& state = stateOf(stream);
  if (state.code != 0) return state.code;
  try {
    if (!state.batches->next(out)) out->release = nullptr;
    return 0;
  } catch (const std::bad_alloc& e) {
    return state.fail(ENOMEM, e.what());
  } catch (const std::exception& e) {
    return state.fail(EIO, e.what());
  } catch (...) {
    return state.fail(EIO, "reading the text batches failed with an unknown exception");
  }
}

const char* getLastError(ArrowArrayStream* stream) {
  const StreamState& state = stateOf(stream);
  return state.code != 0 ? state.message.c_str() : nullptr;
}

void release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void exportTextBatches(std::unique_ptr<TextBatches> batches,
                       std::shared_ptr<std::exception_ptr> failure, ArrowArrayStream* out) {
  auto state = std::make_unique<StreamState>();
  state->batches = std::move(batches);
  state->failure = std::move(failure);
  out->get_schema = getSchema;
  out->get_next = getNext;
  out->get_last_error = getLastError;
  out->release = release;
  out->private_data = state.release();
}

}  // namespace quorvel

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
#include <utility>

#include "load/arrow_status.h"

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

}  // namespace

TextBatches::TextBatches(std::shared_ptr<InputStream> input, TextBatchLayout layout)
    : input_(std::move(input)), layout_(std::move(layout)) {
  if (layout_.batchRows == 0) throw std::invalid_argument("a batch must hold at least one row");
  if (layout_.names.empty()) throw std::invalid_argument("the batches need at least one column");
  columns_ = columnsOf(layout_);
  misfits_ = std::make_shared<std::vector<ColumnMisfits>>(columns_.size());
  schema_.release = nullptr;
  buildSchema(layout_.names, columns_, &schema_);
}

TextBatches::~TextBatches() {
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

bool TextBatches::fill(ArrowArray* out) {
  if (!parser_) start();
  ArrowArray batch;
  checkArrow(ArrowArrayInitFromSchema(&batch, &schema_, nullptr), "batch");
  Releasing<ArrowArray> guard{&batch};
  allocateLargeBuffersApart(&batch);
  checkArrow(ArrowArrayStartAppending(&batch), "batch");
  if (appendRows(&batch) == 0) return false;
  ArrowError error{};
  checkArrow(ArrowArrayFinishBuildingDefault(&batch, &error), error.message);
  ArrowArrayMove(&batch, out);
  return true;
}

// The pass reads the header with one begin() and the data rows with the
// next: so does this, so that both read the same rows.
void TextBatches::start() {
  parser_ = std::make_unique<CsvParser>(input_->stream());
  parser_->delimiter(layout_.delimiter);
  if (layout_.headerRow) parser_->begin();
  row_ = std::make_unique<CsvParser::iterator>(parser_->begin());
}

std::size_t TextBatches::appendRows(ArrowArray* batch) {
  const CsvParser::iterator end = parser_->end();
  CsvParser::iterator& row = *row_;
  std::size_t rows = 0;
  for (; rows < layout_.batchRows && row != end; ++row, ++rows, ++rowsDelivered_) {
    appendRow(batch, *row);
  }
  return rows;
}

void TextBatches::appendRow(ArrowArray* batch, const std::vector<std::string>& row) {
  const std::size_t width = layout_.names.size();
  const std::size_t cells = std::min(row.size(), width);
  for (std::size_t c = 0; c < cells; ++c) {
    if (!columns_[c].append(batch->children[c], row[c])) recordMisfit(c, row[c]);
  }
  for (std::size_t c = cells; c < width; ++c) columns_[c].appendAbsent(batch->children[c]);
  checkArrow(ArrowArrayFinishElement(batch), "row");
}

void TextBatches::recordMisfit(std::size_t column, const std::string& cell) {
  ColumnMisfits& misfits = (*misfits_)[column];
  ++misfits.cells;
  if (misfits.first.size() < layout_.misfitExamples) {
    misfits.first.push_back(Misfit{rowsDelivered_, cell});
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

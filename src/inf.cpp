// The engine: settings, the compiled pattern table, cell classification, the
// inference pass and the result queries.
#include "inf.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "input_stream.h"
#include "parser.hpp"
#include "type_automaton.h"
#include "type_matcher.h"
#include "worker_pool.h"

namespace quorvel {

namespace {

// Interned first by the constructor, so their ids are fixed.
constexpr TypeId kOther = 0;
constexpr TypeId kNA = 1;

// Cells that a multithreaded pass reads into one batch: enough to make a
// hand-off to the workers worth it.
constexpr std::size_t kBatchCells = 4096;

// Matching a text costs the calling thread about as much as batching a few
// dozen cells, so the workers take a batch only with one new text in that many.
bool worthAHandOff(std::uint64_t newTexts, std::size_t cells) {
  constexpr std::uint64_t kMinTexts = 16;
  constexpr std::uint64_t kCellsPerText = 32;
  return newTexts >= std::max<std::uint64_t>(kMinTexts, cells / kCellsPerText);
}

// Cells of a window up to which a multithreaded pass reads across the end of
// a window, into a second cache.
constexpr std::size_t kSecondCacheCells = 64 * kBatchCells;

// Cache slots are prefetched this many cells ahead of their lookups: by then
// their buckets have arrived, and the cells classified meanwhile hide the wait.
constexpr std::size_t kSlotLead = 4;

// A std::string path with a NUL byte would silently open a shorter path.
void rejectNul(const std::string& path, const char* what) {
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(what) + " contains a NUL byte");
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

using CompiledTable = std::unordered_map<std::string, std::vector<boost::regex>>;

// Compiles in the argument's own order and stops at the first pattern that fails, with the
// regex library's error, leaving the types compiled before it in `table`.
void compileTable(const PatternStrings& patterns, CompiledTable& table) {
  table.clear();
  for (const auto& [typeName, sources] : patterns) {
    std::vector<boost::regex>& compiled = table[typeName];
    compiled.clear();
    for (const std::string& source : sources) {
      compiled.emplace_back(source.data(), source.data() + source.size(),
                            boost::regex_constants::normal);
    }
  }
}

}  // namespace

struct PatternTable {
  CompiledTable byName;
};

TableOverlaps tableOverlaps(const PatternStrings& patterns) {
  CompiledTable compiled;
  compileTable(patterns, compiled);
  // The table's own order, in which the matcher offers types to its automaton.
  std::vector<std::pair<std::string, std::vector<std::string>>> types;
  for (const auto& [typeName, regexes] : compiled) {
    std::vector<std::string>& sources =
        types.emplace_back(typeName, std::vector<std::string>{}).second;
    for (const boost::regex& pattern : regexes) sources.push_back(pattern.str());
  }
  return findOverlaps(types);
}

// Calls a pass's hook at most every kHookInterval, from the places that come
// round often on the calling thread: every read of the input, a millisecond
// or so apart, every wait for it, and every few dozen rows, which bounds the
// time between calls where cells are slow to classify. A clock read there
// costs nothing measurable, unlike one per cell.
class PassClock {
 public:
  // `rows` is the pass's row counter, the header included; `current` is
  // where the rows find the clock of the running pass.
  PassClock(const PassHook& hook, const std::uint64_t& rows, PassClock*& current)
      : hook_(hook), rows_(rows), current_(current) {}
  ~PassClock() { current_ = nullptr; }
  PassClock(const PassClock&) = delete;
  PassClock& operator=(const PassClock&) = delete;

  InputStream::ReadHook readHook() {
    if (!hook_) return nullptr;
    return [this](const InputStream& input) { tick(input); };
  }
  // From here on the rows tick the clock too.
  void watch(const InputStream& input) {
    input_ = &input;
    if (hook_) current_ = this;
  }

  void rowDone() {
    if (++rowsSinceTick_ < kRowsPerTick) return;
    rowsSinceTick_ = 0;
    tick(*input_);
  }

 private:
  static constexpr unsigned kRowsPerTick = 64;

  void tick(const InputStream& input) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < Inf::kHookInterval) return;
    last_ = now;
    hook_(PassProgress{input.bytesRead(), input.totalBytes(), rows_ > 0 ? rows_ - 1 : 0});
  }

  const PassHook& hook_;
  const std::uint64_t& rows_;
  PassClock*& current_;
  const InputStream* input_ = nullptr;
  unsigned rowsSinceTick_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The optional output of a pass. Failures do not stop the pass, whose counts
// are worth more than the file; the first one is kept for the caller.
class TypesFile {
 public:
  TypesFile(bool enabled, const std::string& path) : enabled_(enabled), path_(path) {
    if (!enabled_) return;
    errno = 0;
    out_.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out_) fail("cannot open");
  }

  bool enabled() const { return enabled_; }

  void writeLine(std::string& text) {
    if (!out_.is_open()) return;
    text += '\n';
    errno = 0;
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    text.pop_back();
    if (!out_) fail("cannot write");
  }

  void close() {
    if (!out_.is_open()) return;
    errno = 0;
    out_.close();
    if (!out_) fail("cannot write");
  }

  const std::string& error() const { return error_; }

 private:
  void fail(const char* what) {
    const int reason = errno;
    if (error_.empty()) {
      error_ = std::string(what) + " the types file '" + path_ +
               "': " + (reason != 0 ? std::strerror(reason) : "unknown error");
    }
    // A stream in a failed state drops every later write, so close it once
    // and write nothing more.
    out_.close();
  }

  std::ofstream out_;
  bool enabled_;
  std::string path_;
  std::string error_;
};

Inf::Inf(std::string filepath, char delimiter, const PatternStrings& colTypePatterns,
         std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
         std::string typesFilepath, int rollingCacheWindow)
    : filepath(std::move(filepath)),
      delimiter(delimiter),
      colTypePatterns(std::make_unique<PatternTable>()),
      naValues(std::move(naValues)),
      multithreading(multithreading),
      saveTypesFile(saveTypesFile),
      typesFilepath(std::move(typesFilepath)),
      rollingCacheWindow(rollingCacheWindow) {
  internType("other");
  internType("NA");
  pinMissingValues(typeCache);
  compilePatterns(colTypePatterns);
}

Inf::~Inf() = default;

TypeId Inf::internType(const std::string& name) {
  auto [it, inserted] = typeIds.emplace(name, static_cast<TypeId>(typeNames.size()));
  if (inserted) typeNames.push_back(name);
  return it->second;
}

// ---- Settings --------------------------------------------------------------

void Inf::setColTypePatterns(const PatternStrings& patterns) {
  // Cached texts carry type names of the old table, which the new one may lack.
  emptyTypeCache();
  compilePatterns(patterns);
}

void Inf::compilePatterns(const PatternStrings& patterns) {
  try {
    compileTable(patterns, colTypePatterns->byName);
  } catch (...) {
    // The types compiled before the failure stay usable.
    rebuildMatcher();
    throw;
  }
  rebuildMatcher();
}

void Inf::rebuildMatcher() {
  tableTypes.clear();
  std::vector<TypePatterns> matcherTypes;
  for (const auto& [typeName, compiled] : colTypePatterns->byName) {
    const TypeId id = internType(typeName);
    tableTypes.push_back(id);
    matcherTypes.push_back({id, &compiled});
  }
  matcher = std::make_unique<TypeMatcher>(matcherTypes);
}

PatternStrings Inf::getColTypePatterns() const {
  PatternStrings result;
  for (const auto& [typeName, compiled] : colTypePatterns->byName) {
    std::vector<std::string>& sources = result[typeName];
    for (const boost::regex& pattern : compiled) sources.push_back(pattern.str());
  }
  return result;
}

void Inf::setNaValues(std::unordered_set<std::string> values) {
  for (const std::string& value : naValues)
    typeCache.entry(typeCache.findOrInsert(value)).missing = false;
  naValues = std::move(values);
  pinMissingValues(typeCache);
}

// Missing values live in the cache as pinned entries: one lookup then answers
// both "is it missing" and "is it known", and a missing value still outranks
// whatever type the same text was cached with.
void Inf::pinMissingValues(TextCache& cache) {
  for (const std::string& value : naValues) cache.entry(cache.findOrInsert(value)).missing = true;
}

void Inf::emptyTypeCache() {
  if (nextWindowRead) {
    // The batch read ahead into the next window has its texts there already.
    std::swap(typeCache, nextWindowCache);
    nextWindowRead = false;
    return;
  }
  typeCache.clear();
  pinMissingValues(typeCache);
}

// The cache that a batch after the end of a window is read against: empty but
// for the missing values, as the type cache will be once the window is over.
TextCache& Inf::startNextWindowCache() {
  nextWindowCache.clear();
  pinMissingValues(nextWindowCache);
  nextWindowRead = true;
  return nextWindowCache;
}

// ---- Classification --------------------------------------------------------

void Inf::ColumnTables::count(TypeId type) {
  if (static_cast<std::size_t>(type) >= counts.size()) {
    counts.resize(type + 1, 0);
    counted.resize(type + 1, false);
  }
  counted[type] = true;
  ++counts[type];
}

TypeId Inf::classifyCell(std::string_view text, std::size_t hash, ColumnTables& column) {
  const std::size_t index = typeCache.findOrInsert(text, hash);
  const TextCache::Entry& entry = typeCache.entry(index);
  TypeId type;
  if (entry.missing) {
    type = kNA;
  } else if (entry.type != TextCache::kUnclassified) {
    type = entry.type;
  } else {
    type = promote(column, matcher->firstMatch(column.regexOrdering, text));
    ++textsMatched;
    typeCache.entry(index).type = cacheable(type);
  }
  column.count(type);
  return type;
}

// The type at `position` moves to the front by swapping places with the front
// type; every other type keeps its place.
TypeId Inf::promote(ColumnTables& column, int position) {
  if (position < 0) return kOther;
  std::vector<TypeId>& order = column.regexOrdering;
  if (position > 0) {
    std::swap(order[0], order[position]);
    ++column.swaps;
  }
  return order[0];
}

// An empty cached value means "not classified yet", so a type whose name is
// empty is never served from the cache.
TypeId Inf::cacheable(TypeId type) const {
  return typeNames[type].empty() ? TextCache::kUnclassified : type;
}

Inf::ColumnTables& Inf::tablesFor(const std::string& columnName) {
  auto [it, inserted] = columnIndex.emplace(columnName, columnTables.size());
  if (inserted) columnTables.push_back(ColumnTables{columnName, {}, {}, {}, 0});
  return columnTables[it->second];
}

void Inf::getColType(const std::vector<std::string>& fields, int c,
                     std::vector<std::string>& types) {
  ColumnTables& column = tablesFor(columns.at(c));
  types.at(c) = typeNames[kOther];
  const std::string& text = fields.at(c);
  types[c] = typeNames[classifyCell(text, TextCache::hashOf(text), column)];
}

// ---- The pass --------------------------------------------------------------

void Inf::checkPaths() const {
  rejectNul(filepath, "the CSV file path");
  if (!saveTypesFile) return;
  rejectNul(typesFilepath, "the types file path");
  if (sameFile(filepath, typesFilepath)) {
    throw std::invalid_argument("the types file path '" + typesFilepath +
                                "' names the input file '" + filepath + "'");
  }
}

void Inf::inferTypes(const PassHook& hook) {
  try {
    runPass(hook);
  } catch (const std::bad_alloc&) {
    // The cache is only a memo, and when memory runs out it holds most of
    // what there was: without it the object can run its next pass.
    releaseTypeCaches();
    throw;
  }
}

void Inf::releaseTypeCaches() {
  typeCache.release();
  nextWindowCache.release();
  nextWindowRead = false;
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
  pinMissingValues(typeCache);
}

void Inf::runPass(const PassHook& hook) {
  checkPaths();
  n = 0;
  typesFileError.clear();
  // Decompressing on a thread of its own pays only beside the pool's workers.
  const bool decompressAside = multithreading && std::thread::hardware_concurrency() > 1;
  PassClock clock(hook, n, passClock);
  InputStream input(filepath, clock.readHook(), decompressAside);
  clock.watch(input);
  CsvParser parser(input.stream());
  parser.delimiter(delimiter);
  // Reading the header first means that an input which opens but cannot be
  // read (a directory) fails before an existing types file is truncated.
  auto row = parser.begin();
  TypesFile typesFile(saveTypesFile, typesFilepath);
  const auto end = parser.end();
  if (row == end) {
    columns.clear();
  } else {
    setUpHeader(*row, typesFile);
    finishRow();
    ++row;
    // One column, or one core, leaves no second thread to match on.
    const std::size_t threads =
        std::min<std::size_t>(columns.size(), std::max(1u, std::thread::hardware_concurrency()));
    if (multithreading && threads > 1) {
      classifyRowsOnPool(row, end, threads - 1, typesFile);
    } else {
      classifyRows(row, end, typesFile);
    }
    --n;
  }
  typesFile.close();
  typesFileError = typesFile.error();
  if (hook) hook(PassProgress{input.bytesRead(), input.totalBytes(), n});
}

void Inf::setUpHeader(const std::vector<std::string>& header, TypesFile& typesFile) {
  const std::size_t width = header.size();
  columns.assign(width, std::string());
  rowColumns.assign(width, nullptr);
  rowTypes.assign(width, kOther);
  rowHashes.assign(width, 0);
  line.clear();
  for (std::size_t c = 0; c < width; ++c) {
    columns[c] = header[c].empty() ? "Unitled_" + std::to_string(++untitledCols) : header[c];
    rowColumns[c] = &resetColumn(columns[c]);
    if (c > 0) line += ',';
    line += columns[c];
  }
  typesFile.writeLine(line);
}

Inf::ColumnTables& Inf::resetColumn(const std::string& name) {
  ColumnTables& column = tablesFor(name);
  column.regexOrdering = tableTypes;
  column.counts.assign(typeNames.size(), 0);
  column.counted.assign(typeNames.size(), false);
  for (TypeId type : tableTypes) column.counted[type] = true;
  column.counted[kOther] = true;
  column.counted[kNA] = true;
  return column;
}

// Rows between two emptyings of the cache; a window below 1 never empties it.
std::uint64_t Inf::cacheWindow() const {
  return rollingCacheWindow >= 1 ? static_cast<std::uint64_t>(rollingCacheWindow)
                                 : std::numeric_limits<std::uint64_t>::max();
}

void Inf::finishRow() {
  ++n;
  if (n % cacheWindow() == 0) emptyTypeCache();
  if (passClock != nullptr) passClock->rowDone();
}

void Inf::classifyRows(CsvParser::iterator& row, const CsvParser::iterator& end,
                       TypesFile& typesFile) {
  for (; row != end; ++row) classifyRow(*row, typesFile);
}

// Cells beyond the header's width have no column: they are ignored.
void Inf::classifyRow(const std::vector<std::string>& row, TypesFile& typesFile) {
  const std::size_t width = std::min(row.size(), columns.size());
  hashRow(typeCache, row, width);
  for (std::size_t c = 0; c < width; ++c) {
    prefetchSlotAhead(typeCache, c, width);
    rowTypes[c] = classifyCell(row[c], rowHashes[c], *rowColumns[c]);
  }
  writeRowTypes(width, typesFile);
  finishRow();
}

// Hashes the row's texts and brings their cache buckets closer, so that the
// lookups that follow do not wait for memory one after another.
void Inf::hashRow(const TextCache& cache, const std::vector<std::string>& row, std::size_t width) {
  for (std::size_t c = 0; c < width; ++c) {
    rowHashes[c] = TextCache::hashOf(row[c]);
    cache.prefetchBucket(rowHashes[c]);
  }
  for (std::size_t c = 0; c < std::min(width, kSlotLead); ++c) cache.prefetchSlot(rowHashes[c]);
}

void Inf::prefetchSlotAhead(const TextCache& cache, std::size_t c, std::size_t width) {
  if (c + kSlotLead < width) cache.prefetchSlot(rowHashes[c + kSlotLead]);
}

// Multithreaded passes take rows in batches. The calling thread reads a
// batch, answers every missing or cached cell and makes one job per distinct
// uncached text; the pool matches the jobs, reading only the compiled table,
// the jobs' texts and trial orders that nobody changes meanwhile, while the
// calling thread reads the next batch; then the calling thread applies the
// results row by row, in column order. So only one thread ever touches the
// shared tables, and matching, the expensive part, runs beside the reading.
// The answers are those of a single-threaded pass: a job whose column's
// trial order changed after it was matched is matched again, a text that the
// previous batch classified takes the cached answer, and a batch read ahead
// across a row after which the cache is emptied is read against a second,
// empty cache, which takes the place of the first after that row. A batch
// whose texts are nearly all cached is not worth waking the workers for;
// after one, the calling thread classifies rows alone, as a single-threaded
// pass does, until new texts come often enough to try batches again.
void Inf::classifyRowsOnPool(CsvParser::iterator& row, const CsvParser::iterator& end,
                             std::size_t workers, TypesFile& typesFile) {
  // One batch is matched while the next is read. Both go with the pass, and
  // outlive the pool, whose workers may still read one when a failure unwinds.
  Batch batches[2];
  WorkerPool pool(static_cast<unsigned>(workers));
  Batch* current = &batches[0];
  Batch* following = &batches[1];
  // Short windows are read across with a second cache, where the texts of
  // the next window wait for the end of this one; with long ones, waiting
  // at each end costs little, and a second cache would double the memory.
  const bool readAcrossWindows = cacheWindow() <= kSecondCacheCells / columns.size();
  struct ForgetNextWindow {
    bool& read;
    ~ForgetNextWindow() { read = false; }
  } forgetNextWindow{nextWindowRead};
  gatherBatch(*current, typeCache, row, end, n);
  while (!current->widths.empty()) {
    const bool handOff = startMatching(*current, pool);
    // Reading ahead pays only while the workers match; otherwise the texts
    // are mostly cached, and batching costs more than it saves.
    const bool readAhead = handOff && (!current->endsWindow || readAcrossWindows);
    if (readAhead) {
      TextCache& cache = current->endsWindow ? startNextWindowCache() : typeCache;
      gatherBatch(*following, cache, row, end, n + current->widths.size());
    }
    pool.wait();
    applyBatch(*current, typesFile);
    if (!readAhead) {
      if (!handOff) classifyStretch(row, end, typesFile);
      gatherBatch(*following, typeCache, row, end, n);
    }
    std::swap(current, following);
  }
}

// Classifies rows on the calling thread alone, as a single-threaded pass
// does, a batch's worth of cells at a time, until the texts of one such block
// were new often enough for the workers to have been worth waking.
void Inf::classifyStretch(CsvParser::iterator& row, const CsvParser::iterator& end,
                          TypesFile& typesFile) {
  while (row != end) {
    const std::uint64_t matchedBefore = textsMatched;
    std::size_t cells = 0;
    for (; row != end && cells < kBatchCells; ++row) {
      classifyRow(*row, typesFile);
      cells += row->size();
    }
    if (worthAHandOff(textsMatched - matchedBefore, cells)) return;
  }
}

// Reads rows until the batch has enough cells to make a hand-off worth it,
// or reaches the row after which the cache is emptied.
void Inf::gatherBatch(Batch& batch, TextCache& cache, CsvParser::iterator& row,
                      const CsvParser::iterator& end, std::uint64_t rowsBefore) {
  const std::uint64_t rowsLeft = cacheWindow() - rowsBefore % cacheWindow();
  batch.jobs.clear();
  batch.cells.clear();
  batch.widths.clear();
  batch.texts.clear();
  // The markers deduplicate texts only while the batch is read.
  struct ClearMarkers {
    TextCache& cache;
    const std::vector<MatchJob>& jobs;
    ~ClearMarkers() {
      for (const MatchJob& job : jobs) cache.entry(job.cacheEntry).job = -1;
    }
  } clearMarkers{cache, batch.jobs};
  for (; row != end && batch.cells.size() < kBatchCells && batch.widths.size() < rowsLeft; ++row) {
    gatherRow(batch, cache, *row);
  }
  batch.endsWindow = batch.widths.size() == rowsLeft;
}

void Inf::gatherRow(Batch& batch, TextCache& cache, const std::vector<std::string>& row) {
  const std::size_t width = std::min(row.size(), columns.size());
  hashRow(cache, row, width);
  for (std::size_t c = 0; c < width; ++c) {
    prefetchSlotAhead(cache, c, width);
    const std::size_t index = cache.findOrInsert(row[c], rowHashes[c]);
    TextCache::Entry& entry = cache.entry(index);
    if (entry.missing || entry.type != TextCache::kUnclassified) {
      batch.cells.push_back({entry.missing ? kNA : entry.type, -1});
      continue;
    }
    if (entry.job < 0) {
      entry.job = static_cast<std::int32_t>(batch.jobs.size());
      batch.jobs.push_back(MatchJob{index, batch.texts.size(), row[c].size(), rowColumns[c], 0,
                                    kOther, false, nullptr});
      batch.texts += row[c];
    }
    batch.cells.push_back({kOther, entry.job});
  }
  batch.widths.push_back(width);
}

// Returns whether the workers match the batch.
bool Inf::startMatching(Batch& batch, WorkerPool& pool) {
  // A batch of nearly cached rows is not worth waking a worker for: its few
  // jobs are marked as never matched and matched when they are applied.
  const bool handOff = worthAHandOff(batch.jobs.size(), batch.cells.size());
  for (MatchJob& job : batch.jobs) {
    job.swaps = handOff ? job.column->swaps : std::numeric_limits<std::uint64_t>::max();
  }
  // The threads share the table's one matcher, whose automaton takes no lock.
  pool.start(handOff ? batch.jobs.size() : 0, [&](std::size_t j, unsigned) {
    MatchJob& job = batch.jobs[j];
    try {
      const int position = matcher->firstMatch(job.column->regexOrdering, batch.text(job));
      job.type = position < 0 ? kOther : job.column->regexOrdering[position];
    } catch (...) {
      job.error = std::current_exception();
    }
  });
  return handOff;
}

// A failing cell leaves its row unfinished, as in a single-threaded pass, but
// the row's other cells are counted first: they were classified alongside it.
void Inf::applyBatch(Batch& batch, TypesFile& typesFile) {
  const PendingCell* cell = batch.cells.data();
  for (const std::size_t width : batch.widths) {
    std::exception_ptr error;
    for (std::size_t c = 0; c < width; ++c, ++cell) {
      TypeId type = cell->type;
      if (cell->job >= 0) {
        MatchJob& job = batch.jobs[cell->job];
        if (!resolve(job, *rowColumns[c], batch)) {
          if (!error) error = job.error;
          continue;
        }
        type = job.type;
      }
      rowTypes[c] = type;
      rowColumns[c]->count(type);
    }
    if (error) std::rethrow_exception(error);
    writeRowTypes(width, typesFile);
    finishRow();
  }
}

// Gives the job the answer a single-threaded pass would give at this cell.
// The first cell of a text moves the type to the front and caches it; later
// cells take the cached answer, unless the type cannot be cached.
bool Inf::resolve(MatchJob& job, ColumnTables& column, const Batch& batch) {
  TextCache::Entry& entry = typeCache.entry(job.cacheEntry);
  if (!job.resolved && entry.type != TextCache::kUnclassified) {
    job.type = entry.type;  // classified by the batch before, after this one was read
    job.resolved = true;
  }
  if (job.resolved && cacheable(job.type) != TextCache::kUnclassified) return true;
  if (job.error) return false;
  try {
    if (job.resolved || job.column->swaps != job.swaps) {
      job.column = &column;
      job.type = promote(column, matcher->firstMatch(column.regexOrdering, batch.text(job)));
    } else if (job.type != kOther) {
      const std::vector<TypeId>& order = column.regexOrdering;
      promote(column,
              static_cast<int>(std::find(order.begin(), order.end(), job.type) - order.begin()));
    }
  } catch (...) {
    job.error = std::current_exception();
    return false;
  }
  job.resolved = true;
  entry.type = cacheable(job.type);
  return true;
}

void Inf::writeRowTypes(std::size_t width, TypesFile& typesFile) {
  if (!typesFile.enabled()) return;
  line.clear();
  for (std::size_t c = 0; c < width; ++c) {
    if (c > 0) line += ',';
    line += typeNames[rowTypes[c]];
  }
  typesFile.writeLine(line);
}

// ---- Queries ---------------------------------------------------------------

int Inf::getNumCols() const {
  rejectNul(filepath, "the CSV file path");
  InputStream input(filepath);
  CsvParser parser(input.stream());
  parser.delimiter(delimiter);
  auto row = parser.begin();
  return row != parser.end() ? static_cast<int>(row->size()) : 0;
}

CandidateCounts Inf::getColTypeCandidates() const {
  CandidateCounts result;
  for (const ColumnTables& column : columnTables) {
    auto& counts = result[column.name];
    for (std::size_t type = 0; type < column.counted.size(); ++type) {
      if (column.counted[type]) counts[typeNames[type]] = column.counts[type];
    }
  }
  return result;
}

std::unordered_map<std::string, std::vector<std::string>> Inf::getRegexOrdering() const {
  std::unordered_map<std::string, std::vector<std::string>> result;
  for (const ColumnTables& column : columnTables) {
    std::vector<std::string>& names = result[column.name];
    for (TypeId type : column.regexOrdering) names.push_back(typeNames[type]);
  }
  return result;
}

}  // namespace quorvel

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

#include "io/input_stream.h"
#include "match/type_automaton.h"
#include "match/type_matcher.h"
#include "parser.hpp"
#include "pass/worker_pool.h"

namespace quorvel {

namespace {

// Interned first by the constructor, so their ids are fixed.
constexpr TypeId kOther = 0;
constexpr TypeId kNA = 1;

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

  // Whenever the calling thread has time to look.
  void poll() { tick(*input_); }

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

  // Writes lines that end with their line feed.
  void write(const std::string& lines) {
    if (!out_.is_open()) return;
    errno = 0;
    out_.write(lines.data(), static_cast<std::streamsize>(lines.size()));
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
  typesOfTextAsked = false;
  matchSetTypes.clear();
  matchSetBits.assign(typeNames.size(), -1);
  if (tableTypes.size() > PassPipeline::kMaxTypes) return;  // workers only tokenize then
  matchSetTypes = tableTypes;
  for (std::size_t bit = 0; bit < tableTypes.size(); ++bit) {
    matchSetBits[tableTypes[bit]] = static_cast<int>(bit);
  }
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
  typeCache.clear();
  pinMissingValues(typeCache);
}

// ---- Classification --------------------------------------------------------

void Inf::ColumnTables::count(TypeId type, std::uint64_t times) {
  if (static_cast<std::size_t>(type) >= counts.size()) {
    counts.resize(type + 1, 0);
    counted.resize(type + 1, false);
  }
  counted[type] = true;
  counts[type] += times;
}

// The classification rule, for every path of a pass: a missing value, else
// the cached answer, else the first type of the trial order that matches
// (firstMatch gives its position), moved to the front and cached. The
// missing-value test comes first so that a missing value outranks a type
// cached for the same text.
template <class FirstMatch>
TypeId Inf::classifyCell(std::string_view text, std::size_t hash, ColumnTables& column,
                         const FirstMatch& firstMatch) {
  const std::size_t index = typeCache.findOrInsert(text, hash);
  const CacheEntry& entry = typeCache.entry(index);
  TypeId type;
  if (entry.missing) {
    type = kNA;
  } else if (entry.type != CacheEntry::kUnclassified) {
    type = entry.type;
  } else {
    type = promote(column, firstMatch(column.regexOrdering));
    typeCache.entry(index).type = cacheable(type);
  }
  column.count(type);
  return type;
}

TypeId Inf::classifyCell(std::string_view text, std::size_t hash, ColumnTables& column) {
  return classifyCell(text, hash, column, [&](const std::vector<TypeId>& order) {
    return matcher->firstMatch(order, text);
  });
}

// The type at `position` moves to the front by swapping places with the front
// type; every other type keeps its place.
TypeId Inf::promote(ColumnTables& column, int position) {
  if (position < 0) return kOther;
  std::vector<TypeId>& order = column.regexOrdering;
  if (position > 0) std::swap(order[0], order[position]);
  return order[0];
}

// An empty cached value means "not classified yet", so a type whose name is
// empty is never served from the cache.
TypeId Inf::cacheable(TypeId type) const {
  return typeNames[type].empty() ? CacheEntry::kUnclassified : type;
}

Inf::ColumnTables& Inf::tablesFor(const std::string& columnName) {
  auto [it, inserted] = columnIndex.emplace(columnName, columnTables.size());
  if (inserted) columnTables.push_back(ColumnTables{columnName, {}, {}, {}});
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
    releaseTypeCache();
    throw;
  }
}

void Inf::releaseTypeCache() {
  typeCache.release();
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
    const unsigned threads = passThreadCount();
    if (multithreading && threads > 1) {
      if (!parser.empty()) classifyOnPipeline(parser, input.stream(), threads, typesFile);
    } else {
      ++row;
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
  line += '\n';
  typesFile.write(line);
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

void Inf::finishRows(std::uint64_t rows) {
  const std::uint64_t before = n;
  n += rows;
  if (n / cacheWindow() != before / cacheWindow()) emptyTypeCache();
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

unsigned Inf::passThreadCount() const {
  return passThreads != 0 ? passThreads : std::max(1u, std::thread::hardware_concurrency());
}

// The rest of the input goes through the pipeline, which hands over its rows
// chunk by chunk in file order, with each text's hash and match set, or,
// where a cell's type follows from its text alone, counted by the workers.
void Inf::classifyOnPipeline(const CsvParser& parser, std::istream& input, unsigned threads,
                             TypesFile& typesFile) {
  const TypeAutomaton* countApart = typesOfTextIfNoneShared();
  PassPipeline::Setup setup{parser.scanner(),
                            columns.size(),
                            threads,
                            chunkBytes,
                            matcher.get(),
                            matchSetTypes,
                            &naValues,
                            countApart,
                            kNA,
                            kOther,
                            &typeNames,
                            typesFile.enabled(),
                            [this] {
                              if (passClock != nullptr) passClock->poll();
                            }};
  PassPipeline pipeline(input, parser.unread(), std::move(setup), passStats);
  pipeline.run([&](const PassPipeline::Settled& chunk) {
    if (countApart != nullptr) {
      addChunkCounts(chunk, typesFile);
    } else {
      classifyChunk(chunk, typesFile);
    }
  });
}

// With no text that two types match, the trial order and the cache decide
// nothing: a cell's type is a function of its text, as a single-threaded pass
// would find it whatever texts it had seen.
const TypeAutomaton* Inf::typesOfTextIfNoneShared() {
  // Match sets stand for the table's types in its order, as the automaton does.
  const TypeAutomaton* whole = matchSetTypes.empty() ? nullptr : matcher->wholeTable();
  if (!typesOfTextAsked) {
    typesOfTextAsked = true;
    noTextShared = whole != nullptr && whole->overlaps().empty();
  }
  return noTextShared ? whole : nullptr;
}

void Inf::classifyChunk(const PassPipeline::Settled& chunk, TypesFile& typesFile) {
  const std::vector<FieldFacts>& facts = chunk.facts;
  std::size_t f = 0;
  for (const std::uint32_t width : chunk.rows.widths()) {
    for (std::size_t c = 0; c < width; ++c, ++f) {
      if (f + 2 * kSlotLead < facts.size()) typeCache.prefetchBucket(facts[f + 2 * kSlotLead].hash);
      if (f + kSlotLead < facts.size()) typeCache.prefetchSlot(facts[f + kSlotLead].hash);
      const std::string_view text = chunk.rows.text(f);
      const std::uint64_t matches = facts[f].matches;
      rowTypes[c] = classifyCell(
          text, facts[f].hash, *rowColumns[c],
          [&](const std::vector<TypeId>& order) { return firstInMatchSet(order, matches, text); });
    }
    writeRowTypes(width, typesFile);
    finishRow();
  }
}

void Inf::addChunkCounts(const PassPipeline::Settled& chunk, TypesFile& typesFile) {
  const std::size_t typeCount = typeNames.size();
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t type = 0; type < typeCount; ++type) {
      const std::uint64_t times = chunk.counts[c * typeCount + type];
      if (times != 0) rowColumns[c]->count(static_cast<TypeId>(type), times);
    }
  }
  typesFile.write(chunk.lines);
  finishRows(chunk.rows.widths().size());
}

// What firstMatch() would answer, read from the text's match set where a
// worker found one.
int Inf::firstInMatchSet(const std::vector<TypeId>& order, std::uint64_t matches,
                         std::string_view text) const {
  if ((matches & FieldFacts::kUnknownMatches) != 0) return matcher->firstMatch(order, text);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const TypeId type = order[i];
    const int bit = static_cast<std::size_t>(type) < matchSetBits.size() ? matchSetBits[type] : -1;
    if (bit >= 0 && ((matches >> bit) & 1) != 0) return static_cast<int>(i);
  }
  return -1;
}

void Inf::writeRowTypes(std::size_t width, TypesFile& typesFile) {
  if (!typesFile.enabled()) return;
  line.clear();
  appendTypesLine(line, rowTypes.data(), width, typeNames);
  typesFile.write(line);
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

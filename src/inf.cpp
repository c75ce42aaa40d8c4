// The engine: settings, the compiled pattern table, cell classification, the
// inference pass and the result queries.
#include "inf.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <thread>

#include "io/input_stream.h"
#include "match/type_matcher.h"
#include "parser.hpp"
#include "pass/pass_pipeline.h"
#include "pass/types_file.h"

namespace quorvel {

namespace {

constexpr TypeId kOther = PatternTable::kOther;
constexpr TypeId kNA = PatternTable::kNA;

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

}  // namespace

Inf::Inf(std::string filepath, char delimiter, const PatternStrings& colTypePatterns,
         std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
         std::string typesFilepath, int rollingCacheWindow)
    : filepath(std::move(filepath)),
      delimiter(delimiter),
      naValues(std::move(naValues)),
      multithreading(multithreading),
      saveTypesFile(saveTypesFile),
      typesFilepath(std::move(typesFilepath)),
      rollingCacheWindow(rollingCacheWindow) {
  pinMissingValues(typeCache);
  compilePatterns(colTypePatterns);
}

Inf::~Inf() = default;

// ---- Settings --------------------------------------------------------------

void Inf::setColTypePatterns(const PatternStrings& patterns) {
  // Cached texts carry type names of the old table, which the new one may lack.
  emptyTypeCache();
  compilePatterns(patterns);
}

void Inf::compilePatterns(const PatternStrings& patterns) { colTypePatterns.set(patterns); }

PatternStrings Inf::getColTypePatterns() const { return colTypePatterns.patterns(); }

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
    return colTypePatterns.matcher().firstMatch(order, text);
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
  return colTypePatterns.names()[type].empty() ? CacheEntry::kUnclassified : type;
}

Inf::ColumnTables& Inf::tablesFor(const std::string& columnName) {
  auto [it, inserted] = columnIndex.emplace(columnName, columnTables.size());
  if (inserted) columnTables.push_back(ColumnTables{columnName, {}, {}, {}});
  return columnTables[it->second];
}

void Inf::getColType(const std::vector<std::string>& fields, int c,
                     std::vector<std::string>& types) {
  ColumnTables& column = tablesFor(columns.at(c));
  const std::vector<std::string>& names = colTypePatterns.names();
  types.at(c) = names[kOther];
  const std::string& text = fields.at(c);
  types[c] = names[classifyCell(text, TextCache::hashOf(text), column)];
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
  for (std::size_t c = 0; c < width; ++c) {
    columns[c] = header[c].empty() ? "Unitled_" + std::to_string(++untitledCols) : header[c];
    rowColumns[c] = &resetColumn(columns[c]);
  }
  line.clear();
  appendTypesLine(line, columns);
  typesFile.write(line);
}

Inf::ColumnTables& Inf::resetColumn(const std::string& name) {
  ColumnTables& column = tablesFor(name);
  const std::size_t typeCount = colTypePatterns.names().size();
  column.regexOrdering = colTypePatterns.types();
  column.counts.assign(typeCount, 0);
  column.counted.assign(typeCount, false);
  for (TypeId type : colTypePatterns.types()) column.counted[type] = true;
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
  const TypeAutomaton* countApart = colTypePatterns.typesOfTextIfNoneShared();
  PassPipeline::Setup setup{parser.scanner(),
                            columns.size(),
                            threads,
                            chunkBytes,
                            &colTypePatterns,
                            &naValues,
                            countApart,
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

void Inf::classifyChunk(const SettledChunk& chunk, TypesFile& typesFile) {
  const std::vector<FieldFacts>& facts = chunk.facts;
  std::size_t f = 0;
  for (const std::uint32_t width : chunk.rows.widths()) {
    for (std::size_t c = 0; c < width; ++c, ++f) {
      if (f + 2 * kSlotLead < facts.size()) typeCache.prefetchBucket(facts[f + 2 * kSlotLead].hash);
      if (f + kSlotLead < facts.size()) typeCache.prefetchSlot(facts[f + kSlotLead].hash);
      const std::string_view text = chunk.rows.text(f);
      const std::uint64_t matches = facts[f].matches;
      rowTypes[c] =
          classifyCell(text, facts[f].hash, *rowColumns[c], [&](const std::vector<TypeId>& order) {
            return colTypePatterns.firstMatch(order, matches, text);
          });
    }
    writeRowTypes(width, typesFile);
    finishRow();
  }
}

void Inf::addChunkCounts(const SettledChunk& chunk, TypesFile& typesFile) {
  const std::size_t typeCount = colTypePatterns.names().size();
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t type = 0; type < typeCount; ++type) {
      const std::uint64_t times = chunk.counts[c * typeCount + type];
      if (times != 0) rowColumns[c]->count(static_cast<TypeId>(type), times);
    }
  }
  typesFile.write(chunk.lines);
  finishRows(chunk.rows.widths().size());
}

void Inf::writeRowTypes(std::size_t width, TypesFile& typesFile) {
  if (!typesFile.enabled()) return;
  line.clear();
  appendTypesLine(line, rowTypes.data(), width, colTypePatterns.names());
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
      if (column.counted[type]) counts[colTypePatterns.names()[type]] = column.counts[type];
    }
  }
  return result;
}

std::unordered_map<std::string, std::vector<std::string>> Inf::getRegexOrdering() const {
  std::unordered_map<std::string, std::vector<std::string>> result;
  for (const ColumnTables& column : columnTables) {
    std::vector<std::string>& names = result[column.name];
    for (TypeId type : column.regexOrdering) names.push_back(colTypePatterns.names()[type]);
  }
  return result;
}

}  // namespace quorvel

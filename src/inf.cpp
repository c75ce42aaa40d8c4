// The engine: settings, the compiled pattern table, cell classification, the
// inference pass and the result queries.
#include "inf.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "parser.hpp"
#include "worker_pool.h"

namespace quorvel {

namespace {

// Interned first by the constructor, so their ids are fixed.
constexpr TypeId kOther = 0;
constexpr TypeId kNA = 1;

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
      naValues(std::move(naValues)),
      multithreading(multithreading),
      saveTypesFile(saveTypesFile),
      typesFilepath(std::move(typesFilepath)),
      rollingCacheWindow(rollingCacheWindow) {
  internType("other");
  internType("NA");
  pinMissingValues();
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
  colTypePatterns.clear();
  try {
    for (const auto& [typeName, sources] : patterns) {
      std::vector<boost::regex>& compiled = colTypePatterns[typeName];
      compiled.clear();
      for (const std::string& source : sources) {
        compiled.emplace_back(source.data(), source.data() + source.size(),
                              boost::regex_constants::normal);
      }
    }
  } catch (...) {
    // The types compiled before the failure stay usable.
    rebuildMatcher();
    throw;
  }
  rebuildMatcher();
}

void Inf::rebuildMatcher() {
  tableTypes.clear();
  std::vector<TypePatterns> types;
  for (const auto& [typeName, compiled] : colTypePatterns) {
    const TypeId id = internType(typeName);
    tableTypes.push_back(id);
    types.push_back({id, &compiled});
  }
  matcher = TypeMatcher(types);
}

PatternStrings Inf::getColTypePatterns() const {
  PatternStrings result;
  for (const auto& [typeName, compiled] : colTypePatterns) {
    std::vector<std::string>& sources = result[typeName];
    for (const boost::regex& pattern : compiled) sources.push_back(pattern.str());
  }
  return result;
}

void Inf::setNaValues(std::unordered_set<std::string> values) {
  for (const std::string& value : naValues)
    typeCache.entry(typeCache.findOrInsert(value)).missing = false;
  naValues = std::move(values);
  pinMissingValues();
}

// Missing values live in the cache as pinned entries: one lookup then answers
// both "is it missing" and "is it known", and a missing value still outranks
// whatever type the same text was cached with.
void Inf::pinMissingValues() {
  for (const std::string& value : naValues)
    typeCache.entry(typeCache.findOrInsert(value)).missing = true;
}

void Inf::emptyTypeCache() {
  typeCache.clear();
  pinMissingValues();
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

TypeId Inf::classifyCell(std::string_view text, ColumnTables& column) {
  const std::size_t index = typeCache.findOrInsert(text);
  const TextCache::Entry& entry = typeCache.entry(index);
  TypeId type;
  if (entry.missing) {
    type = kNA;
  } else if (entry.type != TextCache::kUnclassified) {
    type = entry.type;
  } else {
    type = promote(column, matcher.firstMatch(column.regexOrdering, text));
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
  if (position > 0) std::swap(order[0], order[position]);
  return order[0];
}

// An empty cached value means "not classified yet", so a type whose name is
// empty is never served from the cache.
TypeId Inf::cacheable(TypeId type) const {
  return typeNames[type].empty() ? TextCache::kUnclassified : type;
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
  types[c] = typeNames[classifyCell(fields.at(c), column)];
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

void Inf::inferTypes() {
  checkPaths();
  n = 0;
  typesFileError.clear();
  std::ifstream file(filepath, std::ios::binary);
  CsvParser parser(file);
  parser.delimiter(delimiter);
  TypesFile typesFile(saveTypesFile, typesFilepath);
  auto row = parser.begin();
  const auto end = parser.end();
  if (row == end) {
    columns.clear();
  } else {
    setUpHeader(*row, typesFile);
    finishRow();
    const std::size_t width = columns.size();
    std::unique_ptr<WorkerPool> pool;
    if (multithreading) {
      const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
      pool = std::make_unique<WorkerPool>(static_cast<unsigned>(std::min(width, cores) - 1));
    }
    for (++row; row != end; ++row) {
      classifyRow(*row, pool.get());
      writeRowTypes(std::min(row->size(), width), typesFile);
      finishRow();
    }
    --n;
  }
  typesFile.close();
  typesFileError = typesFile.error();
}

void Inf::setUpHeader(const std::vector<std::string>& header, TypesFile& typesFile) {
  const std::size_t width = header.size();
  columns.assign(width, std::string());
  rowColumns.assign(width, nullptr);
  rowTypes.assign(width, kOther);
  cellJobs.assign(width, -1);
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

void Inf::finishRow() {
  ++n;
  if (rollingCacheWindow >= 1 && n % static_cast<std::uint64_t>(rollingCacheWindow) == 0) {
    emptyTypeCache();
  }
}

// Cells beyond the header's width have no column: they are ignored.
void Inf::classifyRow(const std::vector<std::string>& row, WorkerPool* pool) {
  const std::size_t width = std::min(row.size(), columns.size());
  if (pool != nullptr) return classifyRowOnPool(row, width, *pool);
  for (std::size_t c = 0; c < width; ++c) rowTypes[c] = classifyCell(row[c], *rowColumns[c]);
}

// Answers the row's missing and cached cells, and makes one job for each
// distinct text that is not classified yet.
void Inf::gatherJobs(const std::vector<std::string>& row, std::size_t width) {
  for (std::size_t c = 0; c < width; ++c) {
    const std::size_t index = typeCache.findOrInsert(row[c]);
    TextCache::Entry& entry = typeCache.entry(index);
    cellJobs[c] = -1;
    if (entry.missing || entry.type != TextCache::kUnclassified) {
      rowTypes[c] = entry.missing ? kNA : entry.type;
      rowColumns[c]->count(rowTypes[c]);
    } else {
      if (entry.job < 0) {
        entry.job = static_cast<std::int32_t>(jobs.size());
        jobs.push_back(MatchJob{row[c], rowColumns[c], index});
      }
      cellJobs[c] = entry.job;
    }
  }
}

// Multithreaded rows run in three phases. The calling thread answers every
// missing or cached cell and gathers one job per distinct uncached text; the
// pool matches the jobs, which reads only the compiled table, the cell texts
// and trial orders that nobody changes meanwhile; then the calling thread
// applies the results in column order. So the shared tables are only ever
// touched by one thread, and matching, the expensive part, runs in parallel.
void Inf::classifyRowOnPool(const std::vector<std::string>& row, std::size_t width,
                            WorkerPool& pool) {
  jobs.clear();
  try {
    gatherJobs(row, width);
  } catch (...) {
    for (const MatchJob& job : jobs) typeCache.entry(job.cacheEntry).job = -1;
    throw;
  }
  pool.run(jobs.size(), [this](std::size_t j) {
    MatchJob& job = jobs[j];
    try {
      const int position = matcher.firstMatch(job.column->regexOrdering, job.text);
      job.type = position < 0 ? kOther : job.column->regexOrdering[position];
    } catch (...) {
      job.error = std::current_exception();
    }
  });
  const std::exception_ptr error = applyMatches();
  for (std::size_t c = 0; c < width; ++c) {
    if (cellJobs[c] < 0 || jobs[cellJobs[c]].error) continue;
    rowTypes[c] = jobs[cellJobs[c]].type;
    rowColumns[c]->count(rowTypes[c]);
  }
  if (error) std::rethrow_exception(error);
}

// Swaps and caches the result of each job in the order the jobs were made,
// which is column order. Returns the first failure, if any: the cells that
// failed stay uncounted and uncached, as in a single-threaded pass.
std::exception_ptr Inf::applyMatches() {
  std::exception_ptr first;
  for (MatchJob& job : jobs) {
    TextCache::Entry& entry = typeCache.entry(job.cacheEntry);
    entry.job = -1;
    if (job.error) {
      if (!first) first = job.error;
      continue;
    }
    if (job.type != kOther) {
      // Another job of a column with the same name may have moved the type.
      std::vector<TypeId>& order = job.column->regexOrdering;
      promote(*job.column,
              static_cast<int>(std::find(order.begin(), order.end(), job.type) - order.begin()));
    }
    entry.type = cacheable(job.type);
  }
  return first;
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
  std::ifstream file(filepath, std::ios::binary);
  CsvParser parser(file);
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

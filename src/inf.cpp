// The engine's front: settings, the phases of a pass, and the column count.
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
      multithreading(multithreading),
      saveTypesFile(saveTypesFile),
      typesFilepath(std::move(typesFilepath)),
      rollingCacheWindow(rollingCacheWindow),
      classifier(this->colTypePatterns, std::move(naValues)) {
  this->colTypePatterns.set(colTypePatterns);
}

Inf::~Inf() = default;

// ---- Settings --------------------------------------------------------------

Inf& Inf::changing() {
  if (passRunning) throw std::runtime_error("a pass is in progress on this object");
  return *this;
}

void Inf::setColTypePatterns(const PatternStrings& patterns) {
  changing();
  // Cached texts carry type names of the old table, which the new one may lack.
  classifier.emptyCache();
  colTypePatterns.set(patterns);
}

PatternStrings Inf::getColTypePatterns() const { return colTypePatterns.patterns(); }

void Inf::setNaValues(std::unordered_set<std::string> values) {
  changing().classifier.setMissing(std::move(values));
}

void Inf::getColType(const std::vector<std::string>& fields, int c,
                     std::vector<std::string>& types) {
  changing().classifier.classifyField(fields, c, types);
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
  changing();
  struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) { flag = true; }
    ~Running() { flag = false; }
  } running(passRunning);
  try {
    runPass(hook);
  } catch (const std::bad_alloc&) {
    // The cache is only a memo, and when memory runs out it holds most of
    // what there was: without it the object can run its next pass.
    classifier.releaseCache();
    throw;
  }
}

void Inf::runPass(const PassHook& hook) {
  checkPaths();
  classifier.startRows(rollingCacheWindow);
  typesFileError.clear();
  passStats = PassStats();
  // Decompressing on a thread of its own pays only beside the pool's workers.
  const bool decompressAside = multithreading && std::thread::hardware_concurrency() > 1;
  PassClock clock(hook, classifier.rows(), classifier.clock());
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
    classifier.forgetColumns();
  } else {
    classifier.startColumns(nameColumns(*row), typesFile);
    classifier.headerDone();
    const unsigned threads = multithreading ? passThreadCount() : 1;
    // Where a cell's type follows from its text alone, one thread counts as
    // the workers do, without the cache: the pipeline then runs on the
    // calling thread only.
    if (threads > 1 || colTypePatterns.typesOfTextIfNoneShared() != nullptr) {
      if (!parser.empty()) {
        classifyOnPipeline(parser, input.stream(), threads, typesFile);
        // A huge cell leaves freed chunk buffers in the threads' heaps, which
        // glibc would keep: give them back, once a pass.
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
      }
    } else {
      for (++row; row != end; ++row) classifier.classifyRow(*row, typesFile);
    }
    classifier.endRows();
  }
  typesFile.close();
  typesFileError = typesFile.error();
  if (hook) hook(PassProgress{input.bytesRead(), input.totalBytes(), classifier.rows()});
}

// Empty header cells are named "Unitled_" and a number.
std::vector<std::string> Inf::nameColumns(const std::vector<std::string>& header) {
  std::vector<std::string> names(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    names[c] = header[c].empty() ? "Unitled_" + std::to_string(++untitledCols) : header[c];
  }
  return names;
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
  PassPipeline::Setup setup{parser.dialect(),
                            classifier.columnNames().size(),
                            threads,
                            chunkBytes,
                            &colTypePatterns,
                            &classifier.missing(),
                            [this] {
                              if (classifier.clock() != nullptr) classifier.clock()->poll();
                            }};
  PassPipeline pipeline(input, parser.unread(), std::move(setup), passStats);
  if (countApart != nullptr) {
    pipeline.count(*countApart, typesFile.enabled(),
                   [&](const SettledChunk& chunk) { classifier.addChunkCounts(chunk, typesFile); });
  } else {
    const std::uint64_t repeatsBefore = classifier.repeatsInChunks();
    const std::uint64_t missesBefore = classifier.missesOutsideCache();
    pipeline.resolve(
        [&](const SettledChunk& chunk) { classifier.classifyChunk(chunk, typesFile); });
    passStats.repeatsInChunks = classifier.repeatsInChunks() - repeatsBefore;
    passStats.missesOutsideCache = classifier.missesOutsideCache() - missesBefore;
  }
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

}  // namespace quorvel

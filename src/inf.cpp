// The engine's front: settings, the phases of a pass, and the column count.
#include "inf.h"

#include <malloc.h>

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

void Inf::checkTypesFile(const InputStream& input) const {
  if (!saveTypesFile) return;
  rejectNul(typesFilepath, "the types file path");
  if (input.source().isFile(typesFilepath)) {
    throw std::invalid_argument("the types file path '" + typesFilepath +
                                "' names the input file '" + input.source().name() + "'");
  }
}

// Runs a pass with the object closed to changes, and without the cache when
// memory ran out: the cache is only a memo, and then holds most of what there
// was, so that the object can run its next pass.
template <typename Pass>
void Inf::guarded(const Pass& pass) {
  changing();
  struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) { flag = true; }
    ~Running() { flag = false; }
  } running(passRunning);
  try {
    pass();
  } catch (const std::bad_alloc&) {
    classifier.releaseCache();
    throw;
  }
}

void Inf::inferTypes(const PassHook& hook) {
  guarded([&] {
    rejectNul(filepath, "the CSV file path");
    startPass();
    InputStream input(filepath);
    runPass(input, ColumnLayout{}, hook);
  });
}

void Inf::inferTypes(InputStream& input, const ColumnLayout& layout, const PassHook& hook) {
  guarded([&] {
    startPass();
    runPass(input, layout, hook);
  });
}

// What a pass resets before it opens its input: a failure to open leaves
// no rows.
void Inf::startPass() {
  classifier.startRows(rollingCacheWindow);
  typesFileError.clear();
  endedAtRowEnd = false;
  passStats = PassStats();
}

void Inf::runPass(InputStream& input, const ColumnLayout& layout, const PassHook& hook) {
  checkTypesFile(input);
  PassClock clock(hook, classifier.rows());
  input.setReadHook(clock.readHook());
  struct Unhook {
    InputStream& input;
    ~Unhook() { input.setReadHook(nullptr); }
  } unhook{input};
  // Decompressing on a thread of its own pays only beside the pool's workers.
  if (multithreading && std::thread::hardware_concurrency() > 1) input.decompressAside();
  clock.watch(input);
  CsvParser parser(input.stream());
  parser.delimiter(delimiter);
  // Reading the first row first means that an input which opens but cannot be
  // read (a directory) fails before an existing types file is truncated.
  const bool headerRow = layout.names.empty() || layout.headerRow;
  std::vector<std::string> names = layout.names;
  if (headerRow) {
    auto row = parser.begin();
    if (names.empty() && row != parser.end()) names = nameColumns(row.take());
  } else {
    input.peek(1);
  }
  TypesFile typesFile(saveTypesFile, typesFilepath);
  if (names.empty()) {
    // Only an empty input leaves no names: the header's read ended it.
    classifier.forgetColumns();
    endedAtRowEnd = parser.ended_at_row_end();
  } else {
    classifier.startColumns(std::move(names), typesFile);
    classifier.headerDone(clock);
    endedAtRowEnd = classifyRows(parser, input.stream(), typesFile, clock);
    classifier.endRows();
  }
  typesFile.close();
  typesFileError = typesFile.error();
  if (hook) hook(PassProgress{input.bytesRead(), input.totalBytes(), classifier.rows()});
}

// Where a cell's type follows from its text alone, even one thread counts as
// the workers do, without the cache: the pipeline then runs on the calling
// thread only. Missing values so many that they do not fit on the automaton
// beside the types leave the pass to resolve, which gives the same counts.
Inf::RowPlan Inf::planRows() {
  return RowPlan{multithreading ? passThreadCount() : 1,
                 colTypePatterns.typesOfTextMarking(classifier.missing().texts())};
}

// The data rows: what `parser` has not yet read of `input`. Returns whether
// the input ended where a row ends.
bool Inf::classifyRows(CsvParser& parser, std::istream& input, TypesFile& typesFile,
                       PassClock& clock) {
  const RowPlan plan = planRows();
  if (plan.rowByRow()) {
    // begin() reads on from where the parser stands: past the header, if any.
    for (auto row = parser.begin(); row != parser.end(); ++row) {
      classifier.classifyRow(*row, typesFile, clock);
    }
    return parser.ended_at_row_end();
  }
  if (parser.empty()) return parser.ended_at_row_end();
  const bool rowEnded = classifyOnPipeline(parser, input, plan, typesFile, clock);
  // A huge cell leaves freed chunk buffers in the threads' heaps, which
  // glibc would keep: give their whole pages back, once a pass. What ends
  // at the top of a thread's heap malloc_trim leaves alone; glibc keeps up
  // to its trim threshold there, which rises as large blocks are freed.
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
  return rowEnded;
}

// Empty header cells are named "Unitled_" and a number. The cells become the
// names in place, so that a header as long as the input is not copied.
std::vector<std::string> Inf::nameColumns(std::vector<std::string> header) {
  for (std::string& cell : header) {
    if (cell.empty()) cell = "Unitled_" + std::to_string(++untitledCols);
  }
  return header;
}

unsigned Inf::passThreadCount() const {
  return passThreads != 0 ? passThreads : PassPipeline::threadsByDefault();
}

// The rest of the input goes through the pipeline, which hands over its rows
// chunk by chunk in file order, with each text's hash and match set, or,
// where a cell's type follows from its text alone, counted by the workers.
// Returns whether the input ended where a row ends.
bool Inf::classifyOnPipeline(const CsvParser& parser, std::istream& input, const RowPlan& plan,
                             TypesFile& typesFile, PassClock& clock) {
  PassPipeline::Setup setup{parser.dialect(),
                            classifier.columnNames().size(),
                            plan.threads,
                            chunkBytes,
                            &colTypePatterns,
                            &classifier.missing(),
                            [&clock] { clock.poll(); }};
  PassPipeline pipeline(input, parser.unread(), std::move(setup), passStats);
  if (plan.countApart != nullptr) {
    pipeline.count(*plan.countApart, typesFile.enabled(),
                   [&](const SettledChunk& chunk) { classifier.addChunkCounts(chunk, typesFile); });
  } else {
    const std::uint64_t acrossBefore = classifier.textsAcrossChunks();
    pipeline.resolve(classifier.startResolving(plan.threads), [&](const SettledChunk& chunk) {
      classifier.classifyChunk(chunk, typesFile, clock);
    });
    passStats.textsAcrossChunks = classifier.textsAcrossChunks() - acrossBefore;
  }
  return pipeline.endedAtRowEnd();
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

// The column type inference engine. An Inf object holds the settings for one
// CSV file, the compiled pattern table, and the results of the last pass: per
// column, how many cells fell under each type name, "NA" and "other". The
// binding includes this header: no regex engine comes in through it.
//
//   Inf inf("data.csv", ',', {{"int", {"[0-9]+"}}}, {"NA"}, false, false, "", 1000);
//   inf.inferTypes();  // then getColNames(), getNumRows(), getColTypeCandidates()
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "classify/classifier.h"
#include "io/input_stream.h"
#include "match/pattern_table.h"
#include "parser.hpp"
#include "pass/pass_clock.h"
#include "pass/pass_stats.h"

namespace quorvel {

class TypesFile;

// How a pass finds its columns in the input.
struct ColumnLayout {
  // The columns' names by position; empty: the first row names them, its
  // empty cells "Unitled_" and a number.
  std::vector<std::string> names;
  // With names: whether the first row is a header, which is read past, or
  // the first data row.
  bool headerRow = true;
};

// Contracts:
//  - Not thread-safe: one caller at a time. A multithreaded pass starts and
//    joins its own workers inside inferTypes().
//  - The hook of a pass may call back into the object (the binding runs
//    Python code in it). While a pass runs, every setter and inferTypes()
//    throw std::runtime_error and change nothing, so the pass, and its
//    workers, read the settings it started with to its end. Getters work.
//  - Setters replace a setting and validate nothing; settings take effect at
//    the next pass, and the results of the last pass stay readable until then.
//  - setColTypePatterns() also empties the type cache, so no text keeps a type
//    name of an earlier table. When a pattern fails to compile it throws the
//    regex library's error and leaves the types compiled before it.
//  - A rollingCacheWindow below 1 never empties the cache during a pass.
class Inf {
 public:
  Inf(std::string filepath, char delimiter, const PatternStrings& colTypePatterns,
      std::unordered_set<std::string> naValues, bool multithreading, bool saveTypesFile,
      std::string typesFilepath, int rollingCacheWindow);
  ~Inf();

  static constexpr std::chrono::milliseconds kHookInterval = PassClock::kInterval;

  // One streaming pass over the file, decompressed while it is read when it
  // is gzip, bzip2, xz or zstd. Throws std::runtime_error when the file
  // cannot be opened, read or decompressed, std::invalid_argument for a path
  // holding a NUL byte or a types file that is the input itself, whatever
  // classification throws (Boost's match-complexity error, std::bad_alloc)
  // and whatever `hook` throws. Failing to write the types file is not
  // thrown: see getTypesFileError().
  void inferTypes(const PassHook& hook = nullptr);
  // The same pass over `input` instead of the file at getFilepath(), its
  // columns found as `layout` says. The input is used up; a types file that
  // names the file it reads throws std::invalid_argument before it is read.
  void inferTypes(InputStream& input, const ColumnLayout& layout, const PassHook& hook = nullptr);

  // Classifies fields[c] as a cell of the column named getColNames()[c],
  // stores its type name in types[c] and counts it, as the pass does. The
  // module binds only the pass; this stays as the engine's cell-by-cell entry
  // point, through which the tests hold the rule to its trial orders.
  void getColType(const std::vector<std::string>& fields, int c, std::vector<std::string>& types);

  void setColTypePatterns(const PatternStrings& patterns);
  void setNaValues(std::unordered_set<std::string> values);
  void setFilepath(std::string path) { changing().filepath = std::move(path); }
  void setDelimiter(char c) { changing().delimiter = c; }
  void setMultithreading(bool on) { changing().multithreading = on; }
  void setSaveTypesFile(bool on) { changing().saveTypesFile = on; }
  void setTypesFilepath(std::string path) { changing().typesFilepath = std::move(path); }
  void setRollingCacheWindow(int rows) { changing().rollingCacheWindow = rows; }

  // Whether a pass is running on this object.
  bool passInProgress() const { return passRunning; }

  PatternStrings getColTypePatterns() const;
  std::unordered_set<std::string> getNaValues() const { return classifier.missing().texts(); }
  std::string getFilepath() const { return filepath; }
  char getDelimiter() const { return delimiter; }
  bool getMultithreading() const { return multithreading; }
  bool getSaveTypesFile() const { return saveTypesFile; }
  std::string getTypesFilepath() const { return typesFilepath; }
  int getRollingCacheWindow() const { return rollingCacheWindow; }

  // Number of fields in the first row of the file at the current path.
  int getNumCols() const;
  std::uint64_t getNumRows() const { return classifier.rows(); }
  // A reference, so that the binding copies a huge header's names once, into Python.
  const std::vector<std::string>& getColNames() const { return classifier.columnNames(); }
  CandidateCounts getColTypeCandidates() const { return classifier.counts(); }
  // Per column name, the order in which its types are tried next; for the
  // tests, which check that both kinds of pass leave the same orders.
  std::unordered_map<std::string, std::vector<std::string>> getRegexOrdering() const {
    return classifier.orders();
  }
  // Per column of the last pass and per type, its first cells in file order
  // with their data rows (1: the first row after the header), at most
  // ColumnExamples::kKept of them, each text cut to ColumnExamples::kTextBytes.
  CellExampleTable getCellExamples() const { return classifier.examples(); }
  // The data rows of the last pass with fewer, and with more, cells than its header.
  RaggedRows getRaggedRows() const { return classifier.ragged(); }
  // The first failure to open, write or close the types file in the last
  // pass, with the OS reason; empty when there was none.
  std::string getTypesFileError() const { return typesFileError; }
  // Whether the input of the last pass ended where a row ends as the
  // tokenizer reads it: outside quotes right after a row's terminator (a
  // last CR too), or with no byte at all. A caller that counts pieces of one
  // input apart learns from it whether its piece ended with a whole row. On
  // every thread count the answer is about the end of the whole input; false
  // after a pass that failed before that end.
  bool getEndedAtRowEnd() const { return endedAtRowEnd; }

  // For tests and benchmarks: the threads of a multithreaded pass (0: one
  // per core; 1: single-threaded), the bytes read for each of its chunks,
  // and what its last pass did.
  void setPassThreads(unsigned threads) { changing().passThreads = threads; }
  void setChunkBytes(std::size_t bytes) { changing().chunkBytes = bytes; }
  const PassStats& getPassStats() const { return passStats; }

 private:
  // This object, for a call that changes it: throws while a pass runs.
  Inf& changing();
  template <typename Pass>
  void guarded(const Pass& pass);
  void startPass();
  void runPass(InputStream& input, const ColumnLayout& layout, const PassHook& hook);
  void checkTypesFile(const InputStream& input) const;
  // Which loop a pass's data rows go through, decided once, before them.
  struct RowPlan {
    unsigned threads;  // of the pipeline, the calling thread included
    // Where a cell's type follows from its text alone, the automaton the
    // pipeline counts by, missing values marked on it
    // (PatternTable::typesOfTextMarking); else null, and the pipeline resolves.
    const TypeAutomaton* countApart;
    // The parser's rows go one by one through the classifier, without the pipeline.
    bool rowByRow() const { return threads == 1 && countApart == nullptr; }
  };
  RowPlan planRows();
  bool classifyRows(CsvParser& parser, std::istream& input, TypesFile& typesFile, PassClock& clock);
  std::vector<std::string> nameColumns(std::vector<std::string> header);
  unsigned passThreadCount() const;
  bool classifyOnPipeline(const CsvParser& parser, std::istream& input, const RowPlan& plan,
                          TypesFile& typesFile, PassClock& clock);

  // Settings.
  std::string filepath;
  char delimiter;
  PatternTable colTypePatterns;
  bool multithreading;
  bool saveTypesFile;
  std::string typesFilepath;
  int rollingCacheWindow;

  // The missing values, the cache, the trial orders and the counts.
  Classifier classifier;
  int untitledCols = 0;  // numbers "Unitled_" columns across passes
  std::string typesFileError;
  bool endedAtRowEnd = false;
  bool passRunning = false;

  // Tuning of multithreaded passes and what the last one did.
  unsigned passThreads = 0;
  std::size_t chunkBytes = std::size_t{1} << 19;
  PassStats passStats;
};

}  // namespace quorvel

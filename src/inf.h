// The column type inference engine. An Inf object holds the settings for one
// CSV file, the compiled pattern table, and the results of the last pass: per
// column, how many cells fell under each type name, "NA" and "other".
//
//   Inf inf("data.csv", ',', {{"int", {"[0-9]+"}}}, {"NA"}, false, false, "", 1000);
//   inf.inferTypes();  // then getColNames(), getNumRows(), getColTypeCandidates()
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "chunk_parser.hpp"
#include "classify/text_cache.h"
#include "match/type_id.h"
#include "parser.hpp"
#include "pass/pass_pipeline.h"

namespace quorvel {

class PassClock;
class TypesFile;
class TypeMatcher;
struct PatternTable;
struct TableOverlaps;

using PatternStrings = std::unordered_map<std::string, std::vector<std::string>>;
using CandidateCounts =
    std::unordered_map<std::string, std::unordered_map<std::string, std::uint64_t>>;

// Which pairs of the table's types some text matches both of (see findOverlaps). Throws the
// regex library's error for a pattern that does not compile, as setting the table would.
TableOverlaps tableOverlaps(const PatternStrings& patterns);

// How far a pass has come.
struct PassProgress {
  std::uint64_t bytesRead;                  // input bytes taken: compressed ones when compressed
  std::optional<std::uint64_t> totalBytes;  // the input's size, when it is a regular file
  std::uint64_t rows;                       // data rows finished
};

// Called on the calling thread about every Inf::kHookInterval during a pass,
// and once when the pass has ended. Whatever it throws ends the pass as any
// failure during the rows does.
using PassHook = std::function<void(const PassProgress&)>;

// Contracts:
//  - Not thread-safe: one caller at a time. A multithreaded pass starts and
//    joins its own workers inside inferTypes().
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

  static constexpr std::chrono::milliseconds kHookInterval{100};

  // One streaming pass over the file, decompressed while it is read when it
  // is gzip, bzip2, xz or zstd. Throws std::runtime_error when the file
  // cannot be opened, read or decompressed, std::invalid_argument for a path
  // holding a NUL byte or a types file that is the input itself, whatever
  // classification throws (Boost's match-complexity error, std::bad_alloc)
  // and whatever `hook` throws. Failing to write the types file is not
  // thrown: see getTypesFileError().
  void inferTypes(const PassHook& hook = nullptr);

  // Classifies fields[c] as a cell of the column named getColNames()[c],
  // stores its type name in types[c] and counts it, as the pass does.
  void getColType(const std::vector<std::string>& fields, int c, std::vector<std::string>& types);

  void setColTypePatterns(const PatternStrings& patterns);
  void setNaValues(std::unordered_set<std::string> values);
  void setFilepath(std::string path) { filepath = std::move(path); }
  void setDelimiter(char c) { delimiter = c; }
  void setMultithreading(bool on) { multithreading = on; }
  void setSaveTypesFile(bool on) { saveTypesFile = on; }
  void setTypesFilepath(std::string path) { typesFilepath = std::move(path); }
  void setRollingCacheWindow(int rows) { rollingCacheWindow = rows; }

  PatternStrings getColTypePatterns() const;
  std::unordered_set<std::string> getNaValues() const { return naValues; }
  std::string getFilepath() const { return filepath; }
  char getDelimiter() const { return delimiter; }
  bool getMultithreading() const { return multithreading; }
  bool getSaveTypesFile() const { return saveTypesFile; }
  std::string getTypesFilepath() const { return typesFilepath; }
  int getRollingCacheWindow() const { return rollingCacheWindow; }

  // Number of fields in the first row of the file at the current path.
  int getNumCols() const;
  std::uint64_t getNumRows() const { return n; }
  std::vector<std::string> getColNames() const { return columns; }
  CandidateCounts getColTypeCandidates() const;
  // Per column name, the order in which its types are tried next.
  std::unordered_map<std::string, std::vector<std::string>> getRegexOrdering() const;
  // The first failure to open, write or close the types file in the last
  // pass, with the OS reason; empty when there was none.
  std::string getTypesFileError() const { return typesFileError; }

  // For tests and benchmarks: the threads of a multithreaded pass (0: one
  // per core; 1: single-threaded), the bytes read for each of its chunks,
  // and what its last pass did.
  void setPassThreads(unsigned threads) { passThreads = threads; }
  void setChunkBytes(std::size_t bytes) { chunkBytes = bytes; }
  const PassStats& getPassStats() const { return passStats; }

 private:
  // The trial order and candidate counts of one column name; columns that
  // share a name share one.
  struct ColumnTables {
    std::string name;
    std::vector<TypeId> regexOrdering;
    std::vector<std::uint64_t> counts;  // by type id
    std::vector<bool> counted;          // which type ids have a count entry
    void count(TypeId type, std::uint64_t times = 1);
  };

  TypeId internType(const std::string& name);
  void compilePatterns(const PatternStrings& patterns);
  void rebuildMatcher();
  void pinMissingValues(TextCache& cache);
  void emptyTypeCache();

  void releaseTypeCache();

  void runPass(const PassHook& hook);
  void checkPaths() const;
  void setUpHeader(const std::vector<std::string>& header, TypesFile& typesFile);
  ColumnTables& resetColumn(const std::string& name);
  void classifyRows(CsvParser::iterator& row, const CsvParser::iterator& end, TypesFile& typesFile);
  void classifyRow(const std::vector<std::string>& row, TypesFile& typesFile);
  unsigned passThreadCount() const;
  void classifyOnPipeline(const CsvParser& parser, std::istream& input, unsigned threads,
                          TypesFile& typesFile);
  const TypeAutomaton* typesOfTextIfNoneShared();
  void classifyChunk(const PassPipeline::Settled& chunk, TypesFile& typesFile);
  void addChunkCounts(const PassPipeline::Settled& chunk, TypesFile& typesFile);
  int firstInMatchSet(const std::vector<TypeId>& order, std::uint64_t matches,
                      std::string_view text) const;
  void writeRowTypes(std::size_t width, TypesFile& typesFile);
  std::uint64_t cacheWindow() const;
  void finishRow();
  void finishRows(std::uint64_t rows);

  void hashRow(const TextCache& cache, const std::vector<std::string>& row, std::size_t width);
  void prefetchSlotAhead(const TextCache& cache, std::size_t c, std::size_t width);
  TypeId classifyCell(std::string_view text, std::size_t hash, ColumnTables& column);
  template <class FirstMatch>
  TypeId classifyCell(std::string_view text, std::size_t hash, ColumnTables& column,
                      const FirstMatch& firstMatch);
  TypeId promote(ColumnTables& column, int position);
  TypeId cacheable(TypeId type) const;
  ColumnTables& tablesFor(const std::string& columnName);

  // Settings.
  std::string filepath;
  char delimiter;
  std::unique_ptr<PatternTable> colTypePatterns;  // compiled, behind the matcher's engines
  std::unordered_set<std::string> naValues;
  bool multithreading;
  bool saveTypesFile;
  std::string typesFilepath;
  int rollingCacheWindow;

  // Pass state and results.
  TextCache typeCache;
  std::deque<ColumnTables> columnTables;  // a deque, so that references stay valid
  std::unordered_map<std::string, std::size_t> columnIndex;  // name -> columnTables slot
  std::uint64_t n = 0;
  int untitledCols = 0;
  std::vector<std::string> columns;
  std::string typesFileError;
  PassClock* passClock = nullptr;  // during a pass with a hook

  // Derived from the pattern table when it is set.
  std::vector<std::string> typeNames;  // by type id; ids are never reused
  std::unordered_map<std::string, TypeId> typeIds;
  std::vector<TypeId> tableTypes;  // the table's types in its own enumeration order
  std::unique_ptr<TypeMatcher> matcher;
  // The types whose matches a match set records, bit by bit; by type id, each
  // type's bit or -1.
  std::vector<TypeId> matchSetTypes;
  std::vector<int> matchSetBits;
  // Whether no text matches two types of the table, all of them on the
  // matcher's automaton (so that no match can fail); asked at the first pass.
  bool noTextShared = false;
  bool typesOfTextAsked = false;

  // Tuning of multithreaded passes and what the last one did.
  unsigned passThreads = 0;
  std::size_t chunkBytes = std::size_t{1} << 19;
  PassStats passStats;

  // Working state of a pass, kept between rows so that rows allocate nothing.
  std::vector<ColumnTables*> rowColumns;  // by column index
  std::vector<TypeId> rowTypes;           // by column index
  std::vector<std::size_t> rowHashes;     // by column index
  std::string line;
};

}  // namespace quorvel

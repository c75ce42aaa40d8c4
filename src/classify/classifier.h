// Cell classification for the passes of one Inf: the missing values, what
// the window remembers of texts (the type cache, or on threads the numbered
// texts of window_texts.h), the columns' tables (column_tables.h), and the
// loops that apply the rule (cell_rule.h) to the rows of a pass, whether
// they come from the parser or settled from the pipeline.
//
//   Classifier classifier(table, {"NA"});
//   classifier.startRows(1000);  classifier.startColumns({"a", "b"}, typesFile);
//   classifier.classifyRow({"1", "x"}, typesFile, clock);  // then counts(), orders()
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cell/cell_examples.h"
#include "cell/cell_rule.h"
#include "cell/missing_values.h"
#include "cell/text_cache.h"
#include "classify/column_tables.h"
#include "classify/window_texts.h"
#include "match/pattern_table.h"
#include "match/type_id.h"

namespace quorvel {

class PassClock;
class TypesFile;
struct SettledChunk;

// Contracts: `table` outlives the classifier, and every pass starts with
// startRows() and startColumns(). Rows count the header too.
class Classifier {
 public:
  Classifier(const PatternTable& table, std::unordered_set<std::string> missing);

  const MissingValues& missing() const { return missing_; }
  void setMissing(std::unordered_set<std::string> texts) { missing_.set(std::move(texts)); }
  // Forgets what the window remembers, which a new pattern table must find
  // empty: cached texts carry types of the old one.
  void emptyCache();
  // Forgets it and gives its memory back.
  void releaseCache();

  // A pass starts: no rows yet, and the cache is emptied every `window` rows
  // (a window below 1: never).
  void startRows(int window);
  // Names the pass's columns, starts their trial orders and counts afresh,
  // and writes the header line. The names are kept as given, and each name
  // once more in its column's tables: a header as long as the input is held
  // twice, never more.
  void startColumns(std::vector<std::string> names, TypesFile& typesFile);
  // The header is a row too. Each finished row ticks the pass's clock.
  void headerDone(PassClock& clock) { finishRow(clock); }

  // Classifies the cells of a row (those beyond the header's width have no
  // column and are ignored) and writes its types line.
  void classifyRow(const std::vector<std::string>& row, TypesFile& typesFile, PassClock& clock);
  // Before the rows of a resolving pass on `threads` threads: what the window
  // remembers moves to the numbered texts, which link the pass's rounds.
  RoundLink& startResolving(unsigned threads);
  // The same as classifyRow() for every row of a chunk of a resolving pass,
  // with the hashes, match sets and window numbers the workers found.
  void classifyChunk(const SettledChunk& chunk, TypesFile& typesFile, PassClock& clock);
  // Adds the counts and lines of a chunk the workers counted themselves.
  void addChunkCounts(const SettledChunk& chunk, TypesFile& typesFile);
  // Classifies fields[c] as a cell of the column columnNames()[c], stores its
  // type name in types[c] and counts it, as the pass does.
  void classifyField(const std::vector<std::string>& fields, int c,
                     std::vector<std::string>& types);

  // See WindowTexts::textsAcrossChunks() (for the tests and the benchmark).
  std::uint64_t textsAcrossChunks() const { return windowTexts_.textsAcrossChunks(); }
  const std::uint64_t& rows() const { return rows_; }
  // After the last row: rows() counts the data rows only.
  void endRows() { --rows_; }
  const std::vector<std::string>& columnNames() const { return columns_; }
  void forgetColumns() { columns_.clear(); }
  CandidateCounts counts() const { return columnTables_.counts(); }
  std::unordered_map<std::string, std::vector<std::string>> orders() const {
    return columnTables_.orders();
  }
  // The first cells of each column of the last pass, by type (see cell_examples.h).
  CellExampleTable examples() const { return columnTables_.examples(columns_); }
  // The data rows of the last pass shorter or longer than its header.
  const RaggedRows& ragged() const { return ragged_; }

 private:
  template <class FirstMatch>
  TypeId classifyCell(std::string_view text, std::size_t hash, bool missing, ColumnTables& column,
                      const FirstMatch& firstMatch);
  int firstMatch(const std::vector<TypeId>& order, std::string_view text) const;
  // Every cell a loop classifies on the calling thread is counted here, so
  // that each column keeps its first cells of each type whichever way the
  // type was found. Inline: it is the whole work of most cells of a chunk.
  // text() gives the cell's text, asked only for a cell kept.
  template <class Text>
  TypeId countCell(ColumnTables& column, TypeId type, const Text& text) {
    if (column.count(type) <= ColumnExamples::kKept) column.examples.keep(type, text(), rows_);
    return type;
  }
  void rememberInCache();
  void hashRow(const std::vector<std::string>& row, std::size_t width);
  void prefetchSlotAhead(std::size_t c, std::size_t width);
  void writeRowTypes(std::size_t width, TypesFile& typesFile);
  void finishRow(PassClock& clock);
  void endWindow();
  void finishRows(std::uint64_t rows);
  void keepExamples(const SettledChunk& chunk);

  // Where what the window remembers of texts is kept.
  enum class Memory {
    kCache,        // the type cache: rows one by one, and classifyField()
    kWindowTexts,  // windowTexts_: a resolving pass, and after it until the cache is wanted
  };

  const PatternTable& table_;
  MissingValues missing_;
  Memory memory_ = Memory::kCache;
  TextCache cache_;
  WindowTexts windowTexts_;
  ColumnTableSet columnTables_;
  std::vector<std::string> columns_;  // of the last pass

  std::uint64_t rows_ = 0;
  RaggedRows ragged_;
  std::uint64_t window_ = 0;
  // Rows until the cache is next emptied, window_ - rows_ % window_, kept so
  // that a row needs no division.
  std::uint64_t rowsToWindowEnd_ = 0;

  // Working state of a pass, kept between rows so that rows allocate nothing.
  std::vector<ColumnTables*> rowColumns_;             // by column index
  std::vector<TypeId> rowTypes_;                      // by column index
  std::vector<std::size_t> rowHashes_;                // by column index
  const TypeAutomaton* matchSetAutomaton_ = nullptr;  // of the pass's table, if any
  std::string line_;
};

}  // namespace quorvel

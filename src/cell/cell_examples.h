// What a pass remembers of its cells beyond the counts, for a report to show
// them: per column and type, the first few texts met and the data rows they
// are on (1 is the first row after the header), and how many data rows hold
// fewer or more cells than the header.
//
// Bounded: at most ColumnExamples::kKept examples per column and type, each
// text cut to its first ColumnExamples::kTextBytes bytes. Cheap: a loop keeps
// a cell only while the count it has just added to is at most kKept, so each
// cell pays one compare that is nearly always false:
//
//   if (column.count(type) <= ColumnExamples::kKept) column.examples.keep(type, text, row);
//
// The first texts in file order, whatever the path: single-threaded and
// resolving loops keep them as they count; counting workers note where the
// first ones of their chunk are (ChunkExamples), and the chunk's consumer
// keeps them, chunk after chunk in file order, until each type has enough.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "match/type_id.h"

namespace quorvel {

struct CellExample {
  std::string text;   // the cell's first ColumnExamples::kTextBytes bytes at most
  std::size_t bytes;  // of the whole text: more than text.size() when it was cut
  std::uint64_t row;  // the data row, 1 for the first after the header

  bool operator==(const CellExample& other) const {
    return text == other.text && bytes == other.bytes && row == other.row;
  }
};

// Per column name, then per type name ("other" and "NA" included), the kept
// cells in file order; a type without any has no entry.
using CellExampleTable =
    std::unordered_map<std::string, std::unordered_map<std::string, std::vector<CellExample>>>;

// The first cells of one column, by type.
class ColumnExamples {
 public:
  // Five: a report line shows three per type, and two more are left for a
  // reader who skips repeats. Each kept text costs a copy of at most 100
  // bytes, which covers any value a loader could read as a number or date.
  static constexpr std::uint64_t kKept = 5;
  static constexpr std::size_t kTextBytes = 100;

  void clear() { byType_.clear(); }
  // Keeps the cell unless its type has kKept already. Out of line: it runs
  // only for the first cells of each type.
  void keep(TypeId type, std::string_view text, std::uint64_t row);
  // By type id; ids past its end have none.
  const std::vector<std::vector<CellExample>>& byType() const { return byType_; }

 private:
  std::vector<std::vector<CellExample>> byType_;
};

// Where a chunk's first cells of each column and type are, noted by the
// worker that counts the chunk, in file order. The texts stay in the chunk's
// tokenizer until the consumer keeps them.
class ChunkExamples {
 public:
  struct At {
    std::size_t field;   // kept field of the chunk
    std::size_t row;     // from 0 in the chunk
    std::size_t column;  // index in the header
    TypeId type;
  };

  void clear() { at_.clear(); }
  void note(std::size_t field, std::size_t row, std::size_t column, TypeId type) {
    at_.push_back(At{field, row, column, type});
  }
  const std::vector<At>& at() const { return at_; }

 private:
  std::vector<At> at_;
};

// Data rows whose cell count differs from the header's. The cells a short
// row lacks are not counted anywhere, nor are a long row's extra ones.
struct RaggedRows {
  std::uint64_t shorter = 0;
  std::uint64_t longer = 0;

  void note(std::size_t cells, std::size_t columns) {
    shorter += cells < columns;
    longer += cells > columns;
  }
  void add(std::uint64_t moreShorter, std::uint64_t moreLonger) {
    shorter += moreShorter;
    longer += moreLonger;
  }
};

}  // namespace quorvel

// Each column name's trial order, candidate counts and first cells, kept
// across the passes of one Inf: a pass starts the tables of its columns
// afresh, and columns that share a name share one. The queries read them all.
//
//   ColumnTableSet columns(table);
//   ColumnTables& a = columns.start("a");  a.count(type);
//   CandidateCounts counts = columns.counts();
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cell/cell_examples.h"
#include "match/pattern_table.h"
#include "match/type_id.h"

namespace quorvel {

using CandidateCounts =
    std::unordered_map<std::string, std::unordered_map<std::string, std::uint64_t>>;

// The trial order and candidate counts of one column name; columns that
// share a name share one.
struct ColumnTables {
  std::string name;
  std::vector<TypeId> regexOrdering;
  // Resolving: the match-set bit of each type of regexOrdering
  // (PatternTable::bitsOf()), taken afresh at each chunk and moved alongside.
  std::vector<std::uint8_t> orderBits;
  std::vector<std::uint64_t> counts;  // by type id
  // The type ids shown with a count even when it is 0; the others are
  // shown once counted.
  std::vector<bool> shown;
  ColumnExamples examples;
  // Returns the type's count after it.
  std::uint64_t count(TypeId type, std::uint64_t times = 1) {
    if (static_cast<std::size_t>(type) >= counts.size()) grow(type);
    return counts[type] += times;
  }
  // For a type id the table gained since the column's pass.
  void grow(TypeId type);
};

// Contract: `table` outlives the set. References to tables stay valid for
// the set's life.
class ColumnTableSet {
 public:
  explicit ColumnTableSet(const PatternTable& table) : table_(table) {}

  // The tables of the column `name`, started afresh from the table: its types
  // in the table's order, every count 0, no cells kept.
  ColumnTables& start(const std::string& name);
  // The tables of the column `name`, empty ones if it was never started.
  ColumnTables& of(const std::string& name);

  CandidateCounts counts() const;
  // Per column name, the order in which its types are tried next.
  std::unordered_map<std::string, std::vector<std::string>> orders() const;
  // Of the columns `names`, each of which was started.
  CellExampleTable examples(const std::vector<std::string>& names) const;

 private:
  const PatternTable& table_;
  std::deque<ColumnTables> tables_;  // a deque, so that references stay valid
  // ColumnTables::name -> its tables_ slot; the keys view the names there.
  std::unordered_map<std::string_view, std::size_t> index_;
};

}  // namespace quorvel

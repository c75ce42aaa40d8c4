// The pattern table of an Inf: each type name with its pattern strings, the ids
// the engine knows type names by (interned, never reused), the matcher built
// from the table, and how a worker's match set stands for the table's types.
// The regex engines stay behind the matcher: this header includes neither.
//
//   PatternTable table;
//   table.set({{"int", {"[0-9]+"}}});
//   int position = table.matcher().firstMatch(table.types(), "42");  // 0
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "match/type_id.h"

namespace quorvel {

class TypeAutomaton;
class TypeMatcher;

using PatternStrings = std::unordered_map<std::string, std::vector<std::string>>;

// A match set tells which types match a text: bit i for the i-th type of
// PatternTable::matchSetTypes(), and two flags above them.
struct MatchSet {
  static constexpr std::size_t kMaxTypes = 62;
  static constexpr std::uint64_t kMissing = std::uint64_t{1} << 62;  // a missing value
  // Not found out: whoever needs the answer matches the text itself.
  static constexpr std::uint64_t kUnknown = std::uint64_t{1} << 63;
};

// What the overlap query tells of a table of named types.
struct TableOverlaps {
  struct Pair {
    std::string first;  // first < second, by bytes
    std::string second;
    std::string witness;  // a shortest text both match, the least by bytes among the shortest
  };
  std::vector<Pair> pairs;              // sorted by (first, second)
  std::vector<std::string> unanalysed;  // sorted; types the automaton cannot take
};

// The overlaps of `types`, each a name with its pattern strings, which must all be valid for
// Boost: a type with a pattern outside the parsed subset, or one that the automaton's caps
// leave out, is unanalysed. Types are offered to the automaton in the given order.
TableOverlaps findOverlaps(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& types);

// The overlaps of a whole table, its types offered in the order the matcher offers them. Throws
// the regex library's error for a pattern that does not compile, as setting the table would.
TableOverlaps tableOverlaps(const PatternStrings& patterns);

// BOOST_VERSION of the Boost.Regex the matcher was built with. Boost defines
// what a pattern means, so two builds are compared by it.
int boostRegexVersion();

class PatternTable {
 public:
  // The reserved type names, interned first so that their ids are fixed.
  static constexpr TypeId kOther = 0;
  static constexpr TypeId kNA = 1;

  PatternTable();
  ~PatternTable();
  PatternTable(const PatternTable&) = delete;
  PatternTable& operator=(const PatternTable&) = delete;

  // Compiles in the argument's own order and stops at the first pattern that
  // fails, with the regex library's error, keeping the patterns before it.
  void set(const PatternStrings& patterns);
  PatternStrings patterns() const;

  const std::vector<std::string>& names() const { return typeNames_; }  // by type id
  // The table's types in its own enumeration order: every column's first trial order.
  const std::vector<TypeId>& types() const { return tableTypes_; }
  const TypeMatcher& matcher() const { return *matcher_; }

  // The types that match sets stand for, bit by bit; none when the table has
  // more than MatchSet::kMaxTypes.
  const std::vector<TypeId>& matchSetTypes() const { return matchSetTypes_; }
  // The position in `order` of the first type that `matches` holds: what
  // matcher().firstMatch() answers, read from a match set when there is one.
  // Inline: the chunk loop asks it for every text the cache does not know.
  int firstMatch(const std::vector<TypeId>& order, std::uint64_t matches,
                 std::string_view text) const {
    if ((matches & MatchSet::kUnknown) != 0) return matcherFirstMatch(order, text);
    if (matches == 0) return -1;
    for (std::size_t i = 0; i < order.size(); ++i) {
      const int bit = bitOf(order[i]);
      if (bit >= 0 && ((matches >> bit) & 1) != 0) return static_cast<int>(i);
    }
    return -1;
  }

  // The match-set bit of each type of `order`, in its order, into `bits`; a
  // type outside match sets takes one that no known set holds. For a known
  // set (no MatchSet::kUnknown), firstMatchOfBits(bits, matches) is then
  // firstMatch(order, matches, text), with no type looked up.
  void bitsOf(const std::vector<TypeId>& order, std::vector<std::uint8_t>& bits) const;
  static int firstMatchOfBits(const std::vector<std::uint8_t>& bits, std::uint64_t matches) {
    for (std::size_t i = 0; i < bits.size(); ++i) {
      if (((matches >> bits[i]) & 1) != 0) return static_cast<int>(i);
    }
    return -1;
  }

  // The automaton over matchSetTypes() when every type is on it: the first
  // word of what it answers for a text is then the text's match set, and no
  // match can fail. Null otherwise.
  const TypeAutomaton* matchSetAutomaton() const;
  // The automaton over matchSetTypes() when no text matches two types of the
  // table and every type is on it, so that no match can fail: a cell's type
  // then follows from its text alone. Null otherwise. Found out once per table.
  const TypeAutomaton* typesOfTextIfNoneShared();
  // That automaton with the texts of `missing` marked too, by MatchSet::kMissing: the first
  // word it answers for a text is the text's match set in a pass that counts by text alone, and
  // one walk tells both what the text matches and whether it is missing. Null where
  // typesOfTextIfNoneShared() is, or where the texts do not fit beside the types. Built once per
  // table and set of texts.
  const TypeAutomaton* typesOfTextMarking(const std::unordered_set<std::string>& missing);

 private:
  TypeId intern(const std::string& name);
  void rebuild();
  int matcherFirstMatch(const std::vector<TypeId>& order, std::string_view text) const;
  // The type's match-set bit, or -1.
  int bitOf(TypeId type) const {
    return static_cast<std::size_t>(type) < matchSetBits_.size() ? matchSetBits_[type] : -1;
  }

  PatternStrings sources_;
  std::vector<std::string> typeNames_;
  std::unordered_map<std::string, TypeId> typeIds_;
  std::vector<TypeId> tableTypes_;
  std::unique_ptr<TypeMatcher> matcher_;
  std::vector<TypeId> matchSetTypes_;
  std::vector<int> matchSetBits_;  // by type id: its bit, or -1
  bool noTextShared_ = false;
  bool typesOfTextAsked_ = false;
  struct Marking;
  std::unique_ptr<Marking> marking_;  // of the last typesOfTextMarking(); null: none yet
};

}  // namespace quorvel

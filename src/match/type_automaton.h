// One deterministic automaton over bytes for a whole table of types: each accepting state
// carries the set of types whose patterns fully match the texts that end there, so one walk of a
// text tells every type it belongs to. It also tells which pairs of types share a text.
//
//   TypeAutomaton automaton({{*parseSubset("[0-9]+")}, {*parseSubset("[01]")}});
//   const std::uint64_t* types = automaton.matches("1");  // bits 0 and 1 set
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "match/regex_subset.h"

namespace quorvel {

class TypeAutomaton {
 public:
  // The caps on the automaton. A table of realistic types needs a few hundred states; a pattern
  // that must remember many bytes behind it (`[ab]*a[ab]{18}`) needs millions. Building is
  // linear in the states, so the state cap keeps a hopeless attempt to a few milliseconds, and
  // the byte cap keeps the transition table within the second-level caches of the hot walk.
  static constexpr std::size_t kMaxStates = 1 << 14;
  static constexpr std::size_t kMaxTableBytes = std::size_t{4} << 20;

  // A pair of types that some text matches both of, with a shortest such text, the least by
  // bytes among the shortest.
  struct Overlap {
    std::size_t first;
    std::size_t second;  // first < second
    std::string witness;
  };

  TypeAutomaton() = default;
  // Type i of the automaton is types[i], each a list of parsed patterns; a type with none
  // never matches. Types are taken in order while the automaton stays within its caps, and a
  // type that would take it past them is left out (see includes()).
  explicit TypeAutomaton(const std::vector<std::vector<SubsetRegex>>& types);

  bool includes(std::size_t type) const { return type < included_.size() && included_[type]; }
  std::size_t typeCount() const { return included_.size(); }
  // 64-bit words in each set of types that matches() returns.
  std::size_t words() const { return words_; }
  std::size_t stateCount() const { return stride_ == 0 ? 0 : table_.size() / stride_; }
  // Bytes the automaton holds for the walk.
  std::size_t memoryBytes() const {
    return table_.size() * sizeof(std::uint32_t) + acceptSets_.size() * sizeof(std::uint64_t);
  }

  // The included types whose patterns fully match `text`: bit i % 64 of word i / 64. Valid as
  // long as the automaton; no allocation, no lock, safe from several threads at once.
  const std::uint64_t* matches(std::string_view text) const { return setOf(setIdOf(text)); }
  // The same set by its id: texts with the same set have the same id, every id is below
  // setIdBound(), and setOf(id) gives the set. A caller that derives something from each set
  // can do so once per id, in a table of setIdBound() entries.
  std::uint32_t setIdOf(std::string_view text) const { return setIdAt(walk(start_, text)); }
  const std::uint64_t* setOf(std::uint32_t id) const { return &acceptSets_[id]; }
  std::size_t setIdBound() const { return acceptSets_.size(); }

  // Sets ids[k] to setIdOf(texts[k]) for each of K texts, walking them side by side. Each step
  // of a walk waits on the load of the step before, so one walk leaves the core idle most of
  // the time; K walks that do not depend on each other fill that time. Same guarantees as
  // matches().
  template <std::size_t K>
  void setIdsEach(const std::string_view (&texts)[K], std::uint32_t (&ids)[K]) const {
    Walks<K> walks;
    std::size_t common = texts[0].size();
    std::size_t longest = 0;
    for (std::size_t k = 0; k < K; ++k) {
      walks.bytes[k] = reinterpret_cast<const unsigned char*>(texts[k].data());
      walks.ends[k] = texts[k].size();
      walks.rows[k] = start_;
      common = std::min(common, texts[k].size());
      longest = std::max(longest, texts[k].size());
    }
    if (walkTogether(walks, common)) walkOn(walks, common, longest);
    for (std::size_t k = 0; k < K; ++k) ids[k] = setIdAt(walks.rows[k]);
  }
  // Sets sets[k] to matches(texts[k]) the same way.
  template <std::size_t K>
  void matchesEach(const std::string_view (&texts)[K], const std::uint64_t* (&sets)[K]) const {
    std::uint32_t ids[K];
    setIdsEach(texts, ids);
    for (std::size_t k = 0; k < K; ++k) sets[k] = setOf(ids[k]);
  }

  // Bytes that walks side by side take between two checks of whether they all died. Every step
  // from the dead state leads back to it, so a later check answers as one at every byte would;
  // checking every fourth byte costs a quarter of that, and a group of texts that all die early
  // (free text, at its first space) walks at most three bytes further.
  static constexpr std::size_t kStepsPerDeadCheck = 4;

  // Every pair of included types with a common text, sorted by (first, second).
  std::vector<Overlap> overlaps() const;

 private:
  class Nfa;
  class Determinizer;

  // How a row was first reached: the row before it and the byte taken.
  using Step = std::pair<std::uint32_t, std::uint8_t>;

  // The row that `text` leads to from `row`; the dead state as soon as nothing can match.
  std::uint32_t walk(std::uint32_t row, std::string_view text) const {
    const std::uint32_t* table = table_.data();
    for (const char c : text) {
      if (row == 0) break;
      row = table[row + classOf_[static_cast<unsigned char>(c)]];
    }
    return row;
  }
  // K walks side by side. A row is held as std::size_t so that a step adds and loads with no
  // widening between.
  template <std::size_t K>
  struct Walks {
    const unsigned char* bytes[K];
    std::size_t ends[K];
    std::size_t rows[K];

    bool anyAlive() const {
      std::size_t alive = 0;
      for (const std::size_t row : rows) alive |= row;
      return alive != 0;
    }
  };

  std::size_t step(std::size_t row, unsigned char byte) const {
    return table_[row + classOf_[byte]];
  }
  // The walks to byte `common`, which every text reaches, with no test of which go on. False
  // when they all died.
  template <std::size_t K>
  bool walkTogether(Walks<K>& walks, std::size_t common) const {
    return walkChecked(walks, 0, common, [&](std::size_t i) {
      for (std::size_t k = 0; k < K; ++k) walks.rows[k] = step(walks.rows[k], walks.bytes[k][i]);
    });
  }
  // The walks on from byte `from` to byte `longest`, the longest text's end, side by side still,
  // each to its text's end: a walk that went on alone would wait on every load again.
  template <std::size_t K>
  void walkOn(Walks<K>& walks, std::size_t from, std::size_t longest) const {
    walkChecked(walks, from, longest, [&](std::size_t i) {
      for (std::size_t k = 0; k < K; ++k) {
        if (i < walks.ends[k]) walks.rows[k] = step(walks.rows[k], walks.bytes[k][i]);
      }
    });
  }
  // Calls stepAt(i) for each byte i from `from` to `to`, checking after every kStepsPerDeadCheck
  // bytes whether the walks all died. False when they did. The steps between two checks are
  // as many as the constant says, so that they need no count of their own.
  template <std::size_t K, class StepAt>
  static bool walkChecked(const Walks<K>& walks, std::size_t from, std::size_t to,
                          const StepAt& stepAt) {
    std::size_t i = from;
    for (; i + kStepsPerDeadCheck <= to; i += kStepsPerDeadCheck) {
      for (std::size_t s = 0; s < kStepsPerDeadCheck; ++s) stepAt(i + s);
      if (!walks.anyAlive()) return false;
    }
    for (; i < to; ++i) stepAt(i);
    return true;
  }
  std::uint32_t setIdAt(std::size_t row) const { return table_[row + classes_]; }

  bool tryBuild(const Nfa& nfa, const std::vector<std::size_t>& types);
  std::vector<std::size_t> typesAt(std::uint32_t row) const;
  std::string textTo(std::uint32_t row, const std::vector<Step>& cameFrom) const;

  std::vector<bool> included_;
  std::size_t words_ = 1;
  // Row r holds the offsets of the rows reached by each byte class, then the index in
  // acceptSets_ of the types accepted at r. Row 0 is the dead state.
  std::vector<std::uint32_t> table_ = std::vector<std::uint32_t>(2, 0);
  std::size_t stride_ = 2;
  std::uint32_t classes_ = 1;
  std::uint32_t start_ = 0;
  std::array<std::uint8_t, 256> classOf_{};
  std::vector<std::uint64_t> acceptSets_ = std::vector<std::uint64_t>(1, 0);
};

// Which types of a table go on its automaton: a type whose patterns (strings valid for Boost)
// all lie in the parsed subset, offered in the given order and taken while the caps allow. The
// matcher and the overlap query both plan this way, so they put the same types on it.
struct AutomatonPlan {
  TypeAutomaton automaton;
  std::vector<std::int32_t> slots;  // by type of the argument: its type on the automaton, or -1
};
AutomatonPlan planAutomaton(const std::vector<const std::vector<std::string>*>& types);

// The automaton of `types` (each a list of pattern strings, as planAutomaton() takes them), type
// i on slot i, with one more type on `slot`, past theirs, that matches exactly `texts`, any
// bytes; the slots between match nothing. Nullopt unless every type and the texts fit on it.
std::optional<TypeAutomaton> automatonMarking(
    const std::vector<const std::vector<std::string>*>& types,
    const std::unordered_set<std::string>& texts, std::size_t slot);

}  // namespace quorvel

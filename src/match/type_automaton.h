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
  // An automaton whose table over all 256 bytes would take at most this much walks that table
  // too: a step is then one load, where over byte classes it waits on the load of the byte's
  // class and then on that of the row. Realistic tables take a few hundred KiB.
  static constexpr std::size_t kMaxByteTableBytes = std::size_t{1} << 20;

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
    return (table_.size() + byteTable_.size()) * sizeof(std::uint32_t) +
           acceptSets_.size() * sizeof(std::uint64_t);
  }
  // Whether walks take the table over all bytes (see kMaxByteTableBytes).
  bool walksBytes() const { return !byteTable_.empty(); }

  // The included types whose patterns fully match `text`: bit i % 64 of word i / 64. Valid as
  // long as the automaton; no allocation, no lock, safe from several threads at once.
  const std::uint64_t* matches(std::string_view text) const { return setOf(setIdOf(text)); }
  // The same set by its id: texts with the same set have the same id, every id is below
  // setIdBound(), and setOf(id) gives the set. A caller that derives something from each set
  // can do so once per id, in a table of setIdBound() entries.
  std::uint32_t setIdOf(std::string_view text) const {
    return walksBytes() ? walkAlone(byteSteps(), text) : walkAlone(classSteps(), text);
  }
  const std::uint64_t* setOf(std::uint32_t id) const { return &acceptSets_[id]; }
  std::size_t setIdBound() const { return acceptSets_.size(); }

  // Sets ids[k] to setIdOf(texts[k]) for each of K texts, walking them side by side. Each step
  // of a walk waits on the load of the step before, so one walk leaves the core idle most of
  // the time; K walks that do not depend on each other fill that time. Same guarantees as
  // matches().
  template <std::size_t K>
  void setIdsEach(const std::string_view (&texts)[K], std::uint32_t (&ids)[K]) const {
    if (walksBytes()) {
      walkEach(byteSteps(), texts, ids);
    } else {
      walkEach(classSteps(), texts, ids);
    }
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

  // K walks side by side, of which those still walking come first. A row is held as
  // std::size_t so that a step adds and loads with no widening between.
  template <std::size_t K>
  struct Walks {
    const unsigned char* bytes[K];  // the bytes not stepped yet
    std::size_t left[K];            // how many
    std::size_t rows[K];
    std::size_t texts[K];  // which text of the call each walk reads

    template <std::size_t N>
    bool anyAlive() const {
      std::size_t alive = 0;
      for (std::size_t k = 0; k < N; ++k) alive |= rows[k];
      return alive != 0;
    }
  };

  // How a walk steps, on one of the two tables: a row is the offset of its first entry, the
  // dead state is row 0 in both, and the entry after a row's steps is its set id.
  struct ClassSteps {
    const std::uint32_t* table;
    const std::uint8_t* classOf;
    std::size_t classes;
    std::size_t start;
    std::size_t step(std::size_t row, unsigned char byte) const {
      return table[row + classOf[byte]];
    }
    std::uint32_t setIdAt(std::size_t row) const { return table[row + classes]; }
  };
  struct ByteSteps {
    const std::uint32_t* table;
    std::size_t start;
    std::size_t step(std::size_t row, unsigned char byte) const { return table[row + byte]; }
    std::uint32_t setIdAt(std::size_t row) const { return table[row + 256]; }
  };
  ClassSteps classSteps() const { return {table_.data(), classOf_.data(), classes_, start_}; }
  ByteSteps byteSteps() const { return {byteTable_.data(), byteStart_}; }

  // Stops at the dead state, byte by byte: the lone walk stays the plain one that side-by-side
  // walks are held to.
  template <class Steps>
  static std::uint32_t walkAlone(const Steps& steps, std::string_view text) {
    std::size_t row = steps.start;
    for (const char c : text) {
      if (row == 0) break;
      row = steps.step(row, static_cast<unsigned char>(c));
    }
    return steps.setIdAt(row);
  }
  template <class Steps, std::size_t K>
  static void walkEach(const Steps& steps, const std::string_view (&texts)[K],
                       std::uint32_t (&ids)[K]) {
    Walks<K> walks;
    for (std::size_t k = 0; k < K; ++k) {
      walks.bytes[k] = reinterpret_cast<const unsigned char*>(texts[k].data());
      walks.left[k] = texts[k].size();
      walks.rows[k] = steps.start;
      walks.texts[k] = k;
    }
    walkRound<K>(steps, walks, ids);
  }

  // The first N walks, side by side, to the end of the shortest of their texts, with no test of
  // which go on; then the walks that ended or died give their ids, and the rest go on in fewer
  // lanes. Each round ends a walk, so a lane never tests at each byte whether its text ended,
  // and the walks left stay side by side: one that went on alone would wait on every load.
  template <std::size_t N, class Steps, std::size_t K>
  static void walkRound(const Steps& steps, Walks<K>& walks, std::uint32_t (&ids)[K]) {
    std::size_t shortest = walks.left[0];
    for (std::size_t k = 1; k < N; ++k) shortest = std::min(shortest, walks.left[k]);
    walkChecked<N>(walks, shortest, [&](std::size_t i) {
      for (std::size_t k = 0; k < N; ++k) {
        walks.rows[k] = steps.step(walks.rows[k], walks.bytes[k][i]);
      }
    });
    bool allDone = true;
    for (std::size_t k = 0; k < N; ++k) allDone &= walks.left[k] == shortest || walks.rows[k] == 0;
    if (allDone) {
      for (std::size_t k = 0; k < N; ++k) ids[walks.texts[k]] = steps.setIdAt(walks.rows[k]);
      return;
    }
    std::size_t going = 0;
    for (std::size_t k = 0; k < N; ++k) {
      if (walks.left[k] == shortest || walks.rows[k] == 0) {
        ids[walks.texts[k]] = steps.setIdAt(walks.rows[k]);
        continue;
      }
      walks.bytes[going] = walks.bytes[k] + shortest;
      walks.left[going] = walks.left[k] - shortest;
      walks.rows[going] = walks.rows[k];
      walks.texts[going] = walks.texts[k];
      ++going;
    }
    walkFewer<N - 1>(steps, walks, ids, going);
  }
  // The next round, in `going` lanes, at most N.
  template <std::size_t N, class Steps, std::size_t K>
  static void walkFewer(const Steps& steps, Walks<K>& walks, std::uint32_t (&ids)[K],
                        std::size_t going) {
    if constexpr (N > 0) {
      if (going == N) return walkRound<N>(steps, walks, ids);
      walkFewer<N - 1>(steps, walks, ids, going);
    }
  }
  // Calls stepAt(i) for each byte i below `to`, checking after every kStepsPerDeadCheck bytes
  // whether the first N walks all died, and stopping then. The steps between two checks are as
  // many as the constant says, so that they need no count of their own.
  template <std::size_t N, std::size_t K, class StepAt>
  static void walkChecked(const Walks<K>& walks, std::size_t to, const StepAt& stepAt) {
    std::size_t i = 0;
    for (; i + kStepsPerDeadCheck <= to; i += kStepsPerDeadCheck) {
      for (std::size_t s = 0; s < kStepsPerDeadCheck; ++s) stepAt(i + s);
      if (!walks.template anyAlive<N>()) return;
    }
    for (; i < to; ++i) stepAt(i);
  }
  void makeByteTable();
  void fitTypes(const Nfa& nfa, const std::vector<std::size_t>& candidates);
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
  // The same rows over all 256 bytes, then the set id, when they fit kMaxByteTableBytes; else
  // empty. Row r of table_ is row r of this table.
  std::vector<std::uint32_t> byteTable_;
  std::size_t byteStart_ = 0;
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

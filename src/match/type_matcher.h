// Whole-string membership of cell texts in the types of a pattern table.
// Boost.Regex defines what every pattern means. Types whose patterns all lie
// in the parsed subset share one byte automaton, so one walk of a text tells
// every one of them; the others are matched on Boost, with RE2 answering for
// a pattern of the subset on which Boost gives up. Both engines stay inside
// the matcher's .cpp files: this header includes neither.
//
//   TypeMatcher matcher({{intId, &intPatterns}, {dateId, &datePatterns}});
//   int position = matcher.firstMatch(trialOrder, "2024-01-31");
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "match/type_automaton.h"
#include "match/type_id.h"

namespace quorvel {

// Throws Boost's error (a boost::regex_error, a std::runtime_error) when
// `pattern` does not compile.
void requireValidPattern(const std::string& pattern);

struct TypePatterns {
  TypeId id;
  const std::vector<std::string>* patterns;  // each valid for Boost; only read while building
};

// Built once per pattern table; const and safe to call from several threads
// at once. Memory stays below a fixed cap whatever the table: the automaton
// has its caps, and the RE2 engines of the other types share one budget.
class TypeMatcher {
 public:
  TypeMatcher();
  explicit TypeMatcher(const std::vector<TypePatterns>& types);
  TypeMatcher(TypeMatcher&&) noexcept;
  TypeMatcher& operator=(TypeMatcher&&) noexcept;
  ~TypeMatcher();

  // Position in `order` of the first type with a pattern that matches all of
  // `text`, or -1. Type ids the table lacks never match. Boost's matching
  // error on a pattern outside the subset propagates, from a type tried
  // before the one that matches.
  int firstMatch(const std::vector<TypeId>& order, std::string_view text) const;

  // For the tests and the matcher benchmark, which compare every answer with
  // Boost's: replaces `types` with the ids of every type of the table that matches
  // all of `text`, in the table's order. Boost's matching error on a pattern
  // outside the subset (a std::runtime_error) propagates from the first type
  // it strikes, leaving in `types` the types before it that matched.
  void matchingTypes(std::string_view text, std::vector<TypeId>& types) const;

  // The types whose patterns the automaton matches, and its size (for the
  // tests and the matcher benchmark).
  bool onAutomaton(TypeId id) const;
  std::size_t automatonBytes() const { return automaton_.memoryBytes(); }
  // The automaton when it holds every type of a non-empty table, type i
  // being the table's i-th; otherwise null.
  const TypeAutomaton* wholeTable() const;

  // Bit i set when types[i] (of at most 64) has a pattern that matches all of
  // `text`: what firstMatch() finds of each type, from one walk of the automaton.
  // Boost's matching errors propagate.
  std::uint64_t matchSet(const std::vector<TypeId>& types, std::string_view text) const;

 private:
  struct Fallback;
  struct CompiledType {
    bool known = false;
    std::int32_t slot = -1;  // in the automaton, or -1 when the fallback matches it
  };

  const CompiledType* find(TypeId id) const;
  bool matchesType(TypeId id, const std::uint64_t* accepted, std::string_view text) const;
  bool automatonMatches(const CompiledType& type, const std::uint64_t* accepted) const {
    return accepted[type.slot / 64] >> (type.slot % 64) & 1;
  }

  std::vector<CompiledType> byId_;
  std::vector<TypeId> tableOrder_;
  TypeAutomaton automaton_;
  std::unique_ptr<Fallback> fallback_;
};

}  // namespace quorvel

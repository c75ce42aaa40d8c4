// The rule that turns a cell's text into a type, and the one place that says
// it. Every loop of a pass applies it to each cell, so what most cells meet
// is inline and takes the text's hash from its caller:
//  1. a missing value is "NA", whatever its text matches or the window
//     remembers for it;
//  2. else the type the window remembers for the text: the answer steps 3
//     and 4 gave the text when the window first met it (the type cache, or
//     on threads the slot of the text's number in its window, WindowTexts);
//     a type with an empty name is never remembered;
//  3. else the first type of the column's trial order that the text matches,
//     which then swaps places with the front type;
//  4. else "other".
// Where no text matches two types of the table the trial order cannot matter
// and nothing need be remembered: the counting workers apply steps 1, 3 and 4
// to match sets alone (matchSetOfCell(), typeOfMatchSet()).
//
//   TypeId type = typeOfCell(missing.contains(text, hash), cache, text, hash, order,
//                            [&](const std::vector<TypeId>& o) { return firstMatch(o, text); },
//                            [&]() -> const auto& { return table.names(); });
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cell/missing_values.h"
#include "cell/text_cache.h"
#include "match/pattern_table.h"
#include "match/type_id.h"

namespace quorvel {

// Step 1 where the tokenizing thread has matched the text: its match set says
// whether the text is missing, unless matching was left undone; text() gives
// the text, asked only then.
template <class Text>
inline bool isMissing(const MissingValues& missing, const Text& text, std::size_t hash,
                      std::uint64_t matches) {
  return (matches & MatchSet::kUnknown) != 0 ? missing.contains(text(), hash)
                                             : (matches & MatchSet::kMissing) != 0;
}

// Step 1 for the workers, who know no trial order: a missing value's match
// set is MatchSet::kMissing alone; `matches()` gives any other text's.
template <class Matches>
inline std::uint64_t matchSetOfCell(bool missing, const Matches& matches) {
  return missing ? MatchSet::kMissing : matches();
}

// Steps 1, 3 and 4 on a match set over `types` where no text matches two of
// them (see PatternTable::typesOfTextIfNoneShared). A missing value's set may
// hold the types its text matches besides MatchSet::kMissing (the counting
// automaton marks both in one walk): the mark wins.
inline TypeId typeOfMatchSet(std::uint64_t matches, const std::vector<TypeId>& types) {
  if ((matches & MatchSet::kMissing) != 0) return PatternTable::kNA;
  return matches == 0 ? PatternTable::kOther : types[__builtin_ctzll(matches)];
}

// What step 2 remembers of an answer: CacheEntry::kUnclassified, nothing,
// for a type with an empty name.
inline std::int32_t rememberedAs(TypeId type, const std::vector<std::string>& names) {
  return names[type].empty() ? CacheEntry::kUnclassified : type;
}

// How step 3 moves the first type that matches, at `position` (or -1) in
// `order`; what is kept beside a trial order moves alike.
template <class T>
inline void swapToFront(std::vector<T>& order, int position) {
  if (position > 0) std::swap(order[0], order[position]);
}

// Steps 3 and 4, given the position in `order` of the first type the text
// matches, or -1: that type swaps places with the front type, and every other
// type keeps its place.
inline TypeId takeFirstMatch(std::vector<TypeId>& order, int position) {
  if (position < 0) return PatternTable::kOther;
  swapToFront(order, position);
  return order[0];
}

// The rule where the window cannot remember the text: steps 1, 3 and 4.
// firstMatch(order) gives the position in `order` of the first type the text
// matches, or -1.
template <class FirstMatch>
inline TypeId typeOfCell(bool missing, std::vector<TypeId>& order, const FirstMatch& firstMatch) {
  return missing ? PatternTable::kNA : takeFirstMatch(order, firstMatch(order));
}

// The whole rule, where `remembered` is what the window keeps for the text
// (a CacheEntry's type): step 2 reads it, steps 3 and 4 fill it. names()
// gives the table's type names, asked on a miss only: the hit path, that of
// most cells, loads nothing it does not use.
template <class FirstMatch, class Names>
inline TypeId typeOfCell(bool missing, std::int32_t& remembered, std::vector<TypeId>& order,
                         const FirstMatch& firstMatch, const Names& names) {
  if (missing) return PatternTable::kNA;
  if (remembered != CacheEntry::kUnclassified) return remembered;
  const TypeId type = takeFirstMatch(order, firstMatch(order));
  remembered = rememberedAs(type, names());
  return type;
}

// The whole rule, the window remembering in `cache`; `hash` is the text's.
// A missing value never enters the cache.
template <class FirstMatch, class Names>
inline TypeId typeOfCell(bool missing, TextCache& cache, std::string_view text, std::size_t hash,
                         std::vector<TypeId>& order, const FirstMatch& firstMatch,
                         const Names& names) {
  if (missing) return PatternTable::kNA;
  std::int32_t& remembered = cache.entry(cache.findOrInsert(text, hash)).type;
  return typeOfCell(false, remembered, order, firstMatch, names);
}

}  // namespace quorvel

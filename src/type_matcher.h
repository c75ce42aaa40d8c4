// Whole-string membership of cell texts in the types of a pattern table.
// Boost.Regex defines what every pattern means; the patterns that translate
// exactly into RE2 are also matched there, one DFA per type plus one set of
// all of them, which is several times faster than trying type after type.
//
//   TypeMatcher matcher({{intId, &intPatterns}, {dateId, &datePatterns}});
//   int position = matcher.firstMatch(trialOrder, "2024-01-31");
#pragma once

#include <re2/re2.h>
#include <re2/set.h>

#include <boost/regex.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using TypeId = std::int32_t;

struct TypePatterns {
  TypeId id;
  const std::vector<boost::regex>* patterns;  // must outlive the matcher
};

class TypeMatcher {
 public:
  TypeMatcher() = default;
  explicit TypeMatcher(const std::vector<TypePatterns>& types);

  // Position in `order` of the first type with a pattern that matches all of
  // `text`, or -1. Type ids the table lacks never match. Const and safe to
  // call from several threads at once; Boost's matching errors propagate.
  int firstMatch(const std::vector<TypeId>& order, std::string_view text) const;

  // Bit i set when types[i] (of at most 64) has a pattern that matches all of
  // `text`: what firstMatch() finds of each type, from one scan of the set.
  // Boost's matching errors propagate.
  std::uint64_t matchSet(const std::vector<TypeId>& types, std::string_view text) const;

  // Whether a match can fail: some pattern is left to Boost, whose errors propagate.
  bool canFail() const;

 private:
  struct CompiledType {
    bool known = false;
    std::unique_ptr<RE2> fast;              // the translated patterns as one alternation
    int setIndex = -1;                      // the same alternation's index in set_
    std::vector<const boost::regex*> slow;  // patterns only Boost can match
  };

  struct Translation {
    const boost::regex* pattern;
    std::string re2Text;
  };

  void compileFastPart(CompiledType& type, const std::vector<Translation>& translated);
  const CompiledType* find(TypeId id) const;
  bool matches(const CompiledType& type, std::string_view text) const;
  bool matchesSlow(const CompiledType& type, std::string_view text) const;
  bool matchesAfterScan(const CompiledType& type, std::string_view text,
                        const std::vector<int>& hits) const;
  bool scanSet(std::string_view text, std::vector<int>& hits) const;

  std::vector<CompiledType> byId_;
  std::unique_ptr<RE2::Set> set_;
};

}  // namespace quorvel

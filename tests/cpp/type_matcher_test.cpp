// Tests of the matcher of a whole table against Boost: types on the automaton, on RE2 and on
// Boost side by side, first matches along trial orders, every matching type of a text, and how
// a matching error of Boost comes out.

#include "match/type_matcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorvel {
namespace {

using ::testing::ElementsAre;

// Type ids are positions in this table. int and bool share the automaton; hostile is past its
// caps and goes to Boost; word has a pattern outside the subset and stays on Boost.
const std::vector<std::vector<std::string>> kTable = {
    {"[-+]?[0-9]+"}, {"[01]", "true|false"}, {"[ab]*a[ab]{18}c"}, {"(?i)\\w+", "[.]"}, {}};
constexpr TypeId kInt = 0, kBool = 1, kHostile = 2, kWord = 3, kEmpty = 4;

std::vector<std::vector<boost::regex>> compiled() {
  std::vector<std::vector<boost::regex>> table;
  for (const auto& patterns : kTable) table.emplace_back(patterns.begin(), patterns.end());
  return table;
}

struct OrderCase {
  std::vector<TypeId> order;
  std::string text;
  int position;
};

TEST(TypeMatcherTest, FirstMatchAlongTheOrderAndEveryMatchAgreeWithBoost) {
  const auto table = compiled();
  std::vector<TypePatterns> types;
  for (TypeId id = 0; id < static_cast<TypeId>(kTable.size()); ++id)
    types.push_back({id, &kTable[id]});
  const TypeMatcher matcher(types);
  EXPECT_TRUE(matcher.onAutomaton(kInt) && matcher.onAutomaton(kBool) &&
              matcher.onAutomaton(kEmpty));
  EXPECT_FALSE(matcher.onAutomaton(kHostile) || matcher.onAutomaton(kWord));
  const std::string hostile = "b" + std::string(19, 'a') + "c";
  const std::vector<OrderCase> cases = {
      {{kInt, kBool, kWord}, "1", 0},
      {{kBool, kInt, kWord}, "1", 0},
      {{kWord, kBool, kInt}, "1", 0},
      {{kHostile, kWord, kInt}, "-1", 2},
      {{kEmpty, kHostile, kInt, kWord}, hostile, 1},
      {{kInt, kBool}, "true", 1},
      {{kInt, kWord, kBool, kHostile}, ".", 1},
      {{kInt, 99, kBool}, "x", -1},
      {{}, "1", -1},
  };
  for (const OrderCase& c : cases)
    EXPECT_EQ(matcher.firstMatch(c.order, c.text), c.position) << c.text;
  for (const std::string& text :
       std::vector<std::string>{"1", "-1", "true", ".", hostile, "", "x y"}) {
    std::vector<TypeId> expected;
    for (TypeId id = 0; id < static_cast<TypeId>(table.size()); ++id) {
      for (const boost::regex& re : table[id]) {
        if (boost::regex_match(text, re)) {
          expected.push_back(id);
          break;
        }
      }
    }
    std::vector<TypeId> got = {kEmpty};
    matcher.matchingTypes(text, got);
    EXPECT_EQ(got, expected) << text;
  }
}

// Boost gives up on this pattern's backtracking over a long run of a's.
TEST(TypeMatcherTest, MatchingTypesStopsAtBoostsErrorWithTheTypesBeforeIt) {
  const std::vector<std::vector<std::string>> table = {{"a+"}, {"(?=a)(a*)*b"}};
  const TypeMatcher matcher({{0, &table[0]}, {1, &table[1]}});
  std::vector<TypeId> got;
  EXPECT_THROW(matcher.matchingTypes(std::string(40, 'a'), got), std::runtime_error);
  EXPECT_THAT(got, ElementsAre(0));
}

// The second branch keeps the pattern off the automaton, and Boost gives up on the first over a
// long run of a's; RE2, which the subset translates to, answers instead.
TEST(TypeMatcherTest, RE2AnswersForASubsetPatternWhereBoostGivesUp) {
  const std::vector<std::vector<std::string>> table = {{"(a*)*b|[ab]*a[ab]{18}c"}};
  const TypeMatcher matcher({{0, &table[0]}});
  ASSERT_FALSE(matcher.onAutomaton(0));
  const std::string miss(40, 'a');
  const std::string hit = std::string(18, 'b') + "a" + std::string(18, 'b') + "c";
  ASSERT_THROW(boost::regex_match(miss, boost::regex(table[0][0])), std::runtime_error);
  std::vector<TypeId> got;
  matcher.matchingTypes(miss, got);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(matcher.firstMatch({0}, miss), -1);
  EXPECT_EQ(matcher.firstMatch({0}, hit), 0);
}

}  // namespace
}  // namespace quorvel

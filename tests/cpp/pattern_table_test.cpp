// Tests of what the pass reads instead of asking the matcher: the first match
// read from a worker's match set, the counting workers' rule and automaton,
// and the missing values as the workers look them up. Each is held against the answer the
// calling thread would work out itself.
#include "match/pattern_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cell/cell_rule.h"
#include "cell/missing_values.h"
#include "cell/text_cache.h"
#include "match/type_automaton.h"
#include "match/type_matcher.h"

namespace {

using quorvel::MatchSet;
using quorvel::MissingValues;
using quorvel::PatternTable;
using quorvel::TypeId;

const std::vector<std::string> kTexts = {"", "0", "1", "42", "-7", "1.5", "true", "abc", "1e3"};

TypeId idOf(const PatternTable& table, const std::string& name) {
  const std::vector<std::string>& names = table.names();
  return static_cast<TypeId>(std::find(names.begin(), names.end(), name) - names.begin());
}

// Every trial order of the table's types, the empty one included.
std::vector<std::vector<TypeId>> everyOrder(std::vector<TypeId> types) {
  std::vector<std::vector<TypeId>> orders = {{}};
  std::sort(types.begin(), types.end());
  do {
    orders.push_back(types);
  } while (std::next_permutation(types.begin(), types.end()));
  return orders;
}

// Overlapping types, one of them off the automaton (a lookahead), so that a
// match set holds several bits and some come from Boost.
TEST(PatternTableTest, FirstMatchFromAMatchSetIsTheMatchersAnswer) {
  PatternTable table;
  table.set({{"int", {"-?[0-9]+"}},
             {"bit", {"[01]"}},
             {"float", {"-?[0-9]+\\.[0-9]+", "[0-9]e[0-9]"}},
             {"word", {"(?=[a-z])[a-z]+", "true"}}});
  ASSERT_EQ(table.matchSetTypes(), table.types());
  ASSERT_FALSE(table.matcher().onAutomaton(idOf(table, "word")));
  ASSERT_TRUE(table.matcher().onAutomaton(idOf(table, "int")));
  std::vector<std::uint8_t> bits;
  for (const std::string& text : kTexts) {
    const std::uint64_t matches = table.matcher().matchSet(table.matchSetTypes(), text);
    for (const std::vector<TypeId>& order : everyOrder(table.types())) {
      const int expected = table.matcher().firstMatch(order, text);
      EXPECT_EQ(table.firstMatch(order, matches, text), expected) << text;
      EXPECT_EQ(table.firstMatch(order, MatchSet::kUnknown, text), expected) << text;
      table.bitsOf(order, bits);
      EXPECT_EQ(PatternTable::firstMatchOfBits(bits, matches), expected) << text;
    }
  }
}

// A type the table no longer has (its id stays interned) is on no match set:
// its bit must match nothing, wherever it stands in the order.
TEST(PatternTableTest, FirstMatchOfBitsPassesTypesOffTheTable) {
  PatternTable table;
  table.set({{"gone", {"[0-9]+"}}});
  const TypeId gone = idOf(table, "gone");
  table.set({{"int", {"[0-9]+"}}, {"word", {"[a-z0-9]+"}}});
  std::vector<std::uint8_t> bits;
  for (const std::string& text : kTexts) {
    const std::uint64_t matches = table.matcher().matchSet(table.matchSetTypes(), text);
    for (std::vector<TypeId> order : everyOrder(table.types())) {
      for (std::size_t at = 0; at <= order.size(); ++at) {
        std::vector<TypeId> withGone = order;
        withGone.insert(withGone.begin() + static_cast<std::ptrdiff_t>(at), gone);
        table.bitsOf(withGone, bits);
        EXPECT_EQ(PatternTable::firstMatchOfBits(bits, matches),
                  table.firstMatch(withGone, matches, text))
            << text;
      }
    }
  }
}

// Without shared texts the trial order decides nothing: the counting
// workers' rule gives the type a single-threaded pass finds first.
TEST(PatternTableTest, CountingRuleAgreesWithTheFirstMatchWhenNoTextIsShared) {
  PatternTable table;
  table.set({{"int", {"-?[0-9]+"}}, {"float", {"-?[0-9]+\\.[0-9]+"}}, {"bool", {"true|false"}}});
  const quorvel::TypeAutomaton* typesOfText = table.typesOfTextIfNoneShared();
  ASSERT_NE(typesOfText, nullptr);
  for (const std::string& text : kTexts) {
    const std::uint64_t matches = *typesOfText->matches(text);
    const int position = table.matcher().firstMatch(table.types(), text);
    const TypeId expected = position < 0 ? PatternTable::kOther : table.types()[position];
    EXPECT_EQ(quorvel::typeOfMatchSet(matches, table.matchSetTypes()), expected) << text;
    EXPECT_EQ(quorvel::typeOfMatchSet(matches | MatchSet::kMissing, table.matchSetTypes()),
              PatternTable::kNA)
        << text;
  }
  table.set({{"int", {"[0-9]+"}}, {"bit", {"[01]"}}});
  EXPECT_EQ(table.typesOfTextIfNoneShared(), nullptr);
}

// A table of more types than a match set has bits gives no match sets.
TEST(PatternTableTest, TooManyTypesForMatchSets) {
  quorvel::PatternStrings patterns;
  for (std::size_t i = 0; i <= MatchSet::kMaxTypes; ++i) patterns["t" + std::to_string(i)] = {"x"};
  PatternTable table;
  table.set(patterns);
  EXPECT_EQ(table.types().size(), MatchSet::kMaxTypes + 1);
  EXPECT_TRUE(table.matchSetTypes().empty());
  EXPECT_EQ(table.typesOfTextIfNoneShared(), nullptr);
  patterns.erase("t0");
  table.set(patterns);
  EXPECT_EQ(table.matchSetTypes().size(), MatchSet::kMaxTypes);
}

// The counting automaton answers, for any text, what the rule gives it one text at a time:
// "NA" for a missing value whatever types it matches, else the first type that matches. Missing
// values of any bytes: the empty text, NUL, bytes past 0x7f, texts that match a type, prefixes
// of each other, a long one. Probes: each missing text, with a byte more or less, and texts of
// the types. Side-by-side walks must agree too.
TEST(PatternTableTest, MarkingAutomatonAnswersThePerTextRule) {
  using Texts = std::unordered_set<std::string>;
  const std::vector<Texts> missingSets = {
      {},
      {""},
      {"NA", "N", "NAN"},
      {"1", "-7", "true"},
      {std::string("\0", 1), "\xff", std::string("a\0b", 3)},
      {std::string(300, '9'), "null", ""},
  };
  PatternTable table;
  table.set({{"int", {"-?[0-9]+"}}, {"float", {"-?[0-9]+\\.[0-9]+"}}, {"bool", {"true|false"}}});
  for (const Texts& texts : missingSets) {
    const MissingValues missing(texts);
    const quorvel::TypeAutomaton* marking = table.typesOfTextMarking(texts);
    ASSERT_NE(marking, nullptr);
    std::vector<std::string> probes = kTexts;
    for (const std::string& text : texts) {
      probes.insert(probes.end(), {text, text + "0", text.substr(0, text.size() / 2)});
    }
    for (const std::string& text : probes) {
      std::vector<TypeId> order = table.types();
      const TypeId expected = quorvel::typeOfCell(missing.contains(text), order, [&](auto& o) {
        return table.matcher().firstMatch(o, text);
      });
      EXPECT_EQ(quorvel::typeOfMatchSet(*marking->matches(text), table.matchSetTypes()), expected)
          << text.size() << " bytes: " << text;
    }
    for (std::size_t i = 0; i + 4 <= probes.size(); ++i) {
      const std::string_view group[4] = {probes[i], probes[i + 1], probes[i + 2], probes[i + 3]};
      const std::uint64_t* sets[4];
      marking->matchesEach(group, sets);
      for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(*sets[k], *marking->matches(group[k]));
    }
  }
}

// The automaton follows the last set of texts asked for and the table, and there is none where
// the types share a text, as the counting pass needs none then.
TEST(PatternTableTest, MarkingAutomatonFollowsTheTextsAndTheTable) {
  PatternTable table;
  table.set({{"int", {"[0-9]+"}}});
  const auto typeOf = [&](const quorvel::TypeAutomaton* marking, const std::string& text) {
    return quorvel::typeOfMatchSet(*marking->matches(text), table.matchSetTypes());
  };
  EXPECT_EQ(typeOf(table.typesOfTextMarking({"NA"}), "NA"), PatternTable::kNA);
  EXPECT_EQ(typeOf(table.typesOfTextMarking({"x"}), "NA"), PatternTable::kOther);
  EXPECT_EQ(typeOf(table.typesOfTextMarking({"x"}), "x"), PatternTable::kNA);
  table.set({{"word", {"[a-z]+"}}});
  EXPECT_EQ(typeOf(table.typesOfTextMarking({"x"}), "y"), idOf(table, "word"));
  EXPECT_EQ(typeOf(table.typesOfTextMarking({"x"}), "x"), PatternTable::kNA);
  table.set({{"int", {"[0-9]+"}}, {"bit", {"[01]"}}});
  EXPECT_EQ(table.typesOfTextMarking({"NA"}), nullptr);
}

// Missing values that would take the automaton past its caps leave it out: none is built.
TEST(PatternTableTest, NoMarkingAutomatonForTextsPastTheCaps) {
  std::unordered_set<std::string> texts;
  for (std::size_t i = 0; texts.size() < 6000; ++i) texts.insert("m" + std::to_string(i * 7919));
  PatternTable table;
  table.set({{"int", {"[0-9]+"}}});
  EXPECT_EQ(table.typesOfTextMarking(texts), nullptr);
  EXPECT_NE(table.typesOfTextMarking({"NA"}), nullptr);
}

// Lengths 0, 63 and past 63 share the length filter's last bit.
TEST(MissingValuesTest, WorkersFindExactlyTheSet) {
  const std::unordered_set<std::string> texts = {"", "NA", std::string(63, 'x'),
                                                 std::string(64, 'y'), std::string("\0", 1)};
  const MissingValues missing(texts);
  std::vector<std::string> probes(texts.begin(), texts.end());
  for (const std::string& probe : std::vector<std::string>{
           "N", "NAN", "na", std::string(63, 'y'), std::string(64, 'x'), std::string(65, 'y')}) {
    probes.push_back(probe);
  }
  for (const std::string& probe : probes) {
    EXPECT_EQ(missing.contains(probe), texts.count(probe) == 1) << probe.size();
  }
}

TEST(MissingValuesTest, ReplacingTheSetForgetsTheOldTexts) {
  MissingValues missing({"NA", "-"});
  missing.set({"-", "null"});
  for (const auto& [text, expected] :
       std::vector<std::pair<std::string, bool>>{{"NA", false}, {"-", true}, {"null", true}}) {
    EXPECT_EQ(missing.contains(text), expected) << text;
    EXPECT_EQ(missing.contains(text, quorvel::TextCache::hashOf(text)), expected) << text;
  }
}

}  // namespace

// Tests of the table automaton: hand-picked tables with the types each text must match, the
// caps that leave a type out, and the overlap query against a brute-force search of every text
// up to eight bytes long over the bytes that tell the patterns' classes apart, with Boost as
// the judge of every match.

#include "match/type_automaton.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "match/pattern_table.h"

namespace quorvel {
namespace {

using namespace std::string_literals;

using Table = std::vector<std::vector<std::string>>;

TypeAutomaton automatonOf(const Table& table) {
  std::vector<std::vector<SubsetRegex>> types;
  for (const std::vector<std::string>& patterns : table) {
    std::vector<SubsetRegex>& parsed = types.emplace_back();
    for (const std::string& pattern : patterns) {
      std::optional<SubsetRegex> tree = parseSubset(pattern);
      EXPECT_TRUE(tree) << pattern;
      if (tree) parsed.push_back(std::move(*tree));
    }
  }
  return TypeAutomaton(types);
}

struct MatchCase {
  const char* name;
  Table table;
  std::vector<std::pair<std::string, std::uint64_t>> texts;  // text, the bits of its types
};

const std::vector<MatchCase> kMatchCases = {
    {"one type", {{"[0-9]+"}}, {{"12", 1}, {"", 0}, {"1a", 0}, {"a", 0}}},
    {"overlapping types",
     {{"[-+]?[0-9]+"}, {"[01]", "true|false"}, {"[0-9]+\\.[0-9]*"}},
     {{"1", 3}, {"7", 1}, {"true", 2}, {"1.", 4}, {"-1", 1}, {"truefalse", 0}}},
    {"empty text and empty type", {{"a*"}, {}, {"|b"}}, {{"", 5}, {"a", 1}, {"b", 4}}},
    {"every byte", {{"."}, {"[^\\x00]"}}, {{"\0"s, 1}, {"\xff", 3}, {"\n", 3}, {"ab", 0}}},
    {"a dead end stops the walk",
     {{"ab"}},
     {{"ab", 1}, {"abab", 0}, {"b" + std::string(99, 'a'), 0}}},
    {"counted repeats", {{"a{2,3}"}, {"a{3,}"}}, {{"aa", 1}, {"aaa", 3}, {"aaaaa", 2}, {"a", 0}}},
};

TEST(TypeAutomatonTest, OneWalkTellsEveryTypeOfAText) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(c.name);
    const TypeAutomaton automaton = automatonOf(c.table);
    for (std::size_t type = 0; type < c.table.size(); ++type) EXPECT_TRUE(automaton.includes(type));
    std::map<std::uint64_t, std::uint32_t> idOfSet;
    for (const auto& [text, types] : c.texts) {
      EXPECT_EQ(automaton.matches(text)[0], types) << text;
      const std::uint32_t id = automaton.setIdOf(text);
      EXPECT_EQ(idOfSet.emplace(types, id).first->second, id) << "one id per set: " << text;
      EXPECT_EQ(automaton.setOf(id)[0], types) << text;
    }
  }
}

TEST(TypeAutomatonTest, SetsOfMoreThanSixtyFourTypesSpanWords) {
  Table table;
  for (int i = 0; i < 70; ++i) table.push_back({"x{" + std::to_string(i % 7) + "}"});
  const TypeAutomaton automaton = automatonOf(table);
  ASSERT_EQ(automaton.words(), 2u);
  const std::uint64_t* types = automaton.matches("xxxxx");
  for (int i = 0; i < 70; ++i) EXPECT_EQ(types[i / 64] >> (i % 64) & 1, i % 7 == 5 ? 1u : 0u) << i;
}

// A type that must remember the last nineteen bytes needs about 2^19 states: it is left out,
// and the types before and after it still share one automaton within the caps.
TEST(TypeAutomatonTest, ATypePastTheCapsIsLeftOutAndTheOthersStay) {
  const TypeAutomaton automaton =
      automatonOf({{"[0-9]+"}, {"[ab]*a[ab]{18}c"}, {"[ab]+"}, {"[ab]*b[ab]{18}"}});
  EXPECT_TRUE(automaton.includes(0));
  EXPECT_FALSE(automaton.includes(1));
  EXPECT_TRUE(automaton.includes(2));
  EXPECT_FALSE(automaton.includes(3));
  EXPECT_LE(automaton.stateCount(), TypeAutomaton::kMaxStates);
  EXPECT_LE(automaton.memoryBytes(), TypeAutomaton::kMaxTableBytes + 4096);
  EXPECT_EQ(automaton.matches("ab")[0], 4u);
  EXPECT_EQ(automaton.matches("12")[0], 1u);
}

// A realistic table walks its rows over all 256 bytes. One whose rows would take too much that
// way walks its byte classes, alone and side by side, to the answers of the rule it encodes:
// type 0 takes an 'a' eleven bytes from the end of a text of 'a' and 'b', some 2^11 rows.
TEST(TypeAutomatonTest, AutomataPastTheByteTableCapWalkTheirClasses) {
  EXPECT_TRUE(automatonOf({{"[0-9]+"}, {"[a-z]+@[a-z]+"}}).walksBytes());
  const TypeAutomaton automaton = automatonOf({{"[ab]*a[ab]{10}"}, {"b+"}});
  ASSERT_TRUE(automaton.includes(0));
  ASSERT_TRUE(automaton.includes(1));
  ASSERT_FALSE(automaton.walksBytes());
  const auto expected = [](const std::string& text) {
    const bool ab = text.find_first_not_of("ab") == std::string::npos;
    const bool type0 = ab && text.size() >= 11 && text[text.size() - 11] == 'a';
    const bool type1 = !text.empty() && text.find_first_not_of('b') == std::string::npos;
    return std::uint64_t{type0} | std::uint64_t{type1} << 1;
  };
  std::mt19937 rng(5);
  for (int group = 0; group < 2000; ++group) {
    std::string texts[4];
    std::string_view views[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t length = rng() % 30;
      const bool onlyB = rng() % 8 == 0;
      const std::size_t letters = rng() % 10 == 0 ? 7 : 6;  // with 'c', which kills type 0
      for (std::size_t i = 0; i < length; ++i) texts[k] += onlyB ? 'b' : "abbabac"[rng() % letters];
      views[k] = texts[k];
    }
    std::uint32_t ids[4];
    automaton.setIdsEach(views, ids);
    for (std::size_t k = 0; k < 4; ++k) {
      ASSERT_EQ(automaton.matches(views[k])[0], expected(texts[k])) << texts[k];
      ASSERT_EQ(automaton.setOf(ids[k])[0], expected(texts[k])) << texts[k];
    }
  }
}

struct OverlapCase {
  const char* name;
  std::vector<std::pair<std::string, std::vector<std::string>>> types;
  std::vector<TableOverlaps::Pair> pairs;
  std::vector<std::string> unanalysed;
};

const std::vector<OverlapCase> kOverlapCases = {
    {"int and bool",
     {{"int", {"[-+]?\\d+"}}, {"bool", {"[01]", "true|false"}}},
     {{"bool", "int", "0"}},
     {}},
    {"date and a date prefix",
     {{"date", {"\\d{4}-\\d{2}-\\d{2}"}}, {"prefix", {"2024-.*"}}},
     {{"date", "prefix", "2024-00-00"}},
     {}},
    {"the least of the shortest", {{"x", {"b|a|c"}}, {"y", {"[a-c]"}}}, {{"x", "y", "a"}}, {}},
    {"the empty text", {{"a", {"a*"}}, {"b", {"b*"}}}, {{"a", "b", ""}}, {}},
    {"disjoint", {{"a", {"a+"}}, {"b", {"b+"}}, {"none", {}}}, {}, {}},
    {"unanalysed",
     {{"word", {"(?i)\\w+"}},
      {"int", {"\\d+"}},
      {"hostile", {"[ab]*a[ab]{18}c"}},
      {"digit", {"5"}}},
     {{"digit", "int", "5"}},
     {"hostile", "word"}},
};

TEST(TypeAutomatonTest, OverlapsNameEachPairWithItsLeastShortestText) {
  for (const OverlapCase& c : kOverlapCases) {
    SCOPED_TRACE(c.name);
    const TableOverlaps found = findOverlaps(c.types);
    ASSERT_EQ(found.pairs.size(), c.pairs.size());
    for (std::size_t i = 0; i < c.pairs.size(); ++i) {
      EXPECT_EQ(found.pairs[i].first, c.pairs[i].first);
      EXPECT_EQ(found.pairs[i].second, c.pairs[i].second);
      EXPECT_EQ(found.pairs[i].witness, c.pairs[i].witness);
    }
    EXPECT_EQ(found.unanalysed, c.unanalysed);
  }
}

// ---------------------------------------------------------------------------------------------
// Brute force: random small tables over the bytes a, b and c, with classes that also take every
// other byte, whose least is NUL. So NUL, a, b and c tell every class apart, and the first
// common text of two types in order of length and then bytes is their least shortest witness.

const std::string kAlphabet = "\0abc"s;
const std::vector<std::string> kAtoms = {"a", "b", "c", "[ab]", "[^a]", ".", "[bc]", "cab"};
const std::vector<std::string> kQuantifiers = {"", "", "?", "*", "+", "{2}", "{1,2}"};

std::string randomPattern(std::mt19937& rng, int depth) {
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::string out;
  for (std::size_t n = 1 + pick(3); n > 0; --n) {
    if (depth < 1 && pick(4) == 0) {
      out += "(?:" + randomPattern(rng, depth + 1) + "|" + randomPattern(rng, depth + 1) + ")";
    } else {
      out += kAtoms[pick(kAtoms.size())];
    }
    out += kQuantifiers[pick(kQuantifiers.size())];
  }
  return out;
}

// Every text of up to `length` bytes of the alphabet, shortest first, then by bytes.
std::vector<std::string> allTexts(std::size_t length) {
  std::vector<std::string> texts = {""};
  for (std::size_t begin = 0, n = 0; n < length; ++n) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : kAlphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  return texts;
}

bool boostMatches(const std::vector<boost::regex>& type, const std::string& text) {
  for (const boost::regex& re : type) {
    if (boost::regex_match(text, re)) return true;
  }
  return false;
}

TEST(TypeAutomatonTest, OverlapsAgreeWithABruteForceSearch) {
  const std::vector<std::string> texts = allTexts(8);
  std::mt19937 rng(7);
  int pairs = 0;
  int overlapping = 0;
  for (int table = 0; table < 12; ++table) {
    std::vector<std::pair<std::string, std::vector<std::string>>> types;
    std::vector<std::vector<boost::regex>> compiled;
    for (int t = 0; t < 4; ++t) {
      types.push_back({std::string(1, static_cast<char>('p' + t)), {}});
      compiled.emplace_back();
      for (int n = 1 + static_cast<int>(rng() % 2); n > 0; --n) {
        types.back().second.push_back(randomPattern(rng, 0));
        compiled.back().emplace_back(types.back().second.back());
      }
    }
    const TableOverlaps found = findOverlaps(types);
    ASSERT_TRUE(found.unanalysed.empty());
    std::map<std::pair<std::string, std::string>, std::string> reported;
    for (const TableOverlaps::Pair& p : found.pairs) reported[{p.first, p.second}] = p.witness;
    for (std::size_t a = 0; a < types.size(); ++a) {
      for (std::size_t b = a + 1; b < types.size(); ++b) {
        ++pairs;
        std::optional<std::string> first;
        for (const std::string& text : texts) {
          if (boostMatches(compiled[a], text) && boostMatches(compiled[b], text)) {
            first = text;
            break;
          }
        }
        const auto it = reported.find({types[a].first, types[b].first});
        SCOPED_TRACE(types[a].second[0] + " and " + types[b].second[0]);
        if (first) {
          ++overlapping;
          ASSERT_NE(it, reported.end());
          EXPECT_EQ(it->second, *first);
        } else if (it != reported.end()) {  // a witness longer than the search
          EXPECT_GT(it->second.size(), 8u);
          EXPECT_TRUE(boostMatches(compiled[a], it->second) &&
                      boostMatches(compiled[b], it->second));
        }
      }
    }
  }
  // Both verdicts must be common for the search to test anything.
  EXPECT_GT(overlapping * 5, pairs);
  EXPECT_GT((pairs - overlapping) * 5, pairs);
}

// ---------------------------------------------------------------------------------------------
// Side-by-side walks against lone ones, on random tables of the same kind: each text of a group
// must get what matches() gives it alone. The texts are empty or one byte up to a few hundred,
// so the walks of a group all go together for none, few or many bytes, and the longer ones then
// on for up to hundreds; runs of one byte keep starred patterns alive long, and 'z', which only
// `.` and `[^a]` take, kills a walk at once, midway, or all the walks of a group before the
// shortest text ends.

std::string randomText(std::mt19937& rng) {
  static const std::size_t kLengths[] = {0, 1, 2, 3, 8, 31, 300};
  const std::size_t length = kLengths[rng() % std::size(kLengths)];
  const bool run = rng() % 3 == 0;
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = rng() % 24 == 0 ? 'z' : kAlphabet[rng() % kAlphabet.size()];
    text += run && i > 0 ? text[0] : c;
  }
  return text;
}

template <std::size_t K>
void expectSideBySideAsAlone(const TypeAutomaton& automaton, std::mt19937& rng) {
  for (int group = 0; group < 200; ++group) {
    std::string texts[K];
    std::string_view views[K];
    for (std::size_t k = 0; k < K; ++k) views[k] = texts[k] = randomText(rng);
    const std::uint64_t* sets[K];
    automaton.matchesEach(views, sets);
    std::uint32_t ids[K];
    automaton.setIdsEach(views, ids);
    for (std::size_t k = 0; k < K; ++k) {
      ASSERT_EQ(ids[k], automaton.setIdOf(views[k])) << "lanes " << K << ": " << texts[k];
      ASSERT_LT(ids[k], automaton.setIdBound());
      ASSERT_EQ(automaton.setOf(ids[k]), sets[k]);
      const std::uint64_t* alone = automaton.matches(views[k]);
      for (std::size_t word = 0; word < automaton.words(); ++word) {
        ASSERT_EQ(sets[k][word], alone[word])
            << "lanes " << K << ", text " << k << ": " << texts[k];
      }
    }
  }
}

TEST(TypeAutomatonTest, SideBySideWalksAnswerAsLoneWalks) {
  std::mt19937 rng(11);
  for (int t = 0; t < 24; ++t) {
    Table table(1 + rng() % 4);
    for (std::vector<std::string>& type : table) {
      for (int n = 1 + static_cast<int>(rng() % 2); n > 0; --n)
        type.push_back(randomPattern(rng, 0));
    }
    const TypeAutomaton automaton = automatonOf(table);
    SCOPED_TRACE(table[0][0]);
    expectSideBySideAsAlone<1>(automaton, rng);
    expectSideBySideAsAlone<3>(automaton, rng);
    expectSideBySideAsAlone<4>(automaton, rng);
    expectSideBySideAsAlone<8>(automaton, rng);
  }
}

// Walks side by side check whether they all died only every kStepsPerDeadCheck bytes. Texts
// that die at every position modulo it, before, at and past the shortest text's end, all
// together (the walks stop early) or beside one that lives on in each lane, answer as written
// and as lone walks do.
TEST(TypeAutomatonTest, SideBySideWalksDyingAtEveryPositionAnswerAsLoneWalks) {
  const TypeAutomaton automaton = automatonOf({{"a*"}, {"a*b"}});
  constexpr std::size_t kSteps = TypeAutomaton::kStepsPerDeadCheck;
  const auto dying = [](std::size_t at, std::size_t length) {
    std::string text(length, 'a');
    text[at] = 'z';
    return text;
  };
  for (std::size_t at = 0; at < 3 * kSteps; ++at) {
    for (std::size_t length = at + 1; length <= at + 2 * kSteps; ++length) {
      for (std::size_t living = 0; living <= 4; ++living) {  // 4: every text dies
        std::string texts[4];
        std::string_view views[4];
        for (std::size_t k = 0; k < 4; ++k) {
          texts[k] = k == living ? std::string(length + k - 1, 'a') + "b" : dying(at, length + k);
          views[k] = texts[k];
        }
        const std::uint64_t* sets[4];
        automaton.matchesEach(views, sets);
        for (std::size_t k = 0; k < 4; ++k) {
          EXPECT_EQ(sets[k][0], k == living ? 2u : 0u) << texts[k];
          EXPECT_EQ(sets[k][0], automaton.matches(views[k])[0]) << texts[k];
        }
      }
    }
  }
}

// Side-by-side walks end in rounds, the walks of the shortest texts and the dead ones first, and
// the others go on in fewer lanes: every order of ending, ties and deaths among them, must give
// each text its own set. Type n takes n 'a's and a 'b', so a set handed to the wrong text, or a
// walk that goes on from the wrong byte, shows; a 'z' kills a walk at its first byte.
TEST(TypeAutomatonTest, SideBySideWalksEndingInAnyOrderGiveEachTextItsSet) {
  Table table;
  constexpr std::size_t kLengths[] = {0, 1, 2, 5, 9};
  for (std::size_t n = 0; n <= 9; ++n) table.push_back({"a{" + std::to_string(n) + "}b"});
  const TypeAutomaton automaton = automatonOf(table);
  constexpr std::size_t kTextsPerLane = std::size(kLengths) * 2;  // living or dying
  for (std::size_t group = 0; group < kTextsPerLane * kTextsPerLane * kTextsPerLane * kTextsPerLane;
       ++group) {
    std::string texts[4];
    std::string_view views[4];
    for (std::size_t k = 0, digits = group; k < 4; ++k, digits /= kTextsPerLane) {
      const std::size_t length = kLengths[digits % std::size(kLengths)];
      const bool dies = digits / std::size(kLengths) % 2 == 1;
      texts[k] = std::string(length, 'a') + "b";
      if (dies) texts[k][0] = 'z';
      views[k] = texts[k];
    }
    std::uint32_t ids[4];
    automaton.setIdsEach(views, ids);
    for (std::size_t k = 0; k < 4; ++k) {
      const bool dead = texts[k][0] == 'z';
      const std::uint64_t expected = dead ? 0 : std::uint64_t{1} << (texts[k].size() - 1);
      ASSERT_EQ(automaton.setOf(ids[k])[0], expected) << "group " << group << ", text " << k;
    }
  }
}

// Sets of more than 64 types come back whole from side-by-side walks too.
TEST(TypeAutomatonTest, SideBySideWalksGiveEveryWordOfASet) {
  Table table;
  for (int i = 0; i < 70; ++i) table.push_back({"x{" + std::to_string(i % 7) + "}"});
  const TypeAutomaton automaton = automatonOf(table);
  ASSERT_EQ(automaton.words(), 2u);
  const std::string_view texts[4] = {"xxxxx", "xxxxxx", "", "xx"};
  const std::uint64_t* sets[4];
  automaton.matchesEach(texts, sets);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(sets[k][0], automaton.matches(texts[k])[0]) << texts[k];
    EXPECT_EQ(sets[k][1], automaton.matches(texts[k])[1]) << texts[k];
  }
  EXPECT_EQ(sets[1][1] >> (69 - 64) & 1, 1u);  // type 69: x{6}
}

}  // namespace
}  // namespace quorvel

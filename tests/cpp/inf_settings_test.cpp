// Tests of the settings of Inf and of its pattern table: what the setters store
// and the getters hand back, how pattern strings come back from the compiled
// table, and what a pattern that does not compile leaves behind.
#include <boost/regex.hpp>
#include <climits>
#include <string>
#include <unordered_set>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "inf.h"

namespace {

using quorvel::Inf;
using quorvel::PatternStrings;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace std::string_literals;
using NaSet = std::unordered_set<std::string>;
using Patterns = std::vector<std::string>;

// The regex library's own description of why `pattern` does not compile.
std::string CompileError(const std::string& pattern) {
  try {
    boost::regex compiled(pattern);
  } catch (const boost::regex_error& error) {
    return error.what();
  }
  ADD_FAILURE() << "'" << pattern << "' compiles";
  return "";
}

// Nothing is validated: an empty path, a NUL delimiter or a window of 0 are
// kept as they come. The getters hand out copies.
TEST(InfSettings, RoundTrip) {
  Inf inf("", '\0', {{"int", {"[0-9]+"}}}, {"NA", ""}, true, true, "\xFF/t", 0);
  EXPECT_EQ(inf.getFilepath(), "");
  EXPECT_EQ(inf.getDelimiter(), '\0');
  EXPECT_EQ(inf.getNaValues(), (NaSet{"NA", ""}));
  EXPECT_TRUE(inf.getMultithreading());
  EXPECT_TRUE(inf.getSaveTypesFile());
  EXPECT_EQ(inf.getTypesFilepath(), "\xFF/t");
  EXPECT_EQ(inf.getRollingCacheWindow(), 0);
  EXPECT_EQ(inf.getNumRows(), 0u);
  EXPECT_TRUE(inf.getColNames().empty());
  EXPECT_TRUE(inf.getColTypeCandidates().empty());
  EXPECT_EQ(inf.getTypesFileError(), "");

  inf.setFilepath("dir/b \xC3\xA9.csv");
  inf.setDelimiter('\t');
  inf.setNaValues({"n/a", "x\0y"s});
  inf.setMultithreading(false);
  inf.setSaveTypesFile(false);
  inf.setTypesFilepath("out\0x"s);
  EXPECT_EQ(inf.getFilepath(), "dir/b \xC3\xA9.csv");
  EXPECT_EQ(inf.getDelimiter(), '\t');
  EXPECT_EQ(inf.getNaValues(), (NaSet{"n/a", "x\0y"s}));
  EXPECT_FALSE(inf.getMultithreading());
  EXPECT_FALSE(inf.getSaveTypesFile());
  EXPECT_EQ(inf.getTypesFilepath(), "out\0x"s);
  for (const int window : {1, -1, INT_MAX, INT_MIN}) {
    inf.setRollingCacheWindow(window);
    EXPECT_EQ(inf.getRollingCacheWindow(), window);
  }

  inf.getNaValues().insert("NA");
  inf.getColTypePatterns()["int"].push_back("x");
  EXPECT_EQ(inf.getNaValues(), (NaSet{"n/a", "x\0y"s}));
  EXPECT_EQ(inf.getColTypePatterns(), (PatternStrings{{"int", {"[0-9]+"}}}));
}

struct TableCase {
  const char* name;
  PatternStrings patterns;
};

const TableCase kTables[] = {
    {"no types", {}},
    {"one type", {{"int", {"[0-9]+"}}}},
    {"empty pattern list", {{"never", {}}, {"int", {"[0-9]+"}}}},
    {"several patterns in order", {{"num", {"[0-9]+", "[0-9]+\\.[0-9]*", "\\.[0-9]+"}}}},
    {"duplicates kept in order", {{"t", {"b", "a", "b", "b"}}}},
    {"NUL bytes in names and patterns", {{"t\0u"s, {"a\0b"s, "\0"s, "[\\x00-\\x01]"}}}},
    {"empty type name and empty pattern", {{"", {""}}, {"e", {"", "x*"}}}},
    {"reserved names as keys", {{"NA", {"N/A"}}, {"other", {"\\?"}}}},
};

// Every table comes back exactly as given, both from the constructor and from
// the setter, and the setter drops whatever the previous table held.
TEST(InfPatternTable, ReadsBackAsGiven) {
  for (const TableCase& table : kTables) {
    SCOPED_TRACE(table.name);
    const Inf built("a.csv", ',', table.patterns, {}, false, false, "", 1);
    EXPECT_EQ(built.getColTypePatterns(), table.patterns);
    Inf replaced("a.csv", ',', {{"old", {"o"}}, {"t", {"z"}}, {"", {"y"}}}, {}, false, false, "",
                 1);
    replaced.setColTypePatterns(table.patterns);
    EXPECT_EQ(replaced.getColTypePatterns(), table.patterns);
  }
}

// A pattern that does not compile fails the constructor with the library's
// error. The setter fails alike and keeps what compiled before: with one type,
// the patterns ahead of the invalid one, and nothing of the previous table.
TEST(InfPatternTable, InvalidPattern) {
  struct Case {
    Patterns kept;
    std::string bad;
    Patterns rest;
  };
  const Case cases[] = {
      {{}, "(", {}},
      {{"a", "b"}, "[a-", {"c", "d"}},
      {{"a", "a"}, "a{2,1}", {"a"}},
      {{"x"}, "x\0("s, {}},
      {{}, "*", {"b"}},
  };
  for (const auto& [kept, bad, rest] : cases) {
    SCOPED_TRACE(bad);
    Patterns patterns = kept;
    patterns.push_back(bad);
    patterns.insert(patterns.end(), rest.begin(), rest.end());
    const auto failure = ThrowsMessage<boost::regex_error>(StrEq(CompileError(bad)));
    EXPECT_THAT([&] { Inf("a.csv", ',', {{"t", patterns}}, {}, false, false, "", 1); }, failure);
    Inf inf("a.csv", ',', {{"old", {"o"}}, {"t", {"z"}}}, {}, false, false, "", 1);
    EXPECT_THAT([&] { inf.setColTypePatterns({{"t", patterns}}); }, failure);
    EXPECT_EQ(inf.getColTypePatterns(), (PatternStrings{{"t", kept}}));
  }
}

}  // namespace

// The row scans against hand-written cases, each fed whole and cut at every
// byte: the state a piece leaves must not depend on where the pieces end.
#include "io/row_scan.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace {

using quorvel::followRows;
using quorvel::kAfterCr;
using quorvel::kRowEnd;
using quorvel::kRowStart;

constexpr int kInField = 1;
constexpr int kQuoted = 2;
constexpr int kAfterQuote = 3;

struct Case {
  const char* name;
  std::string input;
  int state;  // after the input, fed from a row start with ';' as the delimiter
};

const Case kCases[] = {
    {"a row", "a;b\n", kRowEnd},
    {"CR LF", "a;b\r\n", kRowEnd},
    {"a CR last", "a;b\r", kRowEnd | kAfterCr},
    {"a field goes on", "a;b", kInField},
    {"after the delimiter", "a;", kRowStart},
    {"a quoted line break", "\"a\nb\";c\n", kRowEnd},
    {"still quoted", "\"a\n", kQuoted},
    {"a doubled quote", "\"a\"\"\nb\"\n", kRowEnd},
    {"just past a quote", "\"a\"", kAfterQuote},
    {"text after the closing quote", "\"a\"b\"\nc\n", kRowEnd},
    {"a quote inside a field is data", "x;y\"\n", kRowEnd},
    {"a quote after the delimiter opens", "x;\"y\n", kQuoted},
    {"a quoted delimiter", "\";\";\"\n\";x\n", kRowEnd},
};

int Whole(const std::string& input) {
  return followRows(input.data(), input.size(), ';', kRowStart);
}

int CutAt(const std::string& input, std::size_t cut) {
  const int middle = followRows(input.data(), cut, ';', kRowStart);
  return followRows(input.data() + cut, input.size() - cut, ';', middle);
}

TEST(FollowRows, EachCaseWholeAndCutAtEveryByte) {
  for (const Case& c : kCases) {
    EXPECT_EQ(Whole(c.input), c.state) << c.name;
    for (std::size_t cut = 0; cut <= c.input.size(); ++cut) {
      EXPECT_EQ(CutAt(c.input, cut), c.state) << c.name << ", cut at " << cut;
    }
  }
}

TEST(FollowRows, RefusesAStateItNeverGives) {
  EXPECT_THROW(followRows("a", 1, ';', 7), std::invalid_argument);
  EXPECT_THROW(followRows("a", 1, ';', kQuoted | kAfterCr), std::invalid_argument);
}

TEST(ScanQuotes, FirstRowStartsAfterAnEvenAndAnOddCount) {
  const std::string input = "x\n\"a\r\nb\"\r\nc";
  const quorvel::QuoteParity found = quorvel::scanQuotes(input.data(), input.size());
  EXPECT_EQ(found.quotes, 2u);
  EXPECT_EQ(found.afterEven, std::optional<std::size_t>(2));
  EXPECT_EQ(found.afterOdd, std::optional<std::size_t>(6));
}

TEST(ScanQuotes, NoLineEndNoRowStart) {
  const std::string input = "\"ab\"cd";
  const quorvel::QuoteParity found = quorvel::scanQuotes(input.data(), input.size());
  EXPECT_EQ(found.quotes, 2u);
  EXPECT_EQ(found.afterEven, std::nullopt);
  EXPECT_EQ(found.afterOdd, std::nullopt);
}

}  // namespace

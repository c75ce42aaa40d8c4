// Tests of CsvParser: a table of small inputs run as written, with ';' as the
// delimiter and shifted across the boundary between two reads; the read
// boundaries themselves; the token level and position(); failing streams; and
// a randomized comparison with a plain byte-at-a-time model of the tokenizer.
//
// Rows are written as their fields between brackets, rows joined by '|':
// "[a][]|[b]" is the rows {"a", ""} and {"b"}. Tokens use the same notation
// with '|' for ROW_END and '$' for CSV_END. Bytes that are not printable ASCII
// are written as C escapes (\r, \n, \0, \xFF); '[', ']', '|', '$' and '\' are
// escaped with a backslash.
#include "parser.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace std::string_literals;
using Rows = std::vector<std::vector<std::string>>;

constexpr std::size_t kCap = CsvParser::INPUTBUF_CAP;

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const char* const named = "\0\r\n\t";
    if (const void* at = std::memchr(named, c, 4)) {
      out += "\\"s + "0rnt"[static_cast<const char*>(at) - named];
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      if (std::strchr("[]|$\\", c) != nullptr) out += '\\';
      out += c;
    }
  }
  return out;
}

struct Token {
  FieldType type;
  std::string text;
  bool operator==(const Token& other) const { return type == other.type && text == other.text; }
};
using Tokens = std::vector<Token>;

std::string Render(const Rows& rows) {
  std::string out;
  for (const auto& row : rows) {
    if (&row != &rows.front()) out += '|';
    for (const auto& field : row) out += "[" + Escape(field) + "]";
  }
  return out;
}

std::string Render(const Tokens& tokens) {
  std::string out;
  for (const auto& token : tokens) {
    if (token.type == FieldType::DATA) out += "[" + Escape(token.text) + "]";
    out += token.type == FieldType::ROW_END ? "|" : token.type == FieldType::CSV_END ? "$" : "";
  }
  return out;
}

// EXPECT_EQ for texts that may be megabytes long: reports the first difference only.
testing::AssertionResult SameText(const std::string& actual, const std::string& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const std::size_t from = at < 30 ? 0 : at - 30;
  return testing::AssertionFailure()
         << "texts differ at offset " << at << " (sizes " << actual.size() << " and "
         << expected.size() << ")\n  actual:   ..." << actual.substr(from, 80)
         << "\n  expected: ..." << expected.substr(from, 80);
}

// Every row but the last takes at least one byte, so a parser that delivers
// more rows than that has lost track of the end; stop it instead of hanging.
Rows ReadRows(CsvParser& parser, std::size_t max_rows) {
  Rows rows;
  for (const auto& row : parser) {
    if (rows.size() == max_rows) {
      ADD_FAILURE() << "more than " << max_rows << " rows";
      break;
    }
    rows.push_back(row);
  }
  return rows;
}

Rows ReadRows(const std::string& input, char delimiter = ',') {
  std::istringstream in(input);
  CsvParser parser(in);
  parser.delimiter(delimiter);
  return ReadRows(parser, input.size() + 1);
}

// Reads up to CSV_END, or `max_tokens` tokens when the end never comes.
Tokens ReadTokens(std::istream& in, char delimiter = ',', std::size_t max_tokens = 100) {
  CsvParser parser(in);
  parser.delimiter(delimiter);
  Tokens tokens;
  while (tokens.size() < max_tokens &&
         (tokens.empty() || tokens.back().type != FieldType::CSV_END)) {
    const Field field = parser.next_field();
    tokens.push_back({field.type, field.type == FieldType::DATA ? *field.data : ""});
  }
  return tokens;
}

// Serves a string through underflow() a chunk at a time, as a pipe would,
// and throws once `fail_at` bytes have been served.
class ChunkedBuf : public std::streambuf {
 public:
  ChunkedBuf(std::string data, std::size_t chunk, std::size_t fail_at = std::string::npos)
      : data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}

 protected:
  int_type underflow() override {
    if (served_ >= fail_at_) throw std::runtime_error("device unplugged");
    if (served_ == data_.size()) return traits_type::eof();
    const std::size_t n = std::min({chunk_, data_.size() - served_, fail_at_ - served_});
    char* p = &data_[served_];
    setg(p, p, p + n);
    served_ += n;
    return traits_type::to_int_type(*p);
  }

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t fail_at_;
  std::size_t served_ = 0;
};

struct Case {
  const char* name;
  std::string input;
  const char* rows;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// No input uses ';', so every ',' can be swapped for ';' in input and rows alike.
const Case kCases[] = {
    {"Empty", "", ""},
    {"LfRows", "a,b\nc,d\n", "[a][b]|[c][d]"},
    {"LfRowsNoFinalTerminator", "a,b\nc,d", "[a][b]|[c][d]"},
    {"CrLfRows", "a,b\r\nc,d\r\n", "[a][b]|[c][d]"},
    {"CrLfRowsNoFinalTerminator", "a,b\r\nc,d", "[a][b]|[c][d]"},
    {"CrRows", "a,b\rc,d\r", "[a][b]|[c][d]"},
    {"CrRowsNoFinalTerminator", "a,b\rc,d", "[a][b]|[c][d]"},
    {"LfAlone", "\n", "[]"},
    {"CrLfAlone", "\r\n", "[]"},
    {"EmptyLineIsARow", "a\n\nb", "[a]|[]|[b]"},
    {"LfCrIsTwoRows", "\n\r", "[]|[]"},
    {"CrCrIsTwoRows", "a\r\rb", "[a]|[]|[b]"},
    {"CrCrLfIsTwoRows", "\r\r\nx", "[]|[]|[x]"},
    {"TrailingDelimiterThenLf", "a,\n", "[a][]"},
    {"TrailingDelimiterAtEnd", "a,", "[a]"},
    {"DelimiterAlone", ",,", "[][]"},
    {"EmptyQuotedAtEnd", "a,\"\"", "[a]"},
    {"EmptyQuotedThenLf", "a,\"\"\n", "[a][]"},
    {"EmptyQuotedThenDelimiter", "\"\",x", "[][x]"},
    {"EmptyQuotedAlone", "\"\"", ""},
    {"QuoteAloneAfterRow", "a\n\"", "[a]"},
    {"QuotedDelimiter", "\"x,y\",z", "[x,y][z]"},
    {"QuotedTerminatorsKept", "\"a\nb\",\"c\rd\",\"e\r\nf\"\r\ng", R"([a\nb][c\rd][e\r\nf]|[g])"},
    {"DoubledQuote", "\"a\"\"b\"\n", R"([a"b])"},
    {"OnlyADoubledQuote", "\"\"\"\"\n", R"(["])"},
    {"QuoteInsideUnquotedIsData", "ab\"c,d", R"([ab"c][d])"},
    {"BlankThenQuoteIsData", " \"a\",b", R"([ "a"][b])"},
    {"TextAfterClosingQuoteJoins", "\"ab\"cd,e", "[abcd][e]"},
    {"QuotesAfterClosingQuoteAreData", "\"ab\"c\"d\"", R"([abc"d"])"},
    {"UnclosedQuoteAtEnd", "\"a,b\nc", R"([a,b\nc])"},
    {"LoneQuoteAfterDelimiterAtEnd", "x,\"", "[x]"},
    {"BlanksKept", " a , b \n", "[ a ][ b ]"},
    {"ByteOrderMarkKept", "\xEF\xBB\xBFx,y", R"([\xEF\xBB\xBFx][y])"},
    {"NulAndHighBytesKept", "a\0b,\xFF\n\"\0\xFE\""s, R"([a\0b][\xFF]|[\0\xFE])"},
    {"RowsShrink", "a,b,c\nd\ne,f", "[a][b][c]|[d]|[e][f]"},
};

std::string Swap(std::string s, char delimiter) {
  std::replace(s.begin(), s.end(), ',', delimiter);
  return s;
}

class CsvParserCase : public testing::TestWithParam<Case> {};

TEST_P(CsvParserCase, AsWritten) { EXPECT_EQ(Render(ReadRows(GetParam().input)), GetParam().rows); }

TEST_P(CsvParserCase, SemicolonDelimiter) {
  ASSERT_EQ(GetParam().input.find(';'), std::string::npos);
  EXPECT_EQ(Render(ReadRows(Swap(GetParam().input, ';'), ';')), Swap(GetParam().rows, ';'));
}

// A filler row puts `before` bytes of the input in front of the read boundary.
TEST_P(CsvParserCase, StraddlesReadBoundary) {
  for (const char delimiter : {',', ';'}) {
    const std::string input = Swap(GetParam().input, delimiter);
    const std::string rows = Swap(GetParam().rows, delimiter);
    for (std::size_t before = 0; before <= input.size(); ++before) {
      const std::string filler(kCap - before - 1, 'f');
      Rows got = ReadRows(filler + "\n" + input, delimiter);
      ASSERT_FALSE(got.empty());
      EXPECT_TRUE(got.front() == std::vector<std::string>{filler}) << "filler row";
      got.erase(got.begin());
      EXPECT_EQ(Render(got), rows)
          << before << " bytes before the boundary, delimiter " << delimiter;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CsvParserCase, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) out += c == '"' ? "\"\"" : std::string(1, c);
  return out + "\"";
}

TEST(CsvParserBoundary, RowsAcrossReads) {
  const std::string x(kCap - 1, 'x');
  const std::string q(kCap - 3, 'q');
  const std::string text = "a,b\r\n\"c\rd\n";
  std::vector<std::pair<std::string, std::string>> cases = {
      // The CR is the last byte of the first read and the LF the first of the next.
      {x + "\r\ny", "[" + x + "]|[y]"},
      {x + "\r\n", "[" + x + "]"},
      {x.substr(1) + ",\r\ny", "[" + x.substr(1) + "][]|[y]"},
      {Quoted(q) + "\r\ny", "[" + q + "]|[y]"},
      // Fields that begin a few bytes before the end of the first read.
      {x.substr(4) + ",abcdefghij,z", "[" + x.substr(4) + "][abcdefghij][z]"},
      {x.substr(4) + "," + Quoted(text) + ",z", "[" + x.substr(4) + "][" + Escape(text) + "][z]"},
  };
  for (const std::size_t length : {std::size_t{CsvParser::FIELDBUF_CAP + 1}, kCap + 1, 3 * kCap}) {
    const std::string unquoted(length, 'u');
    std::string quoted;
    while (quoted.size() < length) quoted += "q,\r\n\"";
    cases.emplace_back("a," + unquoted + ",b\n" + Quoted(quoted) + "\nc",
                       "[a][" + unquoted + "][b]|[" + Escape(quoted) + "]|[c]");
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_TRUE(SameText(Render(ReadRows(cases[i].first)), cases[i].second)) << "case " << i;
  }

  std::istringstream in(x + "\r\ny");
  CsvParser parser(in);
  auto it = parser.begin();
  EXPECT_EQ(parser.position(), static_cast<std::streamoff>(kCap + 1));
  EXPECT_EQ(Render(Rows{*++it}), "[y]");
}

TEST(CsvParserBoundary, InputOfWholeReads) {
  for (const std::size_t size : {kCap, 2 * kCap}) {
    std::string lines;
    while (lines.size() < size) lines += "abc\n";
    const std::string unquoted(size, 'u');
    const std::string quoted(size - 2, 'q');
    const std::pair<std::string, Rows> cases[] = {{lines, Rows(size / 4, {"abc"})},
                                                  {unquoted, Rows{{unquoted}}},
                                                  {Quoted(quoted), Rows{{quoted}}}};
    for (const auto& [input, rows] : cases) {
      ASSERT_EQ(input.size(), size);
      std::istringstream in(input);
      CsvParser parser(in);
      EXPECT_TRUE(ReadRows(parser, size) == rows)
          << Escape(input.substr(0, 10)) << ", size " << size;
      EXPECT_TRUE(parser.empty());
      EXPECT_EQ(parser.position(), static_cast<std::streamoff>(size));
    }
  }
}

TEST(CsvParserTokens, RowEndOnlyBeforeFurtherInput) {
  // Pairs of input and tokens.
  const char* const cases[] = {"",      "$",     "a,b\nc", "[a][b]|[c]$", "a\n",      "[a]$",
                               "a\r\n", "[a]$",  "\n",     "[]$",         "a\n\n",    "[a]|[]$",
                               "a\n\"", "[a]|$", "a\n,",   "[a]|[]$",     "\"\"",     "$",
                               "a,",    "[a]$",  "\"a",    "[a]$",        "a,\"\"\n", "[a][]$"};
  for (std::size_t i = 0; i < std::size(cases); i += 2) {
    std::istringstream in(cases[i]);
    EXPECT_EQ(Render(ReadTokens(in)), cases[i + 1]) << Escape(cases[i]);
  }
}

TEST(CsvParserTokens, PositionAndEmptyAfterEachToken) {
  std::istringstream in("ab,\"c\"\"d\"\r\ne\n");
  CsvParser parser(in);
  EXPECT_EQ(parser.position(), 0);
  const std::tuple<std::string, std::streamoff, bool> expected[] = {
      {"[ab]", 3, false}, {R"([c"d])", 11, false}, {"|", 11, false}, {"[e]", 13, false},
      {"$", 13, true},    {"$", 13, true},         {"$", 13, true}};
  for (const auto& [token, position, empty] : expected) {
    const Field field = parser.next_field();
    EXPECT_EQ(Render(Tokens{{field.type, field.data ? *field.data : ""}}), token);
    EXPECT_EQ(parser.position(), position) << token;
    EXPECT_EQ(parser.empty(), empty) << token;
  }
}

TEST(CsvParserIterator, WalksRowsInOneVectorAndStaysAtEnd) {
  std::istringstream empty("");
  CsvParser nothing(empty);
  EXPECT_TRUE(nothing.begin() == nothing.end());

  std::istringstream in("a,b\r\ncc\n\nd");
  CsvParser parser(in);
  auto it = parser.begin();
  const auto* row = &*it;
  const std::pair<std::string, std::streamoff> expected[] = {
      {"[a][b]", 5}, {"[cc]", 8}, {"[]", 9}, {"[d]", 10}};
  for (const auto& [text, position] : expected) {
    ASSERT_TRUE(it != parser.end()) << text;
    EXPECT_EQ(Render(Rows{*it}), text);
    EXPECT_EQ(&*it, row);
    EXPECT_EQ(parser.position(), position) << text;
    ++it;
  }
  for (int i = 0; i < 3; ++i, ++it) EXPECT_TRUE(it == parser.end());
}

// The header is taken out of the iterator: its cells leave without a copy,
// and the rows after it, wider or narrower, are read into a fresh vector.
TEST(CsvParserIterator, TakeHandsOverTheRowAndReadsOnIntoAnEmptyOne) {
  const std::string huge(3 * CsvParser::INPUTBUF_CAP + 1, 'h');
  std::istringstream in(huge + ",b\n1,2,3\n4\n");
  CsvParser parser(in);
  auto it = parser.begin();
  const std::vector<std::string> header = it.take();
  EXPECT_EQ(header, (std::vector<std::string>{huge, "b"}));
  EXPECT_TRUE(it->empty());
  const std::pair<std::string, std::streamoff> expected[] = {{"[1][2][3]", 6}, {"[4]", 8}};
  for (const auto& [text, position] : expected) {
    ++it;
    ASSERT_TRUE(it != parser.end()) << text;
    EXPECT_EQ(Render(Rows{*it}), text);
    EXPECT_EQ(parser.position(), static_cast<std::streamoff>(huge.size() + 3) + position) << text;
  }
  ++it;
  EXPECT_TRUE(it == parser.end());
}

// Reads to the end; `max_rows` as in ReadRows.
void ReadAll(std::istream& in, std::size_t max_rows) {
  CsvParser parser(in);
  ReadRows(parser, max_rows);
}

constexpr char kNotGood[] = "Something is wrong with input stream";

TEST(CsvParserFailure, StreamNotGoodAtConstruction) {
  for (const auto state : {std::ios::eofbit, std::ios::failbit, std::ios::badbit}) {
    std::istringstream in("a,b\n");
    in.setstate(state);
    EXPECT_THAT([&] { CsvParser parser(in); }, ThrowsMessage<std::runtime_error>(StrEq(kNotGood)));
  }
  std::ifstream missing("/nonexistent/parser_test.csv", std::ios::binary);
  EXPECT_THAT([&] { CsvParser parser(missing); },
              ThrowsMessage<std::runtime_error>(StrEq(kNotGood)));
}

TEST(CsvParserFailure, ReadingADirectoryThrows) {
  std::ifstream in(std::filesystem::temp_directory_path(), std::ios::binary);
  ASSERT_TRUE(in.good()) << "the open succeeds; the failure comes with the first read";
  EXPECT_THAT([&] { ReadAll(in, 1000); },
              ThrowsMessage<std::runtime_error>(StartsWith("Cannot read input stream: ")));
}

TEST(CsvParserFailure, ReadErrorMidStreamThrows) {
  std::string data;
  while (data.size() < 3 * kCap) data += "a,b\n";
  for (const std::size_t fail_at :
       {std::size_t{0}, std::size_t{1}, kCap - 1, kCap, kCap + 1, 2 * kCap, data.size()}) {
    ChunkedBuf buf(data, 1000, fail_at);
    std::istream in(&buf);
    EXPECT_THAT([&] { ReadAll(in, data.size()); },
                ThrowsMessage<std::runtime_error>(StartsWith("Cannot read input stream: ")))
        << "failing after " << fail_at << " bytes";
  }
}

// The tokenizer's state machine written out a byte at a time, without fast
// paths or buffers, to check CsvParser against. The quote is '"' and the
// terminator is CR, LF or CR LF.
class ModelTokenizer {
 public:
  ModelTokenizer(const std::string& input, char delimiter) : in_(input), delim_(delimiter) {}

  Token Next() {
    if (state_ == State::EMPTY) return {FieldType::CSV_END, ""};
    std::string field;
    for (;;) {
      if (pos_ == in_.size()) {
        state_ = State::EMPTY;  // an empty field at the very end is not returned
        return field.empty() ? Token{FieldType::CSV_END, ""} : Token{FieldType::DATA, field};
      }
      const char c = in_[pos_];
      const bool term = c == '\r' || c == '\n';
      if (state_ != State::END_OF_ROW) ++pos_;
      switch (state_) {
        case State::START_OF_FIELD:
          if (term) return EndRow(c, field);
          if (c == '"') {
            state_ = State::IN_QUOTED_FIELD;
          } else if (c == delim_) {
            return {FieldType::DATA, field};
          } else {
            field += c;
            state_ = State::IN_FIELD;
          }
          break;
        case State::IN_FIELD:
          if (term) return EndRow(c, field);
          if (c == delim_) return StartField(field);
          field += c;
          break;
        case State::IN_QUOTED_FIELD:
          if (c == '"') {
            state_ = State::IN_ESCAPED_QUOTE;
          } else {
            field += c;
          }
          break;
        case State::IN_ESCAPED_QUOTE:
          if (term) return EndRow(c, field);
          if (c == delim_) return StartField(field);
          field += c;
          state_ = c == '"' ? State::IN_QUOTED_FIELD : State::IN_FIELD;
          break;
        case State::END_OF_ROW:  // reported only once a further byte exists
          state_ = State::START_OF_FIELD;
          return {FieldType::ROW_END, ""};
        case State::EMPTY:
          return {FieldType::CSV_END, ""};
      }
    }
  }

 private:
  using State = CsvParser::State;

  Token EndRow(char c, const std::string& field) {
    if (c == '\r' && pos_ < in_.size() && in_[pos_] == '\n') ++pos_;
    state_ = State::END_OF_ROW;
    return {FieldType::DATA, field};
  }
  Token StartField(const std::string& field) {
    state_ = State::START_OF_FIELD;
    return {FieldType::DATA, field};
  }

  const std::string& in_;
  const char delim_;
  std::size_t pos_ = 0;
  State state_ = State::START_OF_FIELD;
};

TEST(CsvParserRandomized, AgreesWithByteAtATimeModel) {
  const char delimiters[] = {',', ';', '\t'};
  const double special_rates[] = {0.5, 0.15, 0.02};
  for (unsigned seed = 0; seed < 800; ++seed) {
    std::mt19937 rng(seed);
    const char delimiter = delimiters[seed % 3];
    const double special_rate = special_rates[rng() % 3];
    std::string input;
    std::size_t length = rng() % 40;
    if (seed % 4 == 0) {
      // A plain row puts the random bytes across the end of the first or second read.
      input.assign((1 + seed / 4 % 2) * kCap - 1 - rng() % 300, 'f');
      input += '\n';
      length = rng() % 600;
    } else if (seed % 200 == 1) {
      length = kCap + rng() % kCap;  // random all the way, so refills meet any state
    }
    const std::string specials = "\"\r\n"s + delimiter;
    const std::string ordinary = "a \0\xFF,"s;
    for (std::size_t i = 0; i < length; ++i) {
      const bool special = std::uniform_real_distribution<>(0, 1)(rng) < special_rate;
      input += special ? specials[rng() % specials.size()] : ordinary[rng() % ordinary.size()];
    }

    ModelTokenizer model(input, delimiter);
    Tokens model_tokens;
    Rows model_rows(1);
    for (Token t = model.Next();; t = model.Next()) {
      model_tokens.push_back(t);
      if (t.type == FieldType::DATA) model_rows.back().push_back(t.text);
      if (t.type == FieldType::ROW_END) model_rows.emplace_back();
      if (t.type == FieldType::CSV_END) break;
    }
    if (model_rows.back().empty()) model_rows.pop_back();

    const std::size_t chunk = 1 + rng() % 5000;
    ChunkedBuf token_buf(input, chunk);
    std::istream token_in(&token_buf);
    ChunkedBuf row_buf(input, chunk);
    std::istream row_in(&row_buf);
    CsvParser parser(row_in);
    parser.delimiter(delimiter);
    const std::string context = "seed " + std::to_string(seed) + ", size " +
                                std::to_string(input.size()) +
                                (input.size() < 100 ? ", input " + Escape(input) : "");
    // Compared raw; rendered only to describe a difference.
    const Tokens tokens = ReadTokens(token_in, delimiter, 2 * input.size() + 2);
    ASSERT_TRUE(tokens == model_tokens) << context << "\n"
                                        << SameText(Render(tokens), Render(model_tokens)).message();
    const Rows rows = ReadRows(parser, input.size() + 1);
    ASSERT_TRUE(rows == model_rows) << context << "\n"
                                    << SameText(Render(rows), Render(model_rows)).message();
    ASSERT_EQ(parser.position(), static_cast<std::streamoff>(input.size())) << context;
  }
}

}  // namespace

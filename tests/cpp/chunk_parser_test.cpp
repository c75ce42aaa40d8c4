// Tests of ChunkTokenizer on each scan path this machine supports, held to
// CsvParser, whose state machine reads every byte itself: the separator masks
// of each SIMD path against a plain reading of the block; a table of inputs
// shifted across the 64-byte blocks the masks cover, fed whole and cut in
// two; and the open row a chunk takes over from the chunk before, whose bytes
// may be gone by then.
#include "chunk_parser.hpp"

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "parser.hpp"

namespace {

using csv_detail::ScanPath;
using Rows = std::vector<std::vector<std::string>>;
using namespace std::string_literals;

constexpr std::size_t kBlock = 64;

struct PathCase {
  const char* name;
  ScanPath path;
};

const PathCase kPaths[] = {
    {"scalar", ScanPath::kScalar},
    {"sse2", ScanPath::kSse2},
    {"avx2", ScanPath::kAvx2},
};

// Sets the path for one test and puts the fastest back after it, so that a
// failing test leaves no path forced on the others.
class ForcedPath {
 public:
  explicit ForcedPath(ScanPath path) : m_taken(csv_detail::force_scan_path(path)) {}
  ~ForcedPath() { csv_detail::force_scan_path(csv_detail::fastest_scan_path()); }
  bool taken() const { return m_taken; }

 private:
  bool m_taken;
};

// Quote, delimiter, terminator.
const Dialect kDialects[] = {
    {'"', ',', Term::CRLF},
    {'"', ';', Term::CRLF},
    {'"', ',', static_cast<Term>('\n')},
    {'"', ',', static_cast<Term>('|')},
};

Rows StreamRows(const std::string& input, const Dialect& dialect) {
  std::istringstream in(input);
  CsvParser parser(in);
  Rows rows;
  for (const auto& row : parser.dialect(dialect)) rows.push_back(row);
  return rows;
}

void AppendRows(const ChunkTokenizer& chunk, Rows& rows) {
  std::size_t f = 0;
  for (const std::uint32_t width : chunk.widths()) {
    auto& row = rows.emplace_back();
    for (std::uint32_t i = 0; i < width; ++i) row.emplace_back(chunk.text(f++));
  }
}

// The input cut at `cut` into two chunks, each tokenized from a row start and
// confirmed in order, as the pass does. Each chunk's bytes are a copy that is
// overwritten once the chunk is done with, as the pass reuses its buffers.
Rows ChunkRows(const std::string& input, std::size_t cut, const Dialect& dialect) {
  ChunkTokenizer confirmed(dialect, SIZE_MAX);
  ChunkTokenizer chunk(dialect, SIZE_MAX);
  Rows rows;
  for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, {cut, input.size()}}) {
    std::string bytes = input.substr(from, to - from);
    const bool last = to == input.size();
    chunk.reset();
    chunk.feed(bytes.data(), bytes.size());
    if (last) chunk.finish();
    confirm_chunk(confirmed, chunk, bytes.data(), bytes.size(), last);
    AppendRows(chunk, rows);
    confirmed.continue_from(chunk);
    bytes.assign(bytes.size(), '#');
  }
  return rows;
}

// A plain reading of a block: bit i for a delimiter or terminator byte.
std::uint64_t PlainSeparators(const char* block, const csv_detail::SeparatorBytes& bytes) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const char c = block[i];
    if (c == bytes.delimiter || c == bytes.first_terminator || c == bytes.second_terminator) {
      mask |= std::uint64_t{1} << i;
    }
  }
  return mask;
}

// The compiler's own reading of the processor is the oracle of the cpuid
// check, which a toolchain without the compiler's runtime table needs.
TEST(ScanPaths, AvxTwoExactlyWhereTheProcessorHasIt) {
  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
  EXPECT_EQ(csv_detail::scan_path_supported(ScanPath::kAvx2), has_avx2);
  EXPECT_EQ(csv_detail::fastest_scan_path(), has_avx2 ? ScanPath::kAvx2 : ScanPath::kSse2);
}

TEST(SeparatorMasks, EverySimdPathMarksTheBytesAPlainReadingDoes) {
  const std::string alphabet = ",;\r\n|\"a\0\x80\xFF"s;
  std::mt19937 rng(7);
  for (const PathCase& path : kPaths) {
    const csv_detail::SeparatorMasker masker = csv_detail::separator_masker(path.path);
    if (masker == nullptr || !csv_detail::scan_path_supported(path.path)) continue;
    SCOPED_TRACE(path.name);
    for (const Dialect& dialect : kDialects) {
      const csv_detail::SeparatorBytes bytes = csv_detail::separator_bytes(dialect);
      for (int round = 0; round < 200; ++round) {
        std::string block(kBlock, 'a');
        for (char& c : block) c = alphabet[rng() % alphabet.size()];
        ASSERT_EQ(masker(block.data(), bytes), PlainSeparators(block.data(), bytes))
            << "block " << testing::PrintToString(block);
      }
    }
  }
}

struct Case {
  const char* name;
  std::string input;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Inputs that end or start fields in each way the state machine knows; ','
// is the delimiter as written and is swapped for each dialect's.
const Case kCases[] = {
    {"PlainRows", "ab,cd,ef\ngh,ij,kl\n"},
    {"CrLfRows", "ab,cd\r\nef,gh\r\n"},
    {"CrRows", "ab,cd\ref,gh\r"},
    {"EmptyLinesAndFields", "\n\n,,\r\r\n,\n"},
    {"LfCr", "a\n\rb\n"},
    {"QuotedWithSeparators", "a,\"b,c\nd\r\ne\",f\n"},
    {"DoubledQuotes", "\"a\"\"b\",\"\"\"\"\n"},
    {"TextAfterClosingQuote", "\"ab\"cd,\"x\"\"y\"z\"w\n"},
    {"QuoteInsideUnquoted", "ab\"c,d\"\"e\nf\"\n"},
    {"QuotedThenCrLf", "\"a\"\r\n\"b\"\r\"c\"\n"},
    {"LongUnquotedField", std::string(150, 'x') + "," + std::string(70, 'y') + "\n"},
    {"LongQuotedField", "\"" + std::string(150, ',') + "\"," + std::string(3, 'z') + "\n"},
    {"UnclosedQuote", "a,\"b,c\nd,e\n"},
    {"EndsWithCr", "a,b\r"},
    {"EndsWithDelimiter", "a,b,"},
    {"EndsInField", "a,bcd"},
};

std::string Swapped(std::string input, const Dialect& dialect) {
  for (char& c : input) {
    if (c == ',') c = dialect.delimiter;
  }
  return input;
}

class ChunkTokenizerCase : public testing::TestWithParam<Case> {};

// Rows that take more than two blocks, so that the walk goes on after what
// the case leaves behind.
std::string TailRows() {
  std::string rows;
  for (std::size_t length = 0; length <= 2 * kBlock; length += 9) rows += "tail,row\n";
  return rows;
}

// A filler row of every length up to two blocks moves each byte of the case
// to each offset in a block, CR LF pairs and quotes onto block ends included.
TEST_P(ChunkTokenizerCase, ReadsAsTheStreamParserOnEveryPath) {
  for (const PathCase& path : kPaths) {
    const ForcedPath forced(path.path);
    if (!forced.taken()) continue;
    for (const Dialect& dialect : kDialects) {
      for (std::size_t shift = 0; shift <= 2 * kBlock; ++shift) {
        const std::string input = std::string(shift, 'f') + "\n" +
                                  Swapped(GetParam().input, dialect) +
                                  Swapped(GetParam().input, dialect) + Swapped(TailRows(), dialect);
        const Rows expected = StreamRows(input, dialect);
        ASSERT_EQ(ChunkRows(input, input.size(), dialect), expected)
            << path.name << ", delimiter " << dialect.delimiter << ", shift " << shift;
        ASSERT_EQ(ChunkRows(input, shift + 3, dialect), expected)
            << path.name << ", delimiter " << dialect.delimiter << ", shift " << shift
            << ", cut after the filler";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ChunkTokenizerCase, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Rows longer than a chunk's blocks, cut at every offset: the open row and
// field the second chunk takes over must not point into the first chunk's
// bytes, which ChunkRows overwrites.
TEST(ChunkTokenizerContinue, TakesOverTheOpenRowOnEveryPath) {
  std::string input;
  for (int row = 0; row < 4; ++row) {
    input += "id" + std::to_string(row) + ",plain text of some length," + std::string(40, 'v') +
             ",\"quoted, with \"\"quotes\"\"\"\n";
  }
  const Dialect dialect = kDialects[0];
  const Rows expected = StreamRows(input, dialect);
  for (const PathCase& path : kPaths) {
    const ForcedPath forced(path.path);
    if (!forced.taken()) continue;
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
      ASSERT_EQ(ChunkRows(input, cut, dialect), expected) << path.name << ", cut at " << cut;
    }
  }
}

// Kept fields are counted across rows, so dropping a row's extra fields in
// the block walk must leave every later field where the state machine does.
TEST(ChunkTokenizerWidth, DropsTheSameFieldsOnEveryPath) {
  std::string input;
  for (int row = 0; row < 30; ++row) input += std::string(row % 7, ',') + "a,b\n";
  const Dialect dialect = kDialects[0];
  std::vector<std::string> rendered;
  for (const PathCase& path : kPaths) {
    const ForcedPath forced(path.path);
    if (!forced.taken()) continue;
    ChunkTokenizer chunk(dialect, 3);
    chunk.feed(input.data(), input.size());
    chunk.finish();
    std::string out;
    for (std::size_t f = 0; f < chunk.fields(); ++f) out += "[" + std::string(chunk.text(f)) + "]";
    out += " short " + std::to_string(chunk.short_rows()) + " long " +
           std::to_string(chunk.long_rows());
    rendered.push_back(out);
    EXPECT_EQ(rendered.front(), rendered.back()) << path.name;
  }
}

}  // namespace

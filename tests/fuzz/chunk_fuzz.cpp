// libFuzzer target for chunked parsing: every input must give, byte for byte,
// the rows that CsvParser reads from it as a stream, both when it is cut into
// pieces at random offsets (mid-field, mid-quote, between CR and LF), each
// tokenized from a row start and then confirmed in order, and when the pass's
// pipeline reads it after its header, in chunks of a random size cut at
// guessed row ends, on one to three threads. There each field must also know
// the last earlier field of its chunk with the same text, if any, and share
// the number of its text in its window (of one to seven rows) with exactly
// the fields of that window that have its text. Both run on
// every scan path the machine supports, so that CsvParser's state machine is
// the oracle of each SIMD path.
//
// Input layout: byte 0 the delimiter, byte 1 the quote, byte 2 the row end
// (even: CR, LF and CR LF; odd: byte 3 alone), byte 4 the most fields a row
// keeps (0: all), byte 5 the seed of the piece sizes, the CSV from byte 6 on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "chunk_parser.hpp"
#include "classify/window_texts.h"
#include "escaped.h"
#include "parser.hpp"
#include "pass/pass_pipeline.h"

namespace {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

constexpr std::size_t kHeaderSize = 6;

const std::pair<const char*, csv_detail::ScanPath> kPaths[] = {
    {"scalar", csv_detail::ScanPath::kScalar},
    {"sse2", csv_detail::ScanPath::kSse2},
    {"avx2", csv_detail::ScanPath::kAvx2},
};

struct FuzzCase {
  std::string input;  // as the fuzzer gave it
  Dialect dialect;
  std::size_t maxFields;
  std::uint32_t seed;
  std::string csv;
};

FuzzCase decode(const std::uint8_t* data, std::size_t size) {
  FuzzCase c;
  c.input.assign(reinterpret_cast<const char*>(data), size);
  c.dialect.delimiter = static_cast<char>(data[0]);
  c.dialect.quote = static_cast<char>(data[1]);
  if ((data[2] & 1) != 0) c.dialect.terminator = static_cast<Term>(data[3]);
  c.maxFields = data[4] == 0 ? SIZE_MAX : data[4] % 8 + 1;
  c.seed = data[5];
  c.csv.assign(reinterpret_cast<const char*>(data) + kHeaderSize, size - kHeaderSize);
  return c;
}

// The stream parser's rows, from the `skip`-th on, each cut to `maxFields`.
Rows streamRows(const FuzzCase& c, std::size_t skip, std::size_t maxFields) {
  std::istringstream in(c.csv);
  CsvParser parser(in);
  Rows rows;
  for (const Row& row : parser.dialect(c.dialect)) {
    if (skip > 0) {
      --skip;
      continue;
    }
    rows.emplace_back(row.begin(), row.begin() + std::min(row.size(), maxFields));
  }
  return rows;
}

void appendRows(const ChunkTokenizer& chunk, Rows& rows) {
  std::size_t f = 0;
  for (const std::uint32_t width : chunk.widths()) {
    Row& row = rows.emplace_back();
    for (std::uint32_t i = 0; i < width; ++i) row.emplace_back(chunk.text(f++));
  }
}

Rows piecewiseRows(const FuzzCase& c) {
  std::mt19937 rng(c.seed);
  ChunkTokenizer confirmed(c.dialect, c.maxFields);
  ChunkTokenizer chunk(c.dialect, c.maxFields);
  Rows rows;
  std::size_t start = 0;
  bool last = false;
  while (!last) {
    // Mostly short pieces, so that cuts fall anywhere, and now and then one
    // that holds several of the blocks the SIMD paths walk.
    const std::size_t longest = rng() % 4 == 0 ? 300 : 24;
    const std::size_t size = std::min<std::size_t>(rng() % longest, c.csv.size() - start);
    last = start + size == c.csv.size();
    chunk.reset();
    chunk.feed(c.csv.data() + start, size);
    if (last) chunk.finish();
    confirm_chunk(confirmed, chunk, c.csv.data() + start, size, last);
    appendRows(chunk, rows);
    confirmed.continue_from(chunk);
    start += size;
  }
  return rows;
}

// Each field's `previous` names the last earlier field of the chunk with its
// text; a field without one has no such field before it.
void expectPreviousFields(const FuzzCase& c, const quorvel::SettledChunk& chunk) {
  std::unordered_map<std::string_view, std::uint32_t> last;
  for (std::uint32_t f = 0; f < chunk.facts.size(); ++f) {
    const auto seen = last.find(chunk.rows.text(f));
    const std::uint32_t expected = seen == last.end() ? quorvel::FieldFacts::kFirst : seen->second;
    if (chunk.facts[f].previous != expected) {
      std::fprintf(stderr,
                   "pipeline: field %u of a chunk names field %u before it, not %u\n"
                   "input: %s\n",
                   f, chunk.facts[f].previous, expected, escaped(c.input).c_str());
      std::abort();
    }
    last[chunk.rows.text(f)] = f;
  }
}

// The texts of the window so far by number, against which each field's
// number must hold: the same text, the same number, and a new text, a new one.
struct WindowOracle {
  std::uint64_t window;
  std::uint64_t toWindowEnd;
  std::unordered_map<std::string, std::uint32_t> numbers;
  std::unordered_set<std::uint32_t> taken;

  void expectNumbers(const FuzzCase& c, const quorvel::SettledChunk& chunk) {
    std::uint32_t f = 0;
    for (const std::uint32_t width : chunk.rows.widths()) {
      for (const std::uint32_t end = f + width; f < end; ++f) {
        const std::uint32_t number = chunk.facts[f].windowText;
        const auto known = numbers.emplace(std::string(chunk.rows.text(f)), number);
        if (known.second ? taken.insert(number).second : known.first->second == number) continue;
        std::fprintf(stderr, "pipeline: field %u of a chunk has window number %u\ninput: %s\n", f,
                     number, escaped(c.input).c_str());
        std::abort();
      }
      if (--toWindowEnd == 0) {
        toWindowEnd = window;
        numbers.clear();
        taken.clear();
      }
    }
  }
};

// The rows after the header, as the pass's pipeline hands them over.
Rows pipelineRows(const FuzzCase& c, std::size_t& columns) {
  std::istringstream in(c.csv);
  CsvParser parser(in);
  auto header = parser.dialect(c.dialect).begin();
  columns = header == parser.end() ? 0 : header->size();
  Rows rows;
  if (parser.empty()) return rows;
  quorvel::PassStats stats;
  const unsigned threads = 1 + c.seed % 3;
  // Overlapping types, so that the workers give match sets and previous fields.
  quorvel::PatternTable types;
  types.set({{"int", {"[0-9]+"}}, {"short", {".{1,2}"}}});
  const quorvel::MissingValues noMissingValues({});
  quorvel::PassPipeline::Setup setup{parser.dialect(), columns,          threads, 1 + c.seed % 64,
                                     &types,           &noMissingValues, nullptr};
  quorvel::PassPipeline pipeline(in, parser.unread(), std::move(setup), stats);
  const std::uint64_t window = 1 + c.seed % 7;
  WindowOracle oracle{window, window, {}, {}};
  quorvel::WindowTexts texts;
  texts.startPass(window, window, threads);
  pipeline.resolve(texts, [&](const quorvel::SettledChunk& chunk) {
    if (chunk.facts.size() != chunk.rows.fields()) std::abort();
    expectPreviousFields(c, chunk);
    oracle.expectNumbers(c, chunk);
    appendRows(chunk.rows, rows);
  });
  return rows;
}

std::string render(const Rows& rows) {
  std::string out;
  for (const Row& row : rows) {
    for (const std::string& field : row) out += "[" + field + "]";
    out += "|";
  }
  return out;
}

void expectRows(const char* way, const FuzzCase& c, const Rows& expected, const Rows& actual) {
  if (actual == expected) return;
  std::fprintf(stderr, "%s: rows differ\ninput: %s\nexpected: %s\nactual:   %s\n", way,
               escaped(c.input).c_str(), escaped(render(expected)).c_str(),
               escaped(render(actual)).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  const FuzzCase c = decode(data, size);
  const Rows expected = streamRows(c, 0, c.maxFields);
  for (const auto& [name, path] : kPaths) {
    if (!csv_detail::force_scan_path(path)) continue;
    expectRows((std::string("pieces, ") + name).c_str(), c, expected, piecewiseRows(c));
    std::size_t columns = 0;
    const Rows fromPipeline = pipelineRows(c, columns);
    expectRows((std::string("pipeline, ") + name).c_str(), c, streamRows(c, 1, columns),
               fromPipeline);
  }
  return 0;
}

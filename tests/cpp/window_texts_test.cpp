// Tests of WindowTexts against a map of texts per window: random rows cut
// into chunks and rounds of many shapes, windows ending inside chunks and
// across them, hashes that collide, and any number of tasks. Whatever the
// layout, two fields of one window must share a number exactly when they
// share a text, what the window remembers must start afresh with it, and
// the numbers stay below a table's worth per distinct text of the window.
#include "classify/window_texts.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "chunk_parser.hpp"
#include "gtest/gtest.h"
#include "pass/settled_chunk.h"

namespace {

using quorvel::CacheEntry;
using quorvel::FieldFacts;
using quorvel::WindowTexts;
using Row = std::vector<std::string>;
using Hash = std::function<std::size_t(std::string_view)>;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// A chunk as the pipeline hands it over: its rows tokenized, each field with
// its hash and the last earlier field of the chunk with its text.
struct Chunk {
  Chunk(const std::vector<Row>& rows, const Hash& hash) : tokens(Dialect{}, 8) {
    for (const Row& row : rows) {
      for (std::size_t c = 0; c < row.size(); ++c) csv += (c > 0 ? "," : "") + row[c];
      csv += "\n";
    }
    tokens.feed(csv.data(), csv.size());
    std::map<std::string_view, std::uint32_t> last;
    for (std::uint32_t f = 0; f < tokens.fields(); ++f) {
      const std::string_view text = tokens.text(f);
      const auto seen = last.find(text);
      facts.push_back(
          FieldFacts{hash(text), 0, seen == last.end() ? FieldFacts::kFirst : seen->second});
      last[text] = f;
    }
  }
  std::string csv;
  ChunkTokenizer tokens;
  std::vector<FieldFacts> facts;
};

struct Layout {
  const char* name;
  std::uint64_t window;
  std::uint64_t rowsToWindowEnd;          // at the first row
  std::vector<std::size_t> rowsPerChunk;  // taken in turn
  std::size_t chunksPerRound;
  unsigned tasks;
};

const Layout kLayouts[] = {
    {"many chunks per window", 40, 40, {1, 2, 3}, 3, 2},
    {"many windows per chunk", 3, 2, {50}, 2, 2},
    {"windows of one row", 1, 1, {4, 1, 7}, 2, 3},
    {"a window ends at each chunk's end", 5, 5, {5}, 3, 2},
    {"windows end across rounds", 17, 9, {4, 6}, 2, 4},
    {"a window never ends", kNever, kNever, {3, 11}, 2, 2},
    {"one task", 7, 3, {2, 9}, 3, 1},
    {"a task per table", 7, 3, {2, 9}, 3, 64},
};

const std::pair<const char*, Hash> kHashes[] = {
    {"the cache's hash", [](std::string_view text) { return quorvel::TextCache::hashOf(text); }},
    {"every text one hash", [](std::string_view) { return std::size_t{12345}; }},
    {"two tables, one bucket",
     [](std::string_view text) {
       return text.size() % 2 == 0 ? std::size_t{7} : ~std::size_t{0} - 7;
     }},
};

std::vector<Row> RandomRows(std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::vector<std::string> vocabulary = {
      "a", "b", "1", "22", "x y", "", "a text past sixteen bytes"};
  std::vector<Row> rows(150 + rng() % 100);
  for (Row& row : rows) {
    row.resize(1 + rng() % 4);
    for (std::string& text : row) {
      text =
          rng() % 3 == 0 ? "t" + std::to_string(rng() % 40) : vocabulary[rng() % vocabulary.size()];
    }
  }
  return rows;
}

// Links `rows` as `layout` cuts them, and applies a rule that remembers for
// each text the first field of its window that had it: the map of each
// window's texts must tell the same.
void ExpectNumbersFollowTheWindows(const std::vector<Row>& rows, const Layout& layout,
                                   const Hash& hash) {
  std::vector<std::unique_ptr<Chunk>> chunks;
  for (std::size_t row = 0, turn = 0; row < rows.size(); ++turn) {
    const std::size_t take =
        std::min(layout.rowsPerChunk[turn % layout.rowsPerChunk.size()], rows.size() - row);
    chunks.push_back(std::make_unique<Chunk>(
        std::vector<Row>(rows.begin() + row, rows.begin() + row + take), hash));
    row += take;
  }
  WindowTexts texts;
  texts.startPass(layout.rowsToWindowEnd, layout.window, layout.tasks);
  std::uint64_t toWindowEnd = layout.rowsToWindowEnd;
  std::map<std::string, std::int32_t> firstInWindow;  // the oracle
  std::uint32_t largest = 0;                          // of the window's numbers
  std::int32_t field = 0;
  const auto expectBounded = [&] {
    EXPECT_LT(largest, WindowTexts::kShards * firstInWindow.size()) << "field " << field;
    largest = 0;
  };
  for (std::size_t first = 0; first < chunks.size(); first += layout.chunksPerRound) {
    const std::size_t end = std::min(chunks.size(), first + layout.chunksPerRound);
    std::vector<quorvel::ConfirmedChunk> round;
    for (std::size_t i = first; i < end; ++i)
      round.push_back({chunks[i]->tokens, chunks[i]->facts});
    const std::size_t tasks = texts.start(round);
    // The tasks in reverse order: they own apart what they touch.
    for (std::size_t task = tasks; task-- > 0;) texts.run(task);
    for (std::size_t i = first; i < end; ++i) {
      const Chunk& chunk = *chunks[i];
      texts.coverLinked();
      std::uint32_t f = 0;
      for (const std::uint32_t width : chunk.tokens.widths()) {
        for (std::uint32_t c = 0; c < width; ++c, ++f, ++field) {
          const std::string text(chunk.tokens.text(f));
          largest = std::max(largest, chunk.facts[f].windowText);
          ASSERT_LT(chunk.facts[f].windowText, texts.numbered()) << "field " << field;
          std::int32_t& remembered = texts.remembered(chunk.facts[f].windowText);
          const auto known = firstInWindow.emplace(text, field).first->second;
          EXPECT_EQ(remembered == CacheEntry::kUnclassified ? field : remembered, known)
              << "field " << field << " '" << text << "'";
          remembered = known;
        }
        if (--toWindowEnd == 0) {
          toWindowEnd = layout.window;
          texts.endWindow();
          expectBounded();
          firstInWindow.clear();
        }
      }
    }
    ASSERT_TRUE(texts.caughtUp());
  }
  if (!firstInWindow.empty()) expectBounded();
  // What the last window remembers, as a cache would take it over.
  std::map<std::string, std::int32_t> left;
  texts.forEachRemembered(
      [&](std::string_view text, std::int32_t type) { left[std::string(text)] = type; });
  EXPECT_EQ(left, firstInWindow);
}

TEST(WindowTextsTest, FieldsShareANumberWhereTheyShareATextInAWindow) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const std::vector<Row> rows = RandomRows(seed);
    for (const Layout& layout : kLayouts) {
      for (const auto& [hashName, hash] : kHashes) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + layout.name + ", " + hashName);
        ExpectNumbersFollowTheWindows(rows, layout, hash);
        if (HasFailure()) return;
      }
    }
  }
}

// A window inside a chunk numbers its texts from 0 without the tables: after
// a first window of one text, whose table numbers stay low, a window of 200
// distinct texts inside the chunk must still be covered by numbered().
TEST(WindowTextsTest, AWindowInsideAChunkIsCoveredPastTheTablesNumbers) {
  std::vector<Row> rows;
  for (int r = 0; r < 202; ++r) rows.push_back({"u" + std::to_string(r)});
  const Layout inside = {"a long window inside a chunk", 200, 1, {202}, 1, 2};
  ExpectNumbersFollowTheWindows(rows, inside, kHashes[0].second);
}

// Texts met in an earlier chunk of the window are counted; a window that
// begins and ends inside one chunk has none.
TEST(WindowTextsTest, CountsTheTextsFoundAcrossChunks) {
  const Hash hash = [](std::string_view text) { return quorvel::TextCache::hashOf(text); };
  const std::vector<Row> rows = {{"a", "b"}, {"a", "c"}, {"b", "d"}, {"a", "b"}};
  const struct {
    std::vector<std::size_t> rowsPerChunk;
    std::uint64_t window;
    std::uint64_t across;
  } cases[] = {
      {{1}, kNever, 4},  // a in row 2, b in row 3, a and b in row 4
      {{1}, 2, 2},       // windows of rows 1-2 and 3-4: a in row 2, b in row 4
      {{4}, kNever, 0},
      {{2}, 2, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<Chunk>> chunks;
    std::vector<quorvel::ConfirmedChunk> round;
    for (std::size_t row = 0; row < rows.size(); row += c.rowsPerChunk[0]) {
      chunks.push_back(std::make_unique<Chunk>(
          std::vector<Row>(rows.begin() + row, rows.begin() + row + c.rowsPerChunk[0]), hash));
      round.push_back({chunks.back()->tokens, chunks.back()->facts});
    }
    WindowTexts texts;
    texts.startPass(c.window, c.window, 2);
    for (std::size_t task = texts.start(round); task-- > 0;) texts.run(task);
    EXPECT_EQ(texts.textsAcrossChunks(), c.across)
        << c.rowsPerChunk[0] << " rows a chunk, window " << c.window;
  }
}

}  // namespace

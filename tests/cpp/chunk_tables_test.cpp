// The two tables the tokenizing threads keep: where each text of a chunk was
// last seen, and the match sets of short texts across chunks. Both take the
// hash from their caller, so the tests can make every text collide.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cell/text_cache.h"
#include "pass/chunk_repeats.h"
#include "pass/match_memo.h"

namespace quorvel {
namespace {

using Hasher = std::function<std::size_t(std::string_view)>;

struct HashCase {
  const char* name;
  Hasher hash;
};

// Real hashes; one bucket for all (the tag and the text must tell them
// apart); the length alone (equal tags, texts of equal length differ).
const HashCase kHashes[] = {
    {"real", [](std::string_view text) { return TextCache::hashOf(text); }},
    {"one bucket", [](std::string_view) { return std::size_t{7}; }},
    {"length", [](std::string_view text) { return text.size() * 0x100000001ULL; }},
};

std::vector<std::string> randomChunk(std::mt19937& rng, std::size_t fields) {
  std::vector<std::string> texts;
  for (std::size_t f = 0; f < fields; ++f) {
    std::string text;
    for (std::size_t i = 0, length = rng() % 4; i < length; ++i) text += "ab"[rng() % 2];
    texts.push_back(text);
  }
  return texts;
}

TEST(ChunkRepeats, GivesTheLastEarlierFieldWithTheSameText) {
  ChunkRepeats repeats;
  for (const HashCase& hashCase : kHashes) {
    std::mt19937 rng(3);
    for (const std::size_t fields : {0, 1, 2, 47, 48, 49, 500}) {
      SCOPED_TRACE(std::string(hashCase.name) + ", " + std::to_string(fields) + " fields");
      const std::vector<std::string> texts = randomChunk(rng, fields);
      const auto textOf = [&](std::uint32_t f) { return std::string_view(texts[f]); };
      std::unordered_map<std::string, std::uint32_t> lastSeen;  // the oracle
      repeats.startChunk(fields);
      for (std::uint32_t f = 0; f < fields; ++f) {
        const auto it = lastSeen.find(texts[f]);
        const std::uint32_t expected = it == lastSeen.end() ? ChunkRepeats::kFirst : it->second;
        ASSERT_EQ(repeats.lastSeen(f, hashCase.hash(texts[f]), texts[f], textOf), expected)
            << "field " << f << " '" << texts[f] << "'";
        lastSeen[texts[f]] = f;
      }
    }
  }
}

TEST(MatchMemo, AnswersOnlyTheTextItKept) {
  for (const HashCase& hashCase : kHashes) {
    SCOPED_TRACE(hashCase.name);
    MatchMemo memo;
    const auto find = [&](std::string_view text) -> std::int64_t {
      const std::uint64_t* known = memo.find(text, hashCase.hash(text));
      return known == nullptr ? -1 : static_cast<std::int64_t>(*known);
    };
    EXPECT_EQ(find(""), -1);  // a new memo knows no text, the empty one included
    memo.keep("ab", hashCase.hash("ab"), 5);
    EXPECT_EQ(find("ab"), 5);
    EXPECT_EQ(find("ba"), -1);  // the same entry and length under two of the hashes
    EXPECT_EQ(find("a"), -1);
    memo.keep("", hashCase.hash(""), 0);
    EXPECT_EQ(find(""), 0);
    const std::string sixteen(MatchMemo::kLongestText, 'x');
    const std::string seventeen(MatchMemo::kLongestText + 1, 'x');
    memo.keep(sixteen, hashCase.hash(sixteen), 9);
    memo.keep(seventeen, hashCase.hash(seventeen), 9);
    EXPECT_EQ(find(sixteen), 9);
    EXPECT_EQ(find(seventeen), -1);  // long texts are never kept
  }
}

// A text whose entry another text took is matched again, never answered
// with the other's match set.
TEST(MatchMemo, EvictsOnCollision) {
  MatchMemo memo;
  memo.keep("12", 42, 1);
  memo.keep("ab", 42, 2);
  EXPECT_EQ(memo.find("12", 42), nullptr);
  ASSERT_NE(memo.find("ab", 42), nullptr);
  EXPECT_EQ(*memo.find("ab", 42), 2u);
}

}  // namespace
}  // namespace quorvel

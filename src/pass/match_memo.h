// The match sets of short texts a thread has matched lately, so that the texts
// that recur from chunk to chunk (dates, codes, flags, small numbers) are not
// matched again for each chunk. Direct-mapped: a text takes the one entry its
// hash picks, evicting what was there, so a lookup costs one probe of a table
// that stays in a core's cache, and a stream of distinct texts costs nothing
// but that probe. Long texts are mostly distinct and are never kept.
//
//   MatchMemo memo;
//   if (const std::uint64_t* known = memo.find(text, hash)) return *known;
//   memo.keep(text, hash, matches);
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quorvel {

class MatchMemo {
 public:
  static constexpr std::size_t kLongestText = 16;

  MatchMemo() : entries_(kEntries) {}

  // The match set kept for `text`, whose hash is `hash`, or nullptr.
  const std::uint64_t* find(std::string_view text, std::size_t hash) const {
    const Entry& entry = entries_[hash & (kEntries - 1)];
    if (entry.length != text.size() || text.size() > kLongestText) return nullptr;
    if (std::memcmp(entry.text, text.data(), text.size()) != 0) return nullptr;
    return &entry.matches;
  }

  void keep(std::string_view text, std::size_t hash, std::uint64_t matches) {
    if (text.size() > kLongestText) return;
    Entry& entry = entries_[hash & (kEntries - 1)];
    entry.matches = matches;
    entry.length = static_cast<std::uint32_t>(text.size());
    std::memcpy(entry.text, text.data(), text.size());
  }

 private:
  // 256 KiB: a core's second-level cache holds it beside the chunk at hand.
  static constexpr std::size_t kEntries = std::size_t{1} << 13;
  // No text has this length, so a new entry matches nothing.
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  struct Entry {
    std::uint64_t matches = 0;
    std::uint32_t length = kEmpty;
    char text[kLongestText] = {};
  };

  std::vector<Entry> entries_;
};

}  // namespace quorvel

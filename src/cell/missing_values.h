// The missing-value texts of an Inf: the one set, asked from any thread. It
// stays out of the type cache, so emptying the cache costs the same whatever
// its size; most cells are ruled out by their length alone, without a probe.
//
//   MissingValues missing({"NA", ""});
//   bool na = missing.contains("NA");
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cell/text_cache.h"

namespace quorvel {

class MissingValues {
 public:
  explicit MissingValues(std::unordered_set<std::string> texts) : texts_(std::move(texts)) {
    index();
  }
  MissingValues(const MissingValues&) = delete;  // the index points into texts_
  MissingValues& operator=(const MissingValues&) = delete;

  const std::unordered_set<std::string>& texts() const { return texts_; }

  void set(std::unordered_set<std::string> texts) {
    texts_ = std::move(texts);
    index();
  }

  // Safe from several threads at once. `hash` is TextCache::hashOf(text).
  bool contains(std::string_view text) const {
    return (lengths_ & lengthBit(text.size())) != 0 && contains(text, TextCache::hashOf(text));
  }
  bool contains(std::string_view text, std::size_t hash) const {
    if ((lengths_ & lengthBit(text.size())) == 0) return false;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask; slots_[slot] != nullptr; slot = (slot + 1) & mask) {
      if (*slots_[slot] == text) return true;
    }
    return false;
  }

 private:
  static std::uint64_t lengthBit(std::size_t length) {
    return std::uint64_t{1} << std::min<std::size_t>(length, 63);
  }

  void index() {
    std::size_t size = 8;
    while (size < 2 * texts_.size()) size *= 2;
    lengths_ = 0;
    slots_.assign(size, nullptr);
    for (const std::string& text : texts_) {
      lengths_ |= lengthBit(text.size());
      std::size_t slot = TextCache::hashOf(text) & (size - 1);
      while (slots_[slot] != nullptr) slot = (slot + 1) & (size - 1);
      slots_[slot] = &text;
    }
  }

  std::unordered_set<std::string> texts_;
  std::uint64_t lengths_ = 0;              // lengthBit() of every text
  std::vector<const std::string*> slots_;  // open addressing; null: free
};

}  // namespace quorvel

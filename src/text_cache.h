// The memo of cell classifications, keyed by cell text and shared by all
// columns. An open-addressing table whose keys live in one arena, so that a
// lookup hashes once without allocating and emptying the table is a reset.
//
//   TextCache cache;
//   TextCache::Entry& entry = cache.entry(cache.findOrInsert("2024-01-31"));
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace quorvel {

class TextCache {
 public:
  static constexpr std::int32_t kUnclassified = -1;

  struct Entry {
    // The type id found for the text, or kUnclassified.
    std::int32_t type = kUnclassified;
    // The row-local job classifying the text in a multithreaded pass, or -1.
    std::int32_t job = -1;
    // The text is a missing value: that outranks the type.
    bool missing = false;
  };

  TextCache() { buckets_.assign(kMinBuckets, 0); }

  // Index of the entry for `text`, inserting an unclassified entry when the
  // text is new. Indexes stay valid until clear(); references to entries do
  // not survive a later insertion.
  std::size_t findOrInsert(std::string_view text) {
    const std::size_t hash = std::hash<std::string_view>{}(text);
    const std::size_t bucket = probe(hash, text);
    if (buckets_[bucket] != 0) return buckets_[bucket] - 1;
    return insertAt(bucket, hash, text);
  }

  Entry& entry(std::size_t index) { return entries_[index]; }

  std::size_t size() const { return entries_.size(); }

  // Drops every entry. The arena keeps its capacity for the next window, but
  // the bucket array shrinks when the last window used a small part of it,
  // so that a burst of texts does not make every later reset expensive.
  void clear() {
    const std::size_t wanted = bucketCountFor(entries_.size());
    keys_.clear();
    entries_.clear();
    arena_.clear();
    if (buckets_.size() > 4 * wanted) {
      buckets_.assign(wanted, 0);
      buckets_.shrink_to_fit();
    } else {
      std::fill(buckets_.begin(), buckets_.end(), 0);
    }
  }

 private:
  static constexpr std::size_t kMinBuckets = 64;

  struct Key {
    std::size_t hash;
    std::size_t offset;
    std::size_t length;
  };

  std::string_view keyText(const Key& key) const {
    return std::string_view(arena_.data() + key.offset, key.length);
  }

  // The bucket that holds `text`, or the free bucket where it would go.
  std::size_t probe(std::size_t hash, std::string_view text) const {
    const std::size_t mask = buckets_.size() - 1;
    std::size_t bucket = hash & mask;
    while (buckets_[bucket] != 0) {
      const Key& key = keys_[buckets_[bucket] - 1];
      if (key.hash == hash && keyText(key) == text) break;
      bucket = (bucket + 1) & mask;
    }
    return bucket;
  }

  static std::size_t bucketCountFor(std::size_t entries) {
    std::size_t buckets = kMinBuckets;
    while (buckets < 2 * entries) buckets *= 2;
    return buckets;
  }

  std::size_t insertAt(std::size_t bucket, std::size_t hash, std::string_view text) {
    keys_.push_back(Key{hash, arena_.size(), text.size()});
    entries_.emplace_back();
    arena_.insert(arena_.end(), text.begin(), text.end());
    buckets_[bucket] = static_cast<std::uint32_t>(keys_.size());
    // Keep the load at most one half so that probe runs stay short.
    if (2 * keys_.size() > buckets_.size()) rehash(2 * buckets_.size());
    return keys_.size() - 1;
  }

  void rehash(std::size_t bucketCount) {
    buckets_.assign(bucketCount, 0);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      std::size_t bucket = keys_[i].hash & (bucketCount - 1);
      while (buckets_[bucket] != 0) bucket = (bucket + 1) & (bucketCount - 1);
      buckets_[bucket] = static_cast<std::uint32_t>(i + 1);
    }
  }

  std::vector<std::uint32_t> buckets_;  // 0 = free, else key index + 1
  std::vector<Key> keys_;
  std::vector<Entry> entries_;  // parallel to keys_
  std::vector<char> arena_;
};

}  // namespace quorvel

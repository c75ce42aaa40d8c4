// The table keyed by cell text that memoizes cell classifications for all
// columns (TextCache).
// An open-addressing table whose long keys live in one arena, so that a
// lookup hashes once without allocating and emptying the table is a reset.
//
//   TextCache cache;
//   CacheEntry& entry = cache.entry(cache.findOrInsert("2024-01-31"));
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "cell/huge_page_allocator.h"

namespace quorvel {

// What the type cache knows of a text.
struct CacheEntry {
  static constexpr std::int32_t kUnclassified = -1;
  // The type id found for the text, or kUnclassified.
  std::int32_t type = kUnclassified;
};

// Entry is what a new text starts with: its default value.
template <class Entry>
class TextTable {
 public:
  TextTable() { buckets_.assign(kMinBuckets, Bucket{}); }

  static std::size_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

  // With a large window the table outgrows the CPU caches and a lookup costs
  // a cache miss on its bucket and another on its slot. Looking up a row's
  // texts in stages, prefetching the buckets of all of them, then their
  // slots, then finding them, lets those misses overlap.
  void prefetchBucket(std::size_t hash) const {
    __builtin_prefetch(&buckets_[hash & (buckets_.size() - 1)]);
  }
  void prefetchSlot(std::size_t hash) const {
    const std::uint32_t slot = buckets_[hash & (buckets_.size() - 1)].slot;
    if (slot != 0) __builtin_prefetch(&slots_[slot - 1]);
  }

  // Index of the entry for `text` whose hash is `hash`, inserting an
  // unclassified entry when the text is new. Indexes number the texts from 0
  // in the order they came, and stay valid until clear(); references to
  // entries do not survive a later insertion.
  std::size_t findOrInsert(std::string_view text, std::size_t hash) {
    const std::size_t bucket = probe(hash, text);
    if (buckets_[bucket].slot != 0) return buckets_[bucket].slot - 1;
    return insertAt(bucket, hash, text);
  }
  std::size_t findOrInsert(std::string_view text) { return findOrInsert(text, hashOf(text)); }
  // Index of the entry for `text`, or kAbsent.
  static constexpr std::size_t kAbsent = ~std::size_t{0};
  std::size_t find(std::string_view text, std::size_t hash) const {
    const std::uint32_t slot = buckets_[probe(hash, text)].slot;
    return slot != 0 ? slot - 1 : kAbsent;
  }

  Entry& entry(std::size_t index) { return slots_[index].entry; }
  std::string_view text(std::size_t index) const { return textOf(slots_[index]); }

  std::size_t size() const { return slots_.size(); }

  // Drops every entry. The storage keeps its size for the next window, so
  // that a steady stream of windows neither gives memory back to the kernel
  // nor has it zeroed again. The bound: each of the three tables keeps at
  // most four times what the last window used of it (or 1 MiB, the buckets
  // their minimum), so a burst of texts, or one huge cell, holds no memory
  // past the window after it and makes no later reset expensive.
  void clear() {
    // A window that used no entry (its chunk answered it without the table)
    // says nothing of what the next one needs.
    if (slots_.empty()) return;
    const std::size_t wanted = bucketCountFor(slots_.size());
    if (arena_.capacity() > kKeptBytes && arena_.capacity() > 4 * arena_.size()) {
      decltype(arena_)().swap(arena_);
    }
    if (slots_.capacity() * sizeof(Slot) > kKeptBytes && slots_.capacity() > 4 * slots_.size()) {
      decltype(slots_)().swap(slots_);
    }
    slots_.clear();
    arena_.clear();
    if (buckets_.size() > 4 * wanted) {
      buckets_.assign(wanted, Bucket{});
      buckets_.shrink_to_fit();
    } else {
      std::fill(buckets_.begin(), buckets_.end(), Bucket{});
    }
  }

  // Drops every entry and gives all the memory back.
  void release() {
    decltype(buckets_)().swap(buckets_);
    decltype(slots_)().swap(slots_);
    decltype(arena_)().swap(arena_);
    buckets_.assign(kMinBuckets, Bucket{});
  }

 private:
  static constexpr std::size_t kMinBuckets = 64;
  static constexpr std::size_t kInlineText = 16;
  static constexpr std::size_t kKeptBytes = 1 << 20;  // bytes kept whatever the last window used

  // A bucket keeps a few bits of the hash beside the slot, so that a probe
  // past other texts rarely has to read their slots.
  struct Bucket {
    std::uint32_t tag = 0;
    std::uint32_t slot = 0;  // 0 = free, else index in slots_ + 1
  };

  // Most cell texts are short; those are kept in the slot itself, which
  // spares the lookup a third cache miss in the arena. Two slots fit in a
  // cache line.
  struct Slot {
    Entry entry;
    std::uint32_t length;
    union {
      std::size_t offset;  // of a long text in arena_
      char shortText[kInlineText];
    };
  };
  static_assert(sizeof(Slot) <= 32, "a slot is at most half a cache line");

  static std::uint32_t tagOf(std::size_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  std::string_view textOf(const Slot& slot) const {
    const char* data = slot.length <= kInlineText ? slot.shortText : arena_.data() + slot.offset;
    return std::string_view(data, slot.length);
  }

  // The bucket that holds `text`, or the free bucket where it would go.
  std::size_t probe(std::size_t hash, std::string_view text) const {
    const std::size_t mask = buckets_.size() - 1;
    const std::uint32_t tag = tagOf(hash);
    std::size_t bucket = hash & mask;
    for (; buckets_[bucket].slot != 0; bucket = (bucket + 1) & mask) {
      if (buckets_[bucket].tag == tag && textOf(slots_[buckets_[bucket].slot - 1]) == text) break;
    }
    return bucket;
  }

  static std::size_t bucketCountFor(std::size_t entries) {
    std::size_t buckets = kMinBuckets;
    while (3 * buckets < 4 * entries) buckets *= 2;
    return buckets;
  }

  std::size_t insertAt(std::size_t bucket, std::size_t hash, std::string_view text) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("a cell text of 4 GiB or more cannot be cached");
    }
    Slot slot{};
    slot.length = static_cast<std::uint32_t>(text.size());
    if (text.size() <= kInlineText) {
      if (!text.empty()) std::memcpy(slot.shortText, text.data(), text.size());
    } else {
      slot.offset = arena_.size();
      arena_.insert(arena_.end(), text.begin(), text.end());
    }
    slots_.push_back(slot);
    buckets_[bucket] = Bucket{tagOf(hash), static_cast<std::uint32_t>(slots_.size())};
    // Keep the load at most three quarters: the tags keep probe runs cheap,
    // and a smaller bucket array misses the CPU caches less often.
    if (4 * slots_.size() > 3 * buckets_.size()) rehash(2 * buckets_.size());
    return slots_.size() - 1;
  }

  void rehash(std::size_t bucketCount) {
    buckets_.assign(bucketCount, Bucket{});
    // Growing is rare enough to hash the texts again rather than keep hashes.
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const std::size_t hash = hashOf(textOf(slots_[i]));
      std::size_t bucket = hash & (bucketCount - 1);
      while (buckets_[bucket].slot != 0) bucket = (bucket + 1) & (bucketCount - 1);
      buckets_[bucket] = Bucket{tagOf(hash), static_cast<std::uint32_t>(i + 1)};
    }
  }

  std::vector<Bucket, HugePageAllocator<Bucket>> buckets_;
  std::vector<Slot, HugePageAllocator<Slot>> slots_;
  std::vector<char, HugePageAllocator<char>> arena_;
};

using TextCache = TextTable<CacheEntry>;

}  // namespace quorvel

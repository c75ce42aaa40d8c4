// Where each text of one chunk was last seen, as the tokenizing thread walks
// the chunk's fields in order. The texts stay in the chunk: a bucket holds a
// few bits of the hash and a field number, so the table is a quarter of the
// size of one that keeps its texts, and fits a core's cache for a chunk of
// the usual size.
//
//   ChunkRepeats repeats;
//   repeats.startChunk(chunk.fields());
//   std::uint32_t previous = repeats.lastSeen(f, hash, text, textOf);  // then f is the last
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel {

class ChunkRepeats {
 public:
  static constexpr std::uint32_t kFirst = ~std::uint32_t{0};

  // Empties the table and sizes it for a chunk of `fields` fields.
  void startChunk(std::size_t fields) {
    std::size_t count = kMinBuckets;
    while (3 * count < 4 * fields) count *= 2;
    // Keep the storage of a larger chunk, unless it is much larger.
    if (buckets_.size() < count || buckets_.size() > 4 * count) {
      buckets_.assign(count, Bucket{});
      buckets_.shrink_to_fit();
    } else {
      std::fill(buckets_.begin(), buckets_.end(), Bucket{});
    }
  }

  void prefetch(std::size_t hash) const {
    __builtin_prefetch(&buckets_[hash & (buckets_.size() - 1)]);
  }

  // The last field before `field` whose text is `text`, or kFirst; from now
  // on `field` is the last. textOf(f) gives the text of an earlier field f.
  // Contract: fields come in increasing order, at most the number given to
  // startChunk(), and `hash` is the text's hash.
  template <class TextOf>
  std::uint32_t lastSeen(std::uint32_t field, std::size_t hash, std::string_view text,
                         const TextOf& textOf) {
    const std::size_t mask = buckets_.size() - 1;
    const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t b = hash & mask;; b = (b + 1) & mask) {
      Bucket& bucket = buckets_[b];
      if (bucket.field == kFree) {
        bucket = Bucket{tag, field};
        return kFirst;
      }
      if (bucket.tag == tag && textOf(bucket.field) == text) {
        const std::uint32_t previous = bucket.field;
        bucket.field = field;
        return previous;
      }
    }
  }

 private:
  static constexpr std::size_t kMinBuckets = 64;
  static constexpr std::uint32_t kFree = ~std::uint32_t{0};

  struct Bucket {
    std::uint32_t tag = 0;
    std::uint32_t field = kFree;
  };

  std::vector<Bucket> buckets_;
};

}  // namespace quorvel

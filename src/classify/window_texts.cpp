// Numbering the texts of a round's windows, a range of tables per task.
#include "classify/window_texts.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quorvel {

void WindowTexts::startPass(std::uint64_t rowsToWindowEnd, std::uint64_t window, unsigned tasks) {
  toWindowEnd_ = rowsToWindowEnd;
  window_ = window;
  tasks_ = std::min<unsigned>(std::max(tasks, 1u), kShards);
}

// The tasks start from where the round starts; the rounds after it, from
// where it ends.
std::size_t WindowTexts::start(std::vector<ConfirmedChunk> chunks) {
  round_ = std::move(chunks);
  roundToWindowEnd_ = toWindowEnd_;
  std::uint64_t rows = 0;
  for (const ConfirmedChunk& chunk : round_) rows += chunk.rows.widths().size();
  if (rows >= toWindowEnd_) {
    rows -= toWindowEnd_;
    windowsLinked_ += 1 + rows / window_;
    toWindowEnd_ = window_ - rows % window_;
  } else {
    toWindowEnd_ -= rows;
  }
  return tasks_;
}

void WindowTexts::run(std::size_t task) {
  const std::size_t first = task * kShards / tasks_;
  const std::size_t end = (task + 1) * kShards / tasks_;
  std::uint64_t toWindowEnd = roundToWindowEnd_;
  std::uint64_t across = 0;
  for (const ConfirmedChunk& chunk : round_) linkChunk(chunk, first, end, toWindowEnd, across);
  textsAcrossChunks_.fetch_add(across, std::memory_order_relaxed);
}

// A field whose text an earlier field of the chunk had in the same window
// takes that field's number, and needs no table: the chunk's repeats came
// with its tokens. Tables serve only the windows that a chunk shares with
// another.
void WindowTexts::linkChunk(const ConfirmedChunk& chunk, std::size_t first, std::size_t end,
                            std::uint64_t& toWindowEnd, std::uint64_t& across) {
  const std::vector<std::uint32_t>& widths = chunk.rows.widths();
  Numbering numbering = numberingOf(widths.size(), toWindowEnd, true);
  std::uint32_t windowStart = 0;  // the chunk's first field in the window
  std::uint32_t f = 0;
  for (std::size_t row = 0; row < widths.size(); ++row) {
    for (const std::uint32_t rowEnd = f + widths[row]; f < rowEnd; ++f) {
      FieldFacts& field = chunk.facts[f];
      const std::size_t shard = shardOf(field.hash);
      if (shard < first || shard >= end) continue;
      if (field.previous != FieldFacts::kFirst && field.previous >= windowStart) {
        field.windowText = chunk.facts[field.previous].windowText;
        continue;
      }
      const std::size_t known = tables_[shard].size();
      field.windowText = numberIn(shard, chunk.rows.text(f), field.hash, numbering);
      across += field.previous == FieldFacts::kFirst && field.windowText / kShards < known;
    }
    if (--toWindowEnd == 0) {
      toWindowEnd = window_;
      emptyTables(first, end);
      windowStart = f;
      numbering = numberingOf(widths.size() - row - 1, toWindowEnd, false);
    }
  }
}

WindowTexts::Numbering WindowTexts::numberingOf(std::uint64_t rowsLeft, std::uint64_t toWindowEnd,
                                                bool startedBefore) {
  if (rowsLeft < toWindowEnd) return Numbering::kShared;
  return startedBefore ? Numbering::kLookedUp : Numbering::kOwn;
}

// A text new to the window and never seen by another chunk takes the next
// number past the table's.
std::uint32_t WindowTexts::numberIn(std::size_t shard, std::string_view text, std::size_t hash,
                                    Numbering numbering) {
  Table& table = tables_[shard];
  std::size_t slot = TextCache::kAbsent;
  switch (numbering) {
    case Numbering::kShared:
      slot = table.findOrInsert(text, hash);
      break;
    case Numbering::kLookedUp:
      slot = table.find(text, hash);
      break;
    case Numbering::kOwn:
      break;
  }
  if (slot == TextCache::kAbsent) slot = table.size() + unlisted_[shard]++;
  if (slot >= kSlots) throw std::length_error("a window holds too many distinct texts to number");
  return static_cast<std::uint32_t>(slot * kShards + shard);
}

std::uint32_t WindowTexts::number(std::string_view text, std::size_t hash) {
  return numberIn(shardOf(hash), text, hash, Numbering::kShared);
}

void WindowTexts::emptyTables(std::size_t first, std::size_t end) {
  for (std::size_t shard = first; shard < end; ++shard) {
    tables_[shard].clear();
    unlisted_[shard] = 0;
  }
}

void WindowTexts::clear() {
  emptyTables(0, kShards);
  remembered_.clear();
  windowsRuled_ = windowsLinked_;
}

void WindowTexts::release() {
  for (Table& table : tables_) table.release();
  decltype(remembered_)().swap(remembered_);
  windowsRuled_ = windowsLinked_;
}

}  // namespace quorvel

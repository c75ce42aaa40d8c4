// The classification rule and the loops that apply it, in one translation
// unit so that the rule inlines into them.
#include "classify/classifier.h"

#include <malloc.h>

#include <algorithm>
#include <limits>

#include "match/type_matcher.h"
#include "pass/pass_clock.h"
#include "pass/settled_chunk.h"
#include "pass/types_file.h"

namespace quorvel {

namespace {

constexpr TypeId kOther = PatternTable::kOther;

// Cache slots are prefetched this many cells ahead of their lookups: by then
// their buckets have arrived, and the cells classified meanwhile hide the wait.
constexpr std::size_t kSlotLead = 4;

}  // namespace

Classifier::Classifier(const PatternTable& table, std::unordered_set<std::string> missing)
    : table_(table), missing_(std::move(missing)), columnTables_(table) {}

void Classifier::emptyCache() { cache_.clear(); }

void Classifier::releaseCache() {
  cache_.release();
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

// The rule with the cache, counted; firstMatch gives the position of the
// first type of the trial order that matches.
template <class FirstMatch>
TypeId Classifier::classifyCell(std::string_view text, std::size_t hash, bool missing,
                                ColumnTables& column, const FirstMatch& firstMatch) {
  const auto names = [this]() -> const std::vector<std::string>& { return table_.names(); };
  return countCell(column,
                   typeOfCell(missing, cache_, text, hash, column.regexOrdering, firstMatch, names),
                   text);
}

// The automaton's answer is the text's match set where every type is on it.
int Classifier::firstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  if (matchSetAutomaton_ != nullptr) {
    return table_.firstMatch(order, *matchSetAutomaton_->matches(text), text);
  }
  return table_.matcher().firstMatch(order, text);
}

void Classifier::classifyField(const std::vector<std::string>& fields, int c,
                               std::vector<std::string>& types) {
  ColumnTables& column = columnTables_.of(columns_.at(c));
  const std::vector<std::string>& names = table_.names();
  types.at(c) = names[kOther];
  const std::string& text = fields.at(c);
  const std::size_t hash = TextCache::hashOf(text);
  types[c] = names[classifyCell(
      text, hash, missing_.contains(text, hash), column,
      [&](const std::vector<TypeId>& order) { return table_.matcher().firstMatch(order, text); })];
}

// ---- Rows ------------------------------------------------------------------

void Classifier::startRows(int window) {
  rows_ = 0;
  ragged_ = RaggedRows();
  window_ =
      window >= 1 ? static_cast<std::uint64_t>(window) : std::numeric_limits<std::uint64_t>::max();
  rowsToWindowEnd_ = window_;
}

void Classifier::startColumns(std::vector<std::string> names, TypesFile& typesFile) {
  const std::size_t width = names.size();
  columns_ = std::move(names);
  rowColumns_.assign(width, nullptr);
  rowTypes_.assign(width, kOther);
  rowHashes_.assign(width, 0);
  matchSetAutomaton_ = table_.matchSetAutomaton();
  someTypeUncached_ = false;
  for (const std::string& name : table_.names()) someTypeUncached_ |= name.empty();
  for (std::size_t c = 0; c < width; ++c) rowColumns_[c] = &columnTables_.start(columns_[c]);
  typesFile.writeNames(columns_);
}

void Classifier::finishRow(PassClock& clock) {
  ++rows_;
  if (--rowsToWindowEnd_ == 0) {
    rowsToWindowEnd_ = window_;
    emptyCache();
  }
  clock.rowDone();
}

void Classifier::finishRows(std::uint64_t rows) {
  const std::uint64_t before = rows_;
  rows_ += rows;
  rowsToWindowEnd_ = window_ - rows_ % window_;
  if (rows_ / window_ != before / window_) emptyCache();
}

void Classifier::classifyRow(const std::vector<std::string>& row, TypesFile& typesFile,
                             PassClock& clock) {
  const std::size_t width = std::min(row.size(), columns_.size());
  ragged_.note(row.size(), columns_.size());
  hashRow(row, width);
  for (std::size_t c = 0; c < width; ++c) {
    prefetchSlotAhead(c, width);
    const std::string& text = row[c];
    rowTypes_[c] =
        classifyCell(text, rowHashes_[c], missing_.contains(text, rowHashes_[c]), *rowColumns_[c],
                     [&](const std::vector<TypeId>& order) { return firstMatch(order, text); });
  }
  writeRowTypes(width, typesFile);
  finishRow(clock);
}

// Hashes the row's texts and brings their cache buckets closer, so that the
// lookups that follow do not wait for memory one after another.
void Classifier::hashRow(const std::vector<std::string>& row, std::size_t width) {
  for (std::size_t c = 0; c < width; ++c) {
    rowHashes_[c] = TextCache::hashOf(row[c]);
    cache_.prefetchBucket(rowHashes_[c]);
  }
  for (std::size_t c = 0; c < std::min(width, kSlotLead); ++c) cache_.prefetchSlot(rowHashes_[c]);
}

void Classifier::prefetchSlotAhead(std::size_t c, std::size_t width) {
  if (c + kSlotLead < width) cache_.prefetchSlot(rowHashes_[c + kSlotLead]);
}

// A field whose text an earlier field of the chunk had, since the cache was
// last emptied, is a cache hit: it takes that field's type, unless the type
// is one the cache does not keep, and nothing else changes. Any other field
// of a window that begins inside the chunk is a miss. Only the fields of the
// window the chunk starts in, which earlier chunks may have filled, and of
// the window it ends in, which later chunks may read, use the cache.
void Classifier::classifyChunk(const SettledChunk& chunk, TypesFile& typesFile, PassClock& clock) {
  const std::vector<FieldFacts>& facts = chunk.facts;
  const std::vector<std::uint32_t>& widths = chunk.rows.widths();
  chunkTypes_.resize(facts.size());
  // The chunk's rows before its first window ends, and from where its last
  // window starts (0 when one window holds the whole chunk).
  const std::uint64_t firstWindowRows = rowsToWindowEnd_;
  const std::uint64_t lastWindowStart = (rows_ + widths.size()) / window_ * window_;
  const std::uint64_t lastWindowRow = lastWindowStart > rows_ ? lastWindowStart - rows_ : 0;
  std::size_t windowStart = 0;  // the first field since the cache was last emptied
  std::size_t f = 0;
  std::uint64_t lookedUp = 0;
  const std::uint64_t missesBefore = missesOutsideCache_;
  for (std::size_t row = 0; row < widths.size(); ++row) {
    const bool cached = row < firstWindowRows || row >= lastWindowRow;
    for (std::size_t c = 0; c < widths[row]; ++c, ++f) {
      if (cached) prefetchLookupAhead(facts, f);
      const std::uint32_t previous = facts[f].previous;
      const std::string_view text = chunk.rows.text(f);
      ColumnTables& column = *rowColumns_[c];
      if (previous != FieldFacts::kFirst && previous >= windowStart &&
          (!someTypeUncached_ ||
           rememberedAs(chunkTypes_[previous], table_.names()) != CacheEntry::kUnclassified)) {
        // Step 2 of the rule from the chunk; before step 1, since the
        // earlier field, with the same text, met step 1 first.
        rowTypes_[c] = countCell(column, chunkTypes_[previous], text);
      } else {
        const std::uint64_t matches = facts[f].matches;
        const bool missing = isMissing(missing_, text, facts[f].hash, matches);
        const auto firstMatchOfSet = [&](const std::vector<TypeId>& order) {
          return table_.firstMatch(order, matches, text);
        };
        if (cached) {
          ++lookedUp;
          rowTypes_[c] = classifyCell(text, facts[f].hash, missing, column, firstMatchOfSet);
        } else {
          // The cache cannot know the text: its window began in this chunk
          // after the text's last field there.
          rowTypes_[c] =
              countCell(column, typeOfCell(missing, column.regexOrdering, firstMatchOfSet), text);
          ++missesOutsideCache_;
        }
      }
      chunkTypes_[f] = rowTypes_[c];
    }
    writeRowTypes(widths[row], typesFile);
    finishRow(clock);
    if (rowsToWindowEnd_ == window_) windowStart = f;
  }
  repeatsInChunks_ += facts.size() - lookedUp - (missesOutsideCache_ - missesBefore);
  ragged_.add(chunk.rows.short_rows(), chunk.rows.long_rows());
}

// Brings the cache buckets and slots of the fields a few ahead closer, for
// those that will look the cache up.
void Classifier::prefetchLookupAhead(const std::vector<FieldFacts>& facts, std::size_t f) const {
  const std::size_t bucketAhead = f + 2 * kSlotLead;
  const std::size_t slotAhead = f + kSlotLead;
  if (bucketAhead < facts.size() && facts[bucketAhead].previous == FieldFacts::kFirst) {
    cache_.prefetchBucket(facts[bucketAhead].hash);
  }
  if (slotAhead < facts.size() && facts[slotAhead].previous == FieldFacts::kFirst) {
    cache_.prefetchSlot(facts[slotAhead].hash);
  }
}

void Classifier::addChunkCounts(const SettledChunk& chunk, TypesFile& typesFile) {
  const std::size_t typeCount = table_.names().size();
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    for (std::size_t type = 0; type < typeCount; ++type) {
      const std::uint64_t times = chunk.counts[c * typeCount + type];
      if (times != 0) rowColumns_[c]->count(static_cast<TypeId>(type), times);
    }
  }
  keepExamples(chunk);
  ragged_.add(chunk.rows.short_rows(), chunk.rows.long_rows());
  typesFile.write(chunk.lines);
  finishRows(chunk.rows.widths().size());
}

// The cells the workers noted, in file order; before finishRows(), rows_ is
// the number of the chunk's first row.
void Classifier::keepExamples(const SettledChunk& chunk) {
  for (const ChunkExamples::At& at : chunk.examples.at()) {
    rowColumns_[at.column]->examples.keep(at.type, chunk.rows.text(at.field), rows_ + at.row);
  }
}

void Classifier::writeRowTypes(std::size_t width, TypesFile& typesFile) {
  if (!typesFile.enabled()) return;
  line_.clear();
  appendTypesLine(line_, rowTypes_.data(), width, table_.names());
  typesFile.write(line_);
}

}  // namespace quorvel

// The pattern table: validating the pattern strings, interning type names,
// building the matcher, and the overlap query over a table.
#include "match/pattern_table.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "match/type_automaton.h"
#include "match/type_matcher.h"

namespace quorvel {

namespace {

// Copies `patterns` into `table` in the argument's own order, and stops at the
// first pattern that does not compile, with the regex library's error, leaving
// the patterns before it (its type's among them) in `table`.
void copyValid(const PatternStrings& patterns, PatternStrings& table) {
  table.clear();
  for (const auto& [typeName, sources] : patterns) {
    std::vector<std::string>& kept = table[typeName];
    kept.clear();
    for (const std::string& source : sources) {
      requireValidPattern(source);
      kept.push_back(source);
    }
  }
}

}  // namespace

TableOverlaps findOverlaps(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& types) {
  std::vector<const std::vector<std::string>*> sources;
  for (const auto& type : types) sources.push_back(&type.second);
  const AutomatonPlan plan = planAutomaton(sources);
  TableOverlaps result;
  for (std::size_t type = 0; type < types.size(); ++type) {
    if (plan.slots[type] < 0) result.unanalysed.push_back(types[type].first);
  }
  // Types on the automaton, by their slot there.
  std::vector<const std::string*> names(plan.automaton.typeCount(), nullptr);
  for (std::size_t type = 0; type < types.size(); ++type) {
    if (plan.slots[type] >= 0) names[plan.slots[type]] = &types[type].first;
  }
  for (TypeAutomaton::Overlap& overlap : plan.automaton.overlaps()) {
    const std::string* first = names[overlap.first];
    const std::string* second = names[overlap.second];
    if (*second < *first) std::swap(first, second);
    result.pairs.push_back({*first, *second, std::move(overlap.witness)});
  }
  std::sort(result.pairs.begin(), result.pairs.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first, a.second) < std::tie(b.first, b.second);
  });
  std::sort(result.unanalysed.begin(), result.unanalysed.end());
  return result;
}

TableOverlaps tableOverlaps(const PatternStrings& patterns) {
  PatternStrings valid;
  copyValid(patterns, valid);
  // The table's own order, in which the matcher offers types to its automaton.
  return findOverlaps({valid.begin(), valid.end()});
}

struct PatternTable::Marking {
  std::unordered_set<std::string> missing;
  std::optional<TypeAutomaton> automaton;  // nullopt: the texts do not fit
};

PatternTable::PatternTable() {
  intern("other");
  intern("NA");
  rebuild();
}

PatternTable::~PatternTable() = default;

TypeId PatternTable::intern(const std::string& name) {
  auto [it, inserted] = typeIds_.emplace(name, static_cast<TypeId>(typeNames_.size()));
  if (inserted) typeNames_.push_back(name);
  return it->second;
}

void PatternTable::set(const PatternStrings& patterns) {
  try {
    copyValid(patterns, sources_);
  } catch (...) {
    // The patterns kept before the failure stay usable.
    rebuild();
    throw;
  }
  rebuild();
}

// A fresh map filled in the table's order, as callers have always been given it.
PatternStrings PatternTable::patterns() const {
  PatternStrings result;
  for (const auto& [typeName, sources] : sources_) result[typeName] = sources;
  return result;
}

void PatternTable::rebuild() {
  tableTypes_.clear();
  std::vector<TypePatterns> matcherTypes;
  for (const auto& [typeName, sources] : sources_) {
    const TypeId id = intern(typeName);
    tableTypes_.push_back(id);
    matcherTypes.push_back({id, &sources});
  }
  matcher_ = std::make_unique<TypeMatcher>(matcherTypes);
  typesOfTextAsked_ = false;
  marking_.reset();
  matchSetTypes_.clear();
  matchSetBits_.assign(typeNames_.size(), -1);
  if (tableTypes_.size() > MatchSet::kMaxTypes) return;  // workers only tokenize then
  matchSetTypes_ = tableTypes_;
  for (std::size_t bit = 0; bit < tableTypes_.size(); ++bit) {
    matchSetBits_[tableTypes_[bit]] = static_cast<int>(bit);
  }
}

int PatternTable::matcherFirstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  return matcher_->firstMatch(order, text);
}

void PatternTable::bitsOf(const std::vector<TypeId>& order, std::vector<std::uint8_t>& bits) const {
  constexpr auto kNoType = static_cast<std::uint8_t>(__builtin_ctzll(MatchSet::kUnknown));
  bits.clear();
  for (const TypeId type : order) {
    const int bit = bitOf(type);
    bits.push_back(bit >= 0 ? static_cast<std::uint8_t>(bit) : kNoType);
  }
}

const TypeAutomaton* PatternTable::matchSetAutomaton() const {
  return matchSetTypes_.empty() ? nullptr : matcher_->wholeTable();
}

const TypeAutomaton* PatternTable::typesOfTextIfNoneShared() {
  // Match sets stand for the table's types in its order, as the automaton does.
  const TypeAutomaton* whole = matchSetAutomaton();
  if (!typesOfTextAsked_) {
    typesOfTextAsked_ = true;
    noTextShared_ = whole != nullptr && whole->overlaps().empty();
  }
  return noTextShared_ ? whole : nullptr;
}

const TypeAutomaton* PatternTable::typesOfTextMarking(
    const std::unordered_set<std::string>& missing) {
  if (typesOfTextIfNoneShared() == nullptr) return nullptr;
  if (!marking_ || marking_->missing != missing) {
    std::vector<const std::vector<std::string>*> types;
    for (const auto& type : sources_) types.push_back(&type.second);
    // Type i of the table on slot i, as on typesOfTextIfNoneShared().
    const auto missingSlot = static_cast<std::size_t>(__builtin_ctzll(MatchSet::kMissing));
    marking_ =
        std::make_unique<Marking>(Marking{missing, automatonMarking(types, missing, missingSlot)});
  }
  return marking_->automaton ? &*marking_->automaton : nullptr;
}

}  // namespace quorvel

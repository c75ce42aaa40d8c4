// Builds the automaton of the table and the fallback engines of the types it
// does not take, and answers which types of a trial order match a text.
#include "type_matcher.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <optional>
#include <string>

#include "re2_subset.h"

namespace quorvel {

namespace {

// The RE2 engines of the types off the automaton share this budget, however
// many they are: the set of all of them takes half, their own engines the rest.
constexpr std::int64_t kFallbackBudget = std::int64_t{64} << 20;

re2::StringPiece piece(std::string_view text) { return re2::StringPiece(text.data(), text.size()); }

// RE2::Match itself, without the argument handling of RE2::FullMatch, which
// costs as much as the match on a short cell text.
bool fullMatch(const RE2& re, std::string_view text) {
  return re.Match(piece(text), 0, text.size(), RE2::ANCHOR_BOTH, nullptr, 0);
}

RE2::Options budgetOptions(std::int64_t budget) {
  RE2::Options options = re2SubsetOptions();
  options.set_max_mem(budget);
  return options;
}

}  // namespace

// The engines of the types off the automaton: the translated patterns of a
// type as one RE2 and as a member of one set, the rest on Boost.
struct TypeMatcher::Fallback {
  struct Engines {
    std::unique_ptr<RE2> fast;
    int setIndex = -1;
    std::vector<const boost::regex*> slow;  // patterns only Boost can match
  };

  // One scan of the set, made when a second fallback type is to be tried.
  struct Scan {
    bool tried = false;
    bool answered = false;  // false when the set could not answer
    std::vector<int>& hits;
  };

  explicit Fallback(const std::vector<const TypePatterns*>& types)
      : typeOptions(budgetOptions(kFallbackBudget / 2 / std::max<std::int64_t>(1, types.size()))),
        set(std::make_unique<RE2::Set>(budgetOptions(kFallbackBudget / 2), RE2::ANCHOR_BOTH)) {
    for (const TypePatterns* type : types) {
      if (static_cast<std::size_t>(type->id) >= byId.size()) byId.resize(type->id + 1);
      compile(byId[type->id], *type->patterns);
    }
    if (!anyInSet || !set->Compile()) set.reset();
  }

  // A translation that RE2 refuses after all (a memory limit, say) goes back
  // to Boost, which stays the definition of every pattern.
  void compile(Engines& engines, const std::vector<boost::regex>& patterns) {
    std::string alternation;
    std::vector<const boost::regex*> translated;
    for (const boost::regex& pattern : patterns) {
      std::optional<std::string> re2Text = translateToRe2(pattern.str());
      if (!re2Text) {
        engines.slow.push_back(&pattern);
        continue;
      }
      alternation += (alternation.empty() ? "(?:" : "|(?:") + *re2Text + ")";
      translated.push_back(&pattern);
    }
    if (translated.empty()) return;
    auto fast = std::make_unique<RE2>(alternation, typeOptions);
    if (!fast->ok()) {
      engines.slow.insert(engines.slow.end(), translated.begin(), translated.end());
      return;
    }
    engines.setIndex = set->Add(alternation, nullptr);
    anyInSet = anyInSet || engines.setIndex >= 0;
    engines.fast = std::move(fast);
  }

  bool matchesSlow(const Engines& engines, std::string_view text) const {
    const char* begin = text.data();
    return std::any_of(engines.slow.begin(), engines.slow.end(), [&](const boost::regex* pattern) {
      return boost::regex_match(begin, begin + text.size(), *pattern);
    });
  }

  bool matches(TypeId id, std::string_view text) const {
    const Engines& engines = byId[id];
    return (engines.fast && fullMatch(*engines.fast, text)) || matchesSlow(engines, text);
  }

  // Asks the set first, which answers for every type at once.
  bool matches(TypeId id, std::string_view text, Scan& scan) const {
    if (!scan.tried) {
      scan.tried = true;
      scan.answered = scanSet(text, scan.hits);
    }
    const Engines& engines = byId[id];
    if (!scan.answered || engines.setIndex < 0) return matches(id, text);
    const auto& hits = scan.hits;
    return std::find(hits.begin(), hits.end(), engines.setIndex) != hits.end() ||
           matchesSlow(engines, text);
  }

  // False when the set cannot answer (its DFA ran out of memory), and the
  // caller then asks each type on its own.
  bool scanSet(std::string_view text, std::vector<int>& hits) const {
    if (!set) return false;
    RE2::Set::ErrorInfo error;
    hits.clear();
    if (set->Match(piece(text), &hits, &error)) return true;
    return error.kind == RE2::Set::kNoError;
  }

  RE2::Options typeOptions;
  std::vector<Engines> byId;
  std::unique_ptr<RE2::Set> set;
  bool anyInSet = false;
};

TypeMatcher::TypeMatcher()
    : fallback_(std::make_unique<Fallback>(std::vector<const TypePatterns*>{})) {}
TypeMatcher::TypeMatcher(TypeMatcher&&) noexcept = default;
TypeMatcher& TypeMatcher::operator=(TypeMatcher&&) noexcept = default;
TypeMatcher::~TypeMatcher() = default;

// A type takes the automaton only with all its patterns parsed; the types the
// automaton leaves out for its caps go to the fallback like the others.
TypeMatcher::TypeMatcher(const std::vector<TypePatterns>& types) {
  std::vector<std::vector<SubsetRegex>> parsed;
  std::vector<const TypePatterns*> candidates;
  std::vector<const TypePatterns*> others;
  for (const TypePatterns& type : types) {
    if (static_cast<std::size_t>(type.id) >= byId_.size()) byId_.resize(type.id + 1);
    byId_[type.id].known = true;
    tableOrder_.push_back(type.id);
    std::vector<SubsetRegex> trees;
    for (const boost::regex& pattern : *type.patterns) {
      std::optional<SubsetRegex> tree = parseSubset(pattern.str());
      if (!tree) break;
      trees.push_back(std::move(*tree));
    }
    if (trees.size() < type.patterns->size()) {
      others.push_back(&type);
      continue;
    }
    parsed.push_back(std::move(trees));
    candidates.push_back(&type);
  }
  automaton_ = TypeAutomaton(parsed);
  for (std::size_t slot = 0; slot < candidates.size(); ++slot) {
    if (automaton_.includes(slot)) {
      byId_[candidates[slot]->id].slot = static_cast<std::int32_t>(slot);
    } else {
      others.push_back(candidates[slot]);
    }
  }
  fallback_ = std::make_unique<Fallback>(others);
}

const TypeMatcher::CompiledType* TypeMatcher::find(TypeId id) const {
  if (id < 0 || static_cast<std::size_t>(id) >= byId_.size() || !byId_[id].known) return nullptr;
  return &byId_[id];
}

bool TypeMatcher::onAutomaton(TypeId id) const {
  const CompiledType* type = find(id);
  return type != nullptr && type->slot >= 0;
}

// One walk answers for every type on the automaton. The front type is the
// one that matched last in this column, so a fallback type there is tried
// alone before the scan of the set that answers for all fallback types.
int TypeMatcher::firstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  const std::uint64_t* accepted = automaton_.matches(text);
  thread_local std::vector<int> hits;
  Fallback::Scan scan{false, false, hits};
  for (std::size_t i = 0; i < order.size(); ++i) {
    const CompiledType* type = find(order[i]);
    if (type == nullptr) continue;
    const bool match = type->slot >= 0             ? automatonMatches(*type, accepted)
                       : i > 0 && order.size() > 2 ? fallback_->matches(order[i], text, scan)
                                                   : fallback_->matches(order[i], text);
    if (match) return static_cast<int>(i);
  }
  return -1;
}

void TypeMatcher::matchingTypes(std::string_view text, std::vector<TypeId>& types) const {
  types.clear();
  const std::uint64_t* accepted = automaton_.matches(text);
  for (const TypeId id : tableOrder_) {
    const CompiledType& type = byId_[id];
    if (type.slot >= 0 ? automatonMatches(type, accepted) : fallback_->matches(id, text)) {
      types.push_back(id);
    }
  }
}

}  // namespace quorvel

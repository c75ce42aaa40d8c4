// Builds the automaton of the table and the fallback engines of the types it
// does not take, and answers which types of a trial order match a text.
#include "match/type_matcher.h"

#include <re2/re2.h>

#include <boost/regex.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "match/re2_options.h"
#include "match/regex_subset.h"

namespace quorvel {

int boostRegexVersion() { return BOOST_VERSION; }

namespace {

// The RE2 engines of the types off the automaton share this budget, however
// many they are.
constexpr std::int64_t kFallbackBudget = std::int64_t{64} << 20;

boost::regex compileBoost(const std::string& pattern) {
  return boost::regex(pattern.data(), pattern.data() + pattern.size(),
                      boost::regex_constants::normal);
}

}  // namespace

void requireValidPattern(const std::string& pattern) { compileBoost(pattern); }

// The engines of the types off the automaton: Boost for every pattern, and
// for a pattern of the subset also RE2, which answers when Boost gives up on
// a match's complexity. Boost goes first because these are the patterns that
// no automaton of a few MiB can hold, and RE2 on one of them, within its
// share of the budget, keeps rebuilding its cache or falls back to its
// slowest engine, several times slower than Boost on short texts.
struct TypeMatcher::Fallback {
  struct Pattern {
    boost::regex boost;
    std::unique_ptr<RE2> safe;  // null outside the subset, or where RE2 refuses
  };

  explicit Fallback(const std::vector<const TypePatterns*>& types) {
    RE2::Options options = re2SubsetOptions();
    std::size_t patterns = 1;
    for (const TypePatterns* type : types) patterns += type->patterns->size();
    options.set_max_mem(kFallbackBudget / static_cast<std::int64_t>(patterns));
    for (const TypePatterns* type : types) {
      if (static_cast<std::size_t>(type->id) >= byId.size()) byId.resize(type->id + 1);
      for (const std::string& pattern : *type->patterns) {
        byId[type->id].push_back({compileBoost(pattern), compileSafe(pattern, options)});
      }
    }
  }

  static std::unique_ptr<RE2> compileSafe(const std::string& pattern, const RE2::Options& options) {
    std::optional<std::string> text = translateToRe2(pattern);
    if (!text) return nullptr;
    auto re = std::make_unique<RE2>(*text, options);
    return re->ok() ? std::move(re) : nullptr;
  }

  bool matches(TypeId id, std::string_view text) const {
    const char* begin = text.data();
    for (const Pattern& pattern : byId[id]) {
      try {
        if (boost::regex_match(begin, begin + text.size(), pattern.boost)) return true;
      } catch (const std::runtime_error&) {
        if (!pattern.safe) throw;
        if (pattern.safe->Match(re2::StringPiece(begin, text.size()), 0, text.size(),
                                RE2::ANCHOR_BOTH, nullptr, 0)) {
          return true;
        }
      }
    }
    return false;
  }

  std::vector<std::vector<Pattern>> byId;
};

TypeMatcher::TypeMatcher()
    : fallback_(std::make_unique<Fallback>(std::vector<const TypePatterns*>{})) {}
TypeMatcher::TypeMatcher(TypeMatcher&&) noexcept = default;
TypeMatcher& TypeMatcher::operator=(TypeMatcher&&) noexcept = default;
TypeMatcher::~TypeMatcher() = default;

// The types the automaton leaves out, for their syntax or for its caps, go
// to the fallback.
TypeMatcher::TypeMatcher(const std::vector<TypePatterns>& types) {
  std::vector<const std::vector<std::string>*> sources;
  for (const TypePatterns& type : types) {
    if (static_cast<std::size_t>(type.id) >= byId_.size()) byId_.resize(type.id + 1);
    byId_[type.id].known = true;
    tableOrder_.push_back(type.id);
    sources.push_back(type.patterns);
  }
  AutomatonPlan plan = planAutomaton(sources);
  automaton_ = std::move(plan.automaton);
  std::vector<const TypePatterns*> others;
  for (std::size_t i = 0; i < types.size(); ++i) {
    byId_[types[i].id].slot = plan.slots[i];
    if (plan.slots[i] < 0) others.push_back(&types[i]);
  }
  fallback_ = std::make_unique<Fallback>(others);
}

const TypeMatcher::CompiledType* TypeMatcher::find(TypeId id) const {
  if (id < 0 || static_cast<std::size_t>(id) >= byId_.size() || !byId_[id].known) return nullptr;
  return &byId_[id];
}

// Type ids the table lacks never match.
bool TypeMatcher::matchesType(TypeId id, const std::uint64_t* accepted,
                              std::string_view text) const {
  const CompiledType* type = find(id);
  if (type == nullptr) return false;
  return type->slot >= 0 ? automatonMatches(*type, accepted) : fallback_->matches(id, text);
}

const TypeAutomaton* TypeMatcher::wholeTable() const {
  if (tableOrder_.empty()) return nullptr;
  for (const TypeId id : tableOrder_) {
    if (byId_[id].slot < 0) return nullptr;
  }
  return &automaton_;
}

bool TypeMatcher::onAutomaton(TypeId id) const {
  const CompiledType* type = find(id);
  return type != nullptr && type->slot >= 0;
}

// One walk answers for every type on the automaton; the others are asked in
// turn, so that no type after the one that matches is tried.
int TypeMatcher::firstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  const std::uint64_t* accepted = automaton_.matches(text);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (matchesType(order[i], accepted, text)) return static_cast<int>(i);
  }
  return -1;
}

void TypeMatcher::matchingTypes(std::string_view text, std::vector<TypeId>& types) const {
  types.clear();
  const std::uint64_t* accepted = automaton_.matches(text);
  for (const TypeId id : tableOrder_) {
    if (matchesType(id, accepted, text)) types.push_back(id);
  }
}

std::uint64_t TypeMatcher::matchSet(const std::vector<TypeId>& types, std::string_view text) const {
  const std::uint64_t* accepted = automaton_.matches(text);
  std::uint64_t set = 0;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (matchesType(types[i], accepted, text)) set |= std::uint64_t{1} << i;
  }
  return set;
}

}  // namespace quorvel

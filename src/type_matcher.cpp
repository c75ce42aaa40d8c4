// Builds the fast and the slow matchers of each type, and answers which type
// of a trial order first matches a text.
#include "type_matcher.h"

#include <algorithm>
#include <optional>

#include "re2_subset.h"

namespace quorvel {

namespace {

re2::StringPiece piece(std::string_view text) { return re2::StringPiece(text.data(), text.size()); }

// RE2::Match itself, without the argument handling of RE2::FullMatch, which
// costs as much as the match on a short cell text.
bool fullMatch(const RE2& re, std::string_view text) {
  return re.Match(piece(text), 0, text.size(), RE2::ANCHOR_BOTH, nullptr, 0);
}

}  // namespace

TypeMatcher::TypeMatcher(const std::vector<TypePatterns>& types)
    : set_(std::make_unique<RE2::Set>(re2SubsetOptions(), RE2::ANCHOR_BOTH)) {
  for (const TypePatterns& type : types) {
    if (static_cast<std::size_t>(type.id) >= byId_.size()) byId_.resize(type.id + 1);
    CompiledType& compiled = byId_[type.id];
    compiled.known = true;
    std::vector<Translation> translated;
    for (const boost::regex& pattern : *type.patterns) {
      std::optional<std::string> re2Text = translateToRe2(pattern.str());
      if (re2Text) {
        translated.push_back({&pattern, std::move(*re2Text)});
      } else {
        compiled.slow.push_back(&pattern);
      }
    }
    compileFastPart(compiled, translated);
  }
  const bool anyInSet = std::any_of(byId_.begin(), byId_.end(),
                                    [](const CompiledType& type) { return type.setIndex >= 0; });
  if (!anyInSet || !set_->Compile()) set_.reset();
}

// A translation that RE2 refuses after all (a memory limit, say) goes back to
// Boost, which stays the definition of every pattern.
void TypeMatcher::compileFastPart(CompiledType& type, const std::vector<Translation>& translated) {
  if (translated.empty()) return;
  std::string alternation;
  for (const Translation& part : translated) {
    if (!alternation.empty()) alternation += '|';
    alternation += "(?:" + part.re2Text + ")";
  }
  auto fast = std::make_unique<RE2>(alternation, re2SubsetOptions());
  if (!fast->ok()) {
    for (const Translation& part : translated) type.slow.push_back(part.pattern);
    return;
  }
  type.setIndex = set_->Add(alternation, nullptr);
  type.fast = std::move(fast);
}

const TypeMatcher::CompiledType* TypeMatcher::find(TypeId id) const {
  if (id < 0 || static_cast<std::size_t>(id) >= byId_.size() || !byId_[id].known) return nullptr;
  return &byId_[id];
}

bool TypeMatcher::matchesSlow(const CompiledType& type, std::string_view text) const {
  const char* begin = text.data();
  return std::any_of(type.slow.begin(), type.slow.end(), [&](const boost::regex* pattern) {
    return boost::regex_match(begin, begin + text.size(), *pattern);
  });
}

bool TypeMatcher::matches(const CompiledType& type, std::string_view text) const {
  if (type.fast && fullMatch(*type.fast, text)) return true;
  return matchesSlow(type, text);
}

// One scan of the set tells, for every type with a fast part, whether that
// part matches. False when the set cannot answer (its DFA ran out of memory),
// and the caller then asks each type on its own.
bool TypeMatcher::scanSet(std::string_view text, std::vector<int>& hits) const {
  if (!set_) return false;
  RE2::Set::ErrorInfo error;
  hits.clear();
  if (set_->Match(piece(text), &hits, &error)) return true;
  return error.kind == RE2::Set::kNoError;
}

bool TypeMatcher::matchesAfterScan(const CompiledType& type, std::string_view text,
                                   const std::vector<int>& hits) const {
  if (type.fast) {
    const bool fastMatch = type.setIndex >= 0
                               ? std::find(hits.begin(), hits.end(), type.setIndex) != hits.end()
                               : fullMatch(*type.fast, text);
    if (fastMatch) return true;
  }
  return matchesSlow(type, text);
}

int TypeMatcher::firstMatch(const std::vector<TypeId>& order, std::string_view text) const {
  if (order.empty()) return -1;
  // The front type is the one that matched last in this column, so it is
  // tried alone before the scan that answers for all types.
  if (const CompiledType* front = find(order[0]); front && matches(*front, text)) return 0;
  thread_local std::vector<int> hits;
  const bool scanned = order.size() > 2 && scanSet(text, hits);
  for (std::size_t i = 1; i < order.size(); ++i) {
    const CompiledType* type = find(order[i]);
    if (type == nullptr) continue;
    if (scanned ? matchesAfterScan(*type, text, hits) : matches(*type, text)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool TypeMatcher::canFail() const {
  return std::any_of(byId_.begin(), byId_.end(),
                     [](const CompiledType& type) { return !type.slow.empty(); });
}

std::uint64_t TypeMatcher::matchSet(const std::vector<TypeId>& types, std::string_view text) const {
  thread_local std::vector<int> hits;
  const bool scanned = scanSet(text, hits);
  std::uint64_t set = 0;
  for (std::size_t i = 0; i < types.size(); ++i) {
    const CompiledType* type = find(types[i]);
    if (type == nullptr) continue;
    if (scanned ? matchesAfterScan(*type, text, hits) : matches(*type, text)) {
      set |= std::uint64_t{1} << i;
    }
  }
  return set;
}

}  // namespace quorvel

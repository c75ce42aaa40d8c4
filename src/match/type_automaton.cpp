// Builds the table's automaton: a Thompson automaton of every type's patterns, the byte classes
// their byte sets induce, and the subset construction of the types that fit the caps; and
// finds the overlaps of types by a breadth-first search of the result.
#include "match/type_automaton.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace quorvel {

namespace {

// The caps while building: the states of the nondeterministic automaton of one type, of the
// whole table, and the state numbers kept by the subset construction. They bound the memory of
// a build at a few tens of MiB whatever the patterns.
constexpr std::size_t kMaxNfaStatesPerType = std::size_t{1} << 17;
constexpr std::size_t kMaxNfaStates = std::size_t{1} << 20;
constexpr std::size_t kMaxSubsetElements = std::size_t{1} << 22;

struct VectorHash {
  template <class T>
  std::size_t operator()(const std::vector<T>& v) const {
    std::size_t h = v.size();
    for (const T x : v) h = (h ^ static_cast<std::size_t>(x)) * 0x100000001b3ULL;
    return h;
  }
};

}  // namespace

// A Thompson automaton: byte steps, epsilon forks and one match state per type.
class TypeAutomaton::Nfa {
 public:
  enum class Kind : std::uint8_t { kByte, kFork, kMatch };
  struct State {
    Kind kind;
    std::uint32_t byteSet = 0;  // kByte: index in byteSets
    std::int32_t out = -1;      // kByte: the next state; kFork: one of two
    std::int32_t alt = -1;      // kFork: the other, or -1
    std::uint32_t type = 0;     // kMatch
  };

  // The states of type i are starts[i] and what it reaches; starts[i] < 0 when the type did
  // not fit.
  std::vector<State> states;
  std::vector<std::int32_t> starts;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;  // of the states of each type
  std::vector<SubsetRegex::ByteSet> byteSets;

  void addType(const std::vector<SubsetRegex>& patterns) {
    const std::size_t before = states.size();
    overflow_ = false;
    const std::int32_t match =
        add({Kind::kMatch, 0, -1, -1, static_cast<std::uint32_t>(starts.size())});
    std::int32_t start = -1;
    for (const SubsetRegex& pattern : patterns) {
      const std::int32_t first = build(pattern, match);
      start = start < 0 ? first : add({Kind::kFork, 0, first, start, 0});
    }
    if (start < 0) start = add({Kind::kFork, 0, -1, -1, 0});  // matches nothing
    const bool fits = !overflow_ && states.size() - before <= kMaxNfaStatesPerType;
    if (!fits) states.resize(before);
    starts.push_back(fits ? start : -1);
    ranges.emplace_back(before, states.size());
  }

 private:
  std::int32_t add(const State& state) {
    if (states.size() >= kMaxNfaStates) {
      overflow_ = true;
      return 0;
    }
    states.push_back(state);
    return static_cast<std::int32_t>(states.size() - 1);
  }

  std::uint32_t internByteSet(const SubsetRegex::ByteSet& bytes) {
    auto [it, inserted] = byteSetIds_.emplace(bytes, static_cast<std::uint32_t>(byteSets.size()));
    if (inserted) byteSets.push_back(bytes);
    return it->second;
  }

  // The states of `node`, built back to front: they lead to `next`, and the first is returned.
  std::int32_t build(const SubsetRegex& node, std::int32_t next) {
    switch (node.kind) {
      case SubsetRegex::Kind::kBytes:
        return add({Kind::kByte, internByteSet(node.bytes), next, -1, 0});
      case SubsetRegex::Kind::kSequence:
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
          next = build(*child, next);
        }
        return next;
      case SubsetRegex::Kind::kAlternation: {
        std::int32_t first = build(node.children.back(), next);
        for (auto child = node.children.rbegin() + 1; child != node.children.rend(); ++child) {
          first = add({Kind::kFork, 0, build(*child, next), first, 0});
        }
        return first;
      }
      case SubsetRegex::Kind::kRepeat:
        return buildRepeat(node, next);
    }
    return next;
  }

  // x{m,n} as m copies of x, then n - m nested optional ones; x{m,} ends with a loop instead.
  std::int32_t buildRepeat(const SubsetRegex& node, std::int32_t next) {
    const SubsetRegex& child = node.children.front();
    std::int32_t tail = next;
    if (node.max < 0) {
      tail = add({Kind::kFork, 0, -1, next, 0});
      const std::int32_t body = build(child, tail);
      if (!overflow_) states[tail].out = body;
    } else {
      for (long k = node.min; k < node.max && !overflow_; ++k) {
        tail = add({Kind::kFork, 0, build(child, tail), next, 0});
      }
    }
    for (long k = 0; k < node.min && !overflow_; ++k) tail = build(child, tail);
    return tail;
  }

  std::unordered_map<SubsetRegex::ByteSet, std::uint32_t> byteSetIds_;
  bool overflow_ = false;
};

// The subset construction over the byte classes of the chosen types: each row of the table is
// one closed set of automaton states, numbered in the order they are first reached.
class TypeAutomaton::Determinizer {
 public:
  Determinizer(const Nfa& nfa, const std::vector<std::size_t>& types, std::size_t words)
      : nfa_(nfa), types_(types), words_(words), stamps_(nfa.states.size(), 0) {}

  // False when the automaton would pass a cap.
  bool run() {
    computeClasses();
    stride_ = classes_ + 1;
    rowOf({});  // the dead state, row 0
    std::vector<std::uint32_t> start;
    for (std::size_t type : types_) start.push_back(static_cast<std::uint32_t>(nfa_.starts[type]));
    start_ = rowOf(start);
    for (std::size_t row = 1; row < sets_.size() && !failed_; ++row) expand(row);
    return !failed_;
  }

  void install(TypeAutomaton& automaton) {
    automaton.table_ = std::move(table_);
    automaton.acceptSets_ = std::move(acceptSets_);
    automaton.stride_ = stride_;
    automaton.classes_ = classes_;
    automaton.start_ = start_;
    automaton.classOf_ = classOf_;
  }

 private:
  // Splits the bytes into classes that every byte set of the chosen types treats alike.
  // Classes are numbered in the order of their least bytes.
  void computeClasses() {
    std::vector<bool> used(nfa_.byteSets.size(), false);
    for (std::size_t type : types_) {
      for (std::size_t s = nfa_.ranges[type].first; s < nfa_.ranges[type].second; ++s) {
        if (nfa_.states[s].kind == Nfa::Kind::kByte) used[nfa_.states[s].byteSet] = true;
      }
    }
    for (std::size_t set = 0; set < used.size(); ++set) {
      if (used[set]) refineClasses(nfa_.byteSets[set]);
    }
    std::vector<std::uint8_t> least(classes_, 0);
    for (int b = 255; b >= 0; --b) least[classOf_[b]] = static_cast<std::uint8_t>(b);
    classesOf_.assign(nfa_.byteSets.size(), {});
    for (std::size_t set = 0; set < used.size(); ++set) {
      for (std::uint32_t c = 0; used[set] && c < classes_; ++c) {
        if (nfa_.byteSets[set][least[c]]) classesOf_[set].push_back(static_cast<std::uint16_t>(c));
      }
    }
  }

  void refineClasses(const SubsetRegex::ByteSet& bytes) {
    std::vector<int> renumbered(std::size_t{classes_} * 2, -1);
    std::uint32_t count = 0;
    for (int b = 0; b < 256; ++b) {
      int& id = renumbered[std::size_t{classOf_[b]} * 2 + bytes[b]];
      if (id < 0) id = static_cast<int>(count++);
      classOf_[b] = static_cast<std::uint8_t>(id);
    }
    classes_ = count;
  }

  // Sets `states` to the byte and match states reachable from `from` through forks, sorted.
  void close(const std::vector<std::uint32_t>& from, std::vector<std::uint32_t>& states) {
    ++generation_;
    stack_.assign(from.begin(), from.end());
    states.clear();
    while (!stack_.empty()) {
      const std::uint32_t s = stack_.back();
      stack_.pop_back();
      if (stamps_[s] == generation_) continue;
      stamps_[s] = generation_;
      const Nfa::State& state = nfa_.states[s];
      if (state.kind != Nfa::Kind::kFork) {
        states.push_back(s);
        continue;
      }
      if (state.out >= 0) stack_.push_back(static_cast<std::uint32_t>(state.out));
      if (state.alt >= 0) stack_.push_back(static_cast<std::uint32_t>(state.alt));
    }
    std::sort(states.begin(), states.end());
  }

  // The row offset of the closure of `states`, adding a row the first time. The closure is
  // built in a buffer kept from call to call, and copied only for a new row.
  std::uint32_t rowOf(const std::vector<std::uint32_t>& states) {
    close(states, closed_);
    const auto found = rowIds_.find(closed_);
    if (found != rowIds_.end()) return found->second;
    const std::size_t rows = sets_.size() + 1;
    elements_ += closed_.size();
    if (rows > kMaxStates || rows * stride_ * sizeof(std::uint32_t) > kMaxTableBytes ||
        elements_ > kMaxSubsetElements) {
      failed_ = true;
      return 0;
    }
    const auto offset = static_cast<std::uint32_t>(table_.size());
    table_.resize(table_.size() + stride_, 0);
    table_[offset + classes_] = acceptOffset(closed_);
    sets_.push_back(&rowIds_.emplace(closed_, offset).first->first);
    return offset;
  }

  std::uint32_t acceptOffset(const std::vector<std::uint32_t>& states) {
    std::vector<std::uint64_t> accepted(words_, 0);
    for (std::uint32_t s : states) {
      const Nfa::State& state = nfa_.states[s];
      if (state.kind == Nfa::Kind::kMatch) accepted[state.type / 64] |= 1ULL << (state.type % 64);
    }
    const auto offset = static_cast<std::uint32_t>(acceptSets_.size());
    const auto [it, inserted] = acceptOffsets_.emplace(accepted, offset);
    if (inserted) acceptSets_.insert(acceptSets_.end(), accepted.begin(), accepted.end());
    return it->second;
  }

  void expand(std::size_t row) {
    targets_.resize(classes_);
    for (std::vector<std::uint32_t>& t : targets_) t.clear();
    for (std::uint32_t s : *sets_[row]) {
      const Nfa::State& state = nfa_.states[s];
      if (state.kind != Nfa::Kind::kByte) continue;
      for (std::uint16_t c : classesOf_[state.byteSet]) {
        targets_[c].push_back(static_cast<std::uint32_t>(state.out));
      }
    }
    for (std::uint32_t c = 0; c < classes_ && !failed_; ++c) {
      // From most rows most classes lead nowhere: to the dead state, row 0, which the new
      // row holds already.
      if (targets_[c].empty()) continue;
      table_[row * stride_ + c] = rowOf(targets_[c]);
    }
  }

  const Nfa& nfa_;
  const std::vector<std::size_t>& types_;
  std::size_t words_;
  std::array<std::uint8_t, 256> classOf_{};
  std::uint32_t classes_ = 1;
  std::vector<std::vector<std::uint16_t>> classesOf_;  // by byte set: the classes it holds
  std::size_t stride_ = 2;
  std::uint32_t start_ = 0;
  std::vector<std::uint32_t> table_;
  std::vector<std::uint64_t> acceptSets_;
  std::unordered_map<std::vector<std::uint32_t>, std::uint32_t, VectorHash> rowIds_;
  std::vector<const std::vector<std::uint32_t>*> sets_;  // by row number, keys of rowIds_
  std::unordered_map<std::vector<std::uint64_t>, std::uint32_t, VectorHash> acceptOffsets_;
  std::vector<std::vector<std::uint32_t>> targets_;
  std::vector<std::uint32_t> stack_;
  std::vector<std::uint32_t> closed_;  // rowOf()'s closure
  std::vector<std::uint32_t> stamps_;
  std::uint32_t generation_ = 0;
  std::size_t elements_ = 0;
  bool failed_ = false;
};

// Every type alone may fit and the whole table not: then types join one by one, in order,
// each kept when the automaton still fits with it.
TypeAutomaton::TypeAutomaton(const std::vector<std::vector<SubsetRegex>>& types)
    : included_(types.size(), false), words_(std::max<std::size_t>(1, (types.size() + 63) / 64)) {
  Nfa nfa;
  std::vector<std::size_t> candidates;
  for (const std::vector<SubsetRegex>& patterns : types) {
    nfa.addType(patterns);
    if (nfa.starts.back() >= 0) candidates.push_back(nfa.starts.size() - 1);
  }
  fitTypes(nfa, candidates);
  makeByteTable();
}

void TypeAutomaton::fitTypes(const Nfa& nfa, const std::vector<std::size_t>& candidates) {
  if (tryBuild(nfa, candidates)) return;
  std::vector<std::size_t> kept;
  for (std::size_t type : candidates) {
    kept.push_back(type);
    if (!tryBuild(nfa, kept)) kept.pop_back();
  }
  if (kept.empty()) tryBuild(nfa, kept);
}

// Row r moves from offset r * stride_ to r * 257; each class's target is found once per row.
void TypeAutomaton::makeByteTable() {
  constexpr std::size_t kByteStride = 257;
  const std::size_t rows = stateCount();
  byteTable_.clear();
  if (rows * kByteStride * sizeof(std::uint32_t) > kMaxByteTableBytes) return;
  byteTable_.resize(rows * kByteStride);
  std::vector<std::uint32_t> targets(classes_);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint32_t* row = &table_[r * stride_];
    for (std::uint32_t c = 0; c < classes_; ++c) {
      targets[c] = static_cast<std::uint32_t>(row[c] / stride_ * kByteStride);
    }
    std::uint32_t* bytes = &byteTable_[r * kByteStride];
    for (int b = 0; b < 256; ++b) bytes[b] = targets[classOf_[b]];
    bytes[256] = row[classes_];
  }
  byteStart_ = start_ / stride_ * kByteStride;
}

bool TypeAutomaton::tryBuild(const Nfa& nfa, const std::vector<std::size_t>& types) {
  Determinizer determinizer(nfa, types, words_);
  if (!determinizer.run()) return false;
  determinizer.install(*this);
  std::fill(included_.begin(), included_.end(), false);
  for (std::size_t type : types) included_[type] = true;
  return true;
}

std::vector<std::size_t> TypeAutomaton::typesAt(std::uint32_t row) const {
  const std::uint64_t* accepted = setOf(classSteps().setIdAt(row));
  std::vector<std::size_t> types;
  for (std::size_t type = 0; type < typeCount(); ++type) {
    if (accepted[type / 64] >> (type % 64) & 1) types.push_back(type);
  }
  return types;
}

std::string TypeAutomaton::textTo(std::uint32_t row, const std::vector<Step>& cameFrom) const {
  std::string text;
  for (; row != start_; row = cameFrom[row / stride_].first) {
    text += static_cast<char>(cameFrom[row / stride_].second);
  }
  std::reverse(text.begin(), text.end());
  return text;
}

// Rows are met in the order of their shortest texts, and among equally short ones in the order
// of the texts' bytes, because each row is first reached from the earliest row before it and
// by its least class; so the first row where two types meet gives their witness.
std::vector<TypeAutomaton::Overlap> TypeAutomaton::overlaps() const {
  std::vector<std::uint8_t> least(classes_, 0);
  for (int b = 255; b >= 0; --b) least[classOf_[b]] = static_cast<std::uint8_t>(b);
  const std::size_t rows = stateCount();
  std::vector<Step> cameFrom(rows, {0, 0});
  std::vector<bool> seen(rows, false);
  std::vector<bool> paired(typeCount() * typeCount(), false);
  std::vector<Overlap> result;
  std::deque<std::uint32_t> queue{start_};
  seen[0] = true;
  seen[start_ / stride_] = true;
  while (!queue.empty()) {
    const std::uint32_t row = queue.front();
    queue.pop_front();
    const std::vector<std::size_t> types = typesAt(row);
    for (std::size_t i = 0; i < types.size(); ++i) {
      for (std::size_t j = i + 1; j < types.size(); ++j) {
        if (paired[types[i] * typeCount() + types[j]]) continue;
        paired[types[i] * typeCount() + types[j]] = true;
        result.push_back({types[i], types[j], textTo(row, cameFrom)});
      }
    }
    for (std::uint32_t c = 0; c < classes_; ++c) {
      const std::uint32_t next = table_[row + c];
      if (seen[next / stride_]) continue;
      seen[next / stride_] = true;
      cameFrom[next / stride_] = {row, least[c]};
      queue.push_back(next);
    }
  }
  std::sort(result.begin(), result.end(), [](const Overlap& a, const Overlap& b) {
    return std::tie(a.first, a.second) < std::tie(b.first, b.second);
  });
  return result;
}

namespace {

// The trees of a type's patterns, or nullopt when one lies outside the parsed subset.
std::optional<std::vector<SubsetRegex>> parseType(const std::vector<std::string>& sources) {
  std::vector<SubsetRegex> trees;
  for (const std::string& source : sources) {
    std::optional<SubsetRegex> tree = parseSubset(source);
    if (!tree) return std::nullopt;
    trees.push_back(std::move(*tree));
  }
  return trees;
}

SubsetRegex literal(std::string_view text) {
  SubsetRegex sequence;
  for (const char c : text) {
    SubsetRegex& byte = sequence.children.emplace_back();
    byte.kind = SubsetRegex::Kind::kBytes;
    byte.bytes.set(static_cast<unsigned char>(c));
  }
  return sequence;
}

}  // namespace

AutomatonPlan planAutomaton(const std::vector<const std::vector<std::string>*>& types) {
  std::vector<std::vector<SubsetRegex>> parsed;
  std::vector<std::size_t> parsedTypes;
  for (std::size_t type = 0; type < types.size(); ++type) {
    std::optional<std::vector<SubsetRegex>> trees = parseType(*types[type]);
    if (!trees) continue;
    parsed.push_back(std::move(*trees));
    parsedTypes.push_back(type);
  }
  AutomatonPlan plan{TypeAutomaton(parsed), std::vector<std::int32_t>(types.size(), -1)};
  for (std::size_t slot = 0; slot < parsedTypes.size(); ++slot) {
    if (plan.automaton.includes(slot))
      plan.slots[parsedTypes[slot]] = static_cast<std::int32_t>(slot);
  }
  return plan;
}

std::optional<TypeAutomaton> automatonMarking(
    const std::vector<const std::vector<std::string>*>& types,
    const std::unordered_set<std::string>& texts, std::size_t slot) {
  std::vector<std::vector<SubsetRegex>> parsed(slot + 1);
  for (std::size_t type = 0; type < types.size(); ++type) {
    std::optional<std::vector<SubsetRegex>> trees = parseType(*types[type]);
    if (!trees) return std::nullopt;
    parsed[type] = std::move(*trees);
  }
  for (const std::string& text : texts) parsed[slot].push_back(literal(text));
  TypeAutomaton automaton(parsed);
  for (std::size_t type = 0; type <= slot; ++type) {
    if (!automaton.includes(type)) return std::nullopt;
  }
  return automaton;
}

}  // namespace quorvel

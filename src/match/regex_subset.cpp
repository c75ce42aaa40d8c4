// A recursive-descent parser of the safe part of Boost's Perl syntax into a tree, and the RE2
// text of such a tree. The parser accepts only constructs whose meaning under boost::regex_match
// is plain bytes, classes of bytes, sequence, alternation and repetition, and anything else ends
// the parse so that Boost keeps the pattern. In RE2 text every byte that is not an ASCII letter
// or digit is written as \xHH and every class as an explicit byte set, so no RE2 escape rule,
// class definition or flag can shift what the text means.

#include "match/regex_subset.h"

#include <re2/re2.h>

#include <algorithm>
#include <bitset>
#include <boost/regex.hpp>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "match/re2_options.h"

namespace quorvel {
namespace {

// RE2 refuses a counted repetition above this bound, and nested counted repetitions whose bounds
// multiply to more than it.
constexpr long kMaxRepeat = 1000;
// Rough ceiling on compiled instructions per pattern: past it RE2 compiles slowly and one pattern
// crowds the memory budget that the matcher's fallback engines share, so Boost keeps the pattern.
constexpr long kMaxCost = 50000;
// Deeper group nesting goes to Boost, which keeps the recursion here shallow on hostile input.
constexpr int kMaxDepth = 100;
// RE2's default of 8 MiB is tight for a pattern with counted repeats. The budget is a ceiling,
// not an allocation; the matcher gives each of its engines a share of its own, smaller one.
constexpr int64_t kMaxMem = int64_t{64} << 20;

using ByteSet = SubsetRegex::ByteSet;

// One parsed construct and what it will cost RE2.
struct Fragment {
  SubsetRegex node;
  long cost = 0;        // estimated compiled instructions
  long nesting = 1;     // product of the counted-repetition bounds around its innermost atom
  bool anchor = false;  // a dropped ^ or $, which Boost refuses to repeat
};

// Quantifier bounds; hi < 0 means no upper bound.
struct Bounds {
  long lo = 0;
  long hi = -1;
  bool braces = false;  // written {m}, {m,} or {m,n}, which RE2 counts against kMaxRepeat
};

bool isAsciiAlnum(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isQuantifierStart(int c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

// \d \w \s and their negations, the same one-byte classes inside and outside brackets.
bool isClassEscape(int c) {
  return c == 'd' || c == 'D' || c == 'w' || c == 'W' || c == 's' || c == 'S';
}

// The POSIX classes Boost knows by these names inside brackets.
bool isPosixClassName(std::string_view name) {
  static constexpr std::string_view kNames[] = {"alnum", "alpha",  "blank", "cntrl", "digit",
                                                "graph", "lower",  "print", "punct", "space",
                                                "upper", "xdigit", "word"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

// Punctuation that Boost reads as itself after a backslash. Left out: < > ` ' (word and buffer
// anchors in Boost) and every letter and digit (classes, anchors, back-references, octal).
bool isPlainEscapedPunct(int c) {
  static constexpr std::string_view kPunct = "!\"#$%&()*+,-./:;=?@[\\]^_{|}~ ";
  return c > 0 && c < 0x80 && kPunct.find(static_cast<char>(c)) != std::string_view::npos;
}

int hexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Latin-1 compiles each maximal run of a class's bytes to one instruction.
Fragment byteSetFragment(const ByteSet& set) {
  Fragment f;
  f.node.kind = SubsetRegex::Kind::kBytes;
  f.node.bytes = set;
  for (int b = 0; b < 256; ++b) f.cost += set[b] && (b == 0 || !set[b - 1]);
  return f;
}

Fragment literal(int b) { return byteSetFragment(ByteSet().set(b)); }

std::optional<Fragment> repeat(Fragment f, const Bounds& b) {
  if (b.braces) f.nesting *= std::max(1L, b.hi < 0 ? b.lo : b.hi);
  f.cost = f.cost * std::max(1L, b.hi < 0 ? b.lo + 1 : b.hi) + 1;
  if (f.nesting > kMaxRepeat || f.cost > kMaxCost) return std::nullopt;
  SubsetRegex node;
  node.kind = SubsetRegex::Kind::kRepeat;
  node.min = b.lo;
  node.max = b.hi;
  node.children.push_back(std::move(f.node));
  f.node = std::move(node);
  return f;
}

void appendFragment(Fragment& to, Fragment&& f) {
  to.node.children.push_back(std::move(f.node));
  to.cost += f.cost;
  to.nesting = std::max(to.nesting, f.nesting);
}

// ---- RE2 text of a tree ---------------------------------------------------------------------

void appendByte(std::string& out, int b) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (isAsciiAlnum(b)) {
    out += static_cast<char>(b);
    return;
  }
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 15];
}

void appendByteSet(std::string& out, const ByteSet& set) {
  if (set.count() == 1) {
    int only = 0;
    while (!set[only]) ++only;
    appendByte(out, only);
    return;
  }
  out += '[';
  for (int b = 0; b < 256; ++b) {
    if (!set[b]) continue;
    int last = b;
    while (last + 1 < 256 && set[last + 1]) ++last;
    appendByte(out, b);
    if (last > b) {
      out += '-';
      appendByte(out, last);
    }
    b = last;
  }
  out += ']';
}

void appendRe2(std::string& out, const SubsetRegex& node);

void appendQuantifier(std::string& out, long min, long max) {
  if (max < 0 && min <= 1) {
    out += min == 0 ? '*' : '+';
  } else if (min == 0 && max == 1) {
    out += '?';
  } else {
    out += '{' + std::to_string(min);
    if (max != min) out += ',' + (max < 0 ? std::string() : std::to_string(max));
    out += '}';
  }
}

void appendRe2(std::string& out, const SubsetRegex& node) {
  switch (node.kind) {
    case SubsetRegex::Kind::kBytes:
      appendByteSet(out, node.bytes);
      return;
    case SubsetRegex::Kind::kSequence:
      for (const SubsetRegex& child : node.children) {
        const bool group = child.kind == SubsetRegex::Kind::kAlternation;
        if (group) out += "(?:";
        appendRe2(out, child);
        if (group) out += ')';
      }
      return;
    case SubsetRegex::Kind::kAlternation:
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        if (i > 0) out += '|';
        appendRe2(out, node.children[i]);
      }
      return;
    case SubsetRegex::Kind::kRepeat: {
      const SubsetRegex& child = node.children.front();
      const bool group = child.kind != SubsetRegex::Kind::kBytes;
      if (group) out += "(?:";
      appendRe2(out, child);
      if (group) out += ')';
      appendQuantifier(out, node.min, node.max);
      return;
    }
  }
}

class Translator {
 public:
  explicit Translator(std::string_view pattern) : p_(pattern) {}

  std::optional<Fragment> translate() {
    std::optional<Fragment> f = alternation(0);
    if (!f || pos_ != p_.size()) return std::nullopt;  // a ) without its (
    return f;
  }

 private:
  // The byte `ahead` positions on, or -1 past the end: NUL is an ordinary byte here.
  int peek(size_t ahead = 0) const {
    return pos_ + ahead < p_.size() ? static_cast<unsigned char>(p_[pos_ + ahead]) : -1;
  }

  std::optional<Fragment> alternation(int depth);
  std::optional<Fragment> sequence(int depth);
  std::optional<Fragment> piece(int depth);
  std::optional<Fragment> atom(int depth);
  std::optional<Fragment> group(int depth);
  std::optional<Fragment> anchor(bool allowed);
  std::optional<Fragment> escape();
  ByteSet boostClass(const std::string& klass);
  bool posixClass(ByteSet& set);
  std::optional<Bounds> quantifier();
  std::optional<Bounds> braces();
  std::optional<long> number();
  std::optional<ByteSet> bracket();
  bool bracketItem(ByteSet& set, bool first);
  std::optional<int> bracketByte();
  std::optional<int> escapedByte();
  std::optional<int> hexByte();

  std::string_view p_;
  size_t pos_ = 0;
  std::map<std::string, ByteSet> classes_;  // the classes asked of Boost so far
};

std::optional<Fragment> Translator::alternation(int depth) {
  std::optional<Fragment> first = sequence(depth);
  if (!first || peek() != '|') return first;
  Fragment out;
  out.node.kind = SubsetRegex::Kind::kAlternation;
  appendFragment(out, std::move(*first));
  while (peek() == '|') {
    ++pos_;
    std::optional<Fragment> next = sequence(depth);
    if (!next) return std::nullopt;
    appendFragment(out, std::move(*next));
    if (out.cost > kMaxCost) return std::nullopt;
  }
  return out;
}

std::optional<Fragment> Translator::sequence(int depth) {
  Fragment out;
  while (peek() >= 0 && peek() != '|' && peek() != ')') {
    std::optional<Fragment> f = piece(depth);
    if (!f) return std::nullopt;
    appendFragment(out, std::move(*f));
    if (out.cost > kMaxCost) return std::nullopt;
  }
  return out;
}

std::optional<Fragment> Translator::piece(int depth) {
  std::optional<Fragment> f = atom(depth);
  if (!f || !isQuantifierStart(peek())) return f;
  if (f->anchor) return std::nullopt;  // Boost refuses ^* and $*
  std::optional<Bounds> b = quantifier();
  if (!b) return std::nullopt;
  return repeat(std::move(*f), *b);
}

std::optional<Fragment> Translator::atom(int depth) {
  const int c = peek();
  switch (c) {
    case '(':
      return group(depth);
    case '[': {
      ++pos_;
      std::optional<ByteSet> set = bracket();
      if (!set) return std::nullopt;
      return byteSetFragment(*set);
    }
    case '.':  // Boost's default dot takes every byte, newline and NUL included
      ++pos_;
      return byteSetFragment(ByteSet().set());
    case '\\':
      ++pos_;
      return escape();
    case '^':
      return anchor(pos_ == 0);
    case '$':
      return anchor(pos_ + 1 == p_.size());
    case '*':  // nothing to repeat, or a possessive or stacked quantifier: Boost refuses all
    case '+':
    case '?':
    case '{':  // the same, or a { that Boost would read as a literal
    case '}':
    case ']':  // literals in Boost, but only by context; not worth modelling
      return std::nullopt;
    default:
      ++pos_;
      return literal(c);
  }
}

// Boost's ^ and $ are line anchors, so inside a pattern they can match next to a newline in the
// text. At the very start and the very end of a whole-string match they always hold, so there
// they are dropped; anywhere else the pattern goes to Boost.
std::optional<Fragment> Translator::anchor(bool allowed) {
  if (!allowed) return std::nullopt;
  ++pos_;
  Fragment f;
  f.anchor = true;
  return f;
}

std::optional<Fragment> Translator::group(int depth) {
  if (depth >= kMaxDepth) return std::nullopt;
  ++pos_;
  if (peek() == '?') {
    if (peek(1) != ':') return std::nullopt;  // flags, lookaround, atomic and named groups
    pos_ += 2;
  }
  std::optional<Fragment> inner = alternation(depth + 1);
  if (!inner || peek() != ')') return std::nullopt;
  ++pos_;
  inner->cost += 1;
  inner->anchor = false;
  return inner;
}

std::optional<Fragment> Translator::escape() {
  const int c = peek();
  if (isClassEscape(c)) {
    ++pos_;
    return byteSetFragment(boostClass(std::string("\\") + static_cast<char>(c)));
  }
  std::optional<int> b = escapedByte();
  if (!b) return std::nullopt;
  return literal(*b);
}

// Boost itself says which bytes a one-byte class takes, byte by byte: its traits follow the
// global C++ locale of the process, whatever that makes of bytes >= 0x80, and so does the
// parsed set. A class is asked once per pattern.
ByteSet Translator::boostClass(const std::string& klass) {
  const auto known = classes_.find(klass);
  if (known != classes_.end()) return known->second;
  const boost::regex re(klass);
  ByteSet set;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    set[b] = boost::regex_match(&c, &c + 1, re);
  }
  return classes_[klass] = set;
}

// The byte named after a backslash, with the same meaning inside and outside brackets.
// \v is left out: outside brackets Boost reads it as the vertical-space class.
std::optional<int> Translator::escapedByte() {
  const int c = peek();
  ++pos_;
  switch (c) {
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'f':
      return '\f';
    case 'x':
      return hexByte();
    default:
      if (isPlainEscapedPunct(c)) return c;
      return std::nullopt;
  }
}

// Boost reads at most two hex digits after \x; only the two-digit form is taken, so that a
// following hex-looking byte never changes the value.
std::optional<int> Translator::hexByte() {
  const int high = hexValue(peek());
  const int low = hexValue(peek(1));
  if (high < 0 || low < 0) return std::nullopt;
  pos_ += 2;
  return high * 16 + low;
}

std::optional<Bounds> Translator::quantifier() {
  std::optional<Bounds> b;
  switch (peek()) {
    case '?':
      b = Bounds{0, 1, false};
      break;
    case '*':
      b = Bounds{0, -1, false};
      break;
    case '+':
      b = Bounds{1, -1, false};
      break;
    default:
      return braces();
  }
  ++pos_;
  if (peek() == '?') ++pos_;  // laziness changes which match is found, never whether one is
  return b;
}

// {m}, {m,} or {m,n} with plain digits. Boost also skips spaces and reads a malformed brace as a
// literal; those spellings are left to it.
std::optional<Bounds> Translator::braces() {
  ++pos_;
  std::optional<long> lo = number();
  if (!lo) return std::nullopt;
  Bounds b{*lo, *lo, true};
  if (peek() == ',') {
    ++pos_;
    std::optional<long> hi = peek() == '}' ? std::optional<long>(-1) : number();
    if (!hi) return std::nullopt;
    b.hi = *hi;
  }
  if (peek() != '}' || (b.hi >= 0 && b.hi < b.lo)) return std::nullopt;
  ++pos_;
  if (peek() == '?') ++pos_;
  return b;
}

std::optional<long> Translator::number() {
  long value = 0;
  int digits = 0;
  while (peek() >= '0' && peek() <= '9') {
    value = value * 10 + (peek() - '0');
    ++pos_;
    if (++digits > 4) return std::nullopt;
  }
  if (digits == 0 || value > kMaxRepeat) return std::nullopt;
  return value;
}

// The text after [ up to and including its ]. A ] straight after [ or [^ is a literal in Boost,
// left to it, as is a [ inside brackets that does not open a POSIX class.
std::optional<ByteSet> Translator::bracket() {
  ByteSet set;
  const bool negate = peek() == '^';
  if (negate) ++pos_;
  if (peek() == ']') return std::nullopt;
  for (bool first = true; peek() != ']'; first = false) {
    if (peek() < 0 || !bracketItem(set, first)) return std::nullopt;
  }
  ++pos_;
  if (negate) set.flip();  // Boost's negated class takes newline and NUL like any other byte
  if (set.none()) return std::nullopt;
  return set;
}

// One byte, one range, a class escape or a POSIX class. Boost takes a - as itself only first or
// last, and refuses one straight after a range; ranges compare bytes as unsigned, as RE2's
// Latin-1 ranges do.
bool Translator::bracketItem(ByteSet& set, bool first) {
  if (peek() == '-') {
    if (!first && peek(1) != ']') return false;
    ++pos_;
    set.set('-');
    return true;
  }
  if (peek() == '\\' && isClassEscape(peek(1))) {
    set |= boostClass(std::string("[\\") + static_cast<char>(peek(1)) + "]");
    pos_ += 2;
    return true;
  }
  if (peek() == '[' && peek(1) == ':') return posixClass(set);
  std::optional<int> lo = bracketByte();
  if (!lo) return false;
  if (peek() != '-' || peek(1) == ']') {
    set.set(*lo);
    return true;
  }
  ++pos_;
  std::optional<int> hi = bracketByte();
  if (!hi || *hi < *lo) return false;
  for (int b = *lo; b <= *hi; ++b) set.set(b);
  return true;
}

// [:name:] inside brackets, for a name Boost knows; negated and unknown ones are left to it.
bool Translator::posixClass(ByteSet& set) {
  const std::size_t end = p_.find(":]", pos_ + 2);
  if (end == std::string_view::npos) return false;
  const std::string_view name = p_.substr(pos_ + 2, end - pos_ - 2);
  if (!isPosixClassName(name)) return false;
  set |= boostClass("[[:" + std::string(name) + ":]]");
  pos_ = end + 2;
  return true;
}

std::optional<int> Translator::bracketByte() {
  const int c = peek();
  if (c < 0 || c == '[' || c == ']' || c == '-') return std::nullopt;
  ++pos_;
  if (c == '\\') return escapedByte();
  return c;
}

}  // namespace

std::optional<SubsetRegex> parseSubset(std::string_view pattern) {
  std::optional<Fragment> f = Translator(pattern).translate();
  if (!f) return std::nullopt;
  return std::move(f->node);
}

std::string re2Text(const SubsetRegex& regex) {
  std::string out;
  appendRe2(out, regex);
  return out;
}

std::optional<std::string> translateToRe2(std::string_view pattern) {
  std::optional<SubsetRegex> regex = parseSubset(pattern);
  if (!regex) return std::nullopt;
  std::string text = re2Text(*regex);
  // A trial compile is cheap next to the table's lifetime, and turns any construct RE2 would
  // still refuse into a Boost fallback rather than a failure in the caller.
  if (!RE2(text, re2SubsetOptions()).ok()) return std::nullopt;
  return text;
}

RE2::Options re2SubsetOptions() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_posix_syntax(false);
  options.set_longest_match(false);
  options.set_dot_nl(true);
  options.set_never_nl(false);  // a newline inside a cell is text like any other byte
  options.set_case_sensitive(true);
  options.set_never_capture(true);
  options.set_log_errors(false);
  options.set_max_mem(kMaxMem);
  return options;
}

}  // namespace quorvel

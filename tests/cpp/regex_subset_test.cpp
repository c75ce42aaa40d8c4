// Tests of translateToRe2 and of the table automaton against Boost, whose regex_match defines
// what every pattern means: hand-picked patterns with the outcome each must have, then random
// patterns from a grammar of the translated subset (all of which must translate and agree with
// Boost, alone and combined into RE2 sets and into automata whose types they are) and from a
// wider grammar that strays outside it (whatever translates must still agree).

#include "match/regex_subset.h"

#include <gtest/gtest.h>
#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cstdint>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "match/re2_options.h"
#include "match/type_automaton.h"

namespace quorvel {
namespace {

using namespace std::string_literals;

// Bytes shown as C escapes so that a failure message names NULs, newlines and high bytes.
std::string show(const std::string& bytes) {
  std::ostringstream out;
  out << '"';
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (c >= 0x20 && c < 0x7f) {
      out << c;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out << "\\x" << kHex[c >> 4] << kHex[c & 15];
    }
  }
  out << '"';
  return out.str();
}

std::optional<boost::regex> compileBoost(const std::string& pattern) {
  try {
    return boost::regex(pattern);
  } catch (const boost::regex_error&) {
    return std::nullopt;
  }
}

// Boost's verdict on a whole text, or nullopt when Boost gives up on the match's complexity.
std::optional<bool> boostMatches(const boost::regex& re, const std::string& text) {
  try {
    return boost::regex_match(text, re);
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------------------------
// Hand-picked patterns.

struct Case {
  const char* name;
  std::string pattern;
  std::vector<std::string> matches;  // texts both engines must accept
  std::vector<std::string> misses;   // texts both engines must refuse
};

// A pattern that must be left to Boost, and why.
struct Rejected {
  const char* reason;
  std::string pattern;
};

const std::string kA1000(1000, 'a');
const std::string kA999(999, 'a');

const std::vector<Case> kTranslatedCases = {
    {"integer", "-?\\d+", {"12", "-0"}, {"", "-", "1a", "1\n", "\xd9\xa1"}},
    {"decimal", "-?\\d+(\\.\\d*)?", {"1", "1.", "-1.50"}, {".5", "1.5.", "1,5"}},
    {"dot takes every byte", "a.z", {"a\nz", "a\0z"s, "a\x80z", "a\xffz"}, {"az", "a"}},
    {"embedded NUL", "a\0b"s, {"a\0b"s}, {"a", "ab", "a\0"s}},
    {"high bytes", "caf\xc3\xa9", {"caf\xc3\xa9"}, {"cafe", "caf\xc3"}},
    {"quantifier on last byte", "\xc3\xa9+", {"\xc3\xa9\xa9"}, {"\xc3\xa9\xc3\xa9"}},
    {"hex escapes", "\\x41\\x00\\xff\\x0A", {"A\0\xff\n"s}, {"A\0\xff"s}},
    {"two hex digits only", "\\x41F", {"AF"}, {"A", "Af"}},
    {"control escapes", "\\n\\r\\t\\f", {"\n\r\t\f"}, {"nrtf", "\n\r\t\v"}},
    {"escaped operators", "\\.\\*\\+\\?\\(\\)\\[\\]\\{\\}\\|", {".*+?()[]{}|"}, {""}},
    {"escaped anchors and others", "\\^\\$\\\\\\/\\-\\ \\#\\_", {"^$\\/- #_"}, {"^$"}},
    {"literal space hash newline", "# a\n", {"# a\n"}, {"# a", "#a\n"}},
    {"non-digit", "\\D", {"a", "\n", "\0"s, "\xff"}, {"5", ""}},
    // Boost's classes in this process's locale, the classic one: nothing at or above 0x80.
    {"word class", "\\w+", {"a_Z9"}, {"a-b", "\xe9", "\xaa", ""}},
    {"space class", "\\s", {" ", "\t", "\n", "\v", "\f", "\r"}, {"a", "\xa0", "\x85", ""}},
    {"negated classes", "\\W\\S", {"-a", " _", "--"}, {"a-", "  ", "-\n"}},
    {"POSIX classes", "[[:alpha:][:digit:]][[:punct:]]", {"a.", "9_"}, {"a", "_.", "\xe9."}},
    {"class escapes inside brackets", "[\\w-][\\S\\s][^\\D]", {"_\n5", "-x0"}, {"._5", "a a"}},
    {"class with range and escapes", "[a-c\\d\\-.]+", {"a1-.", "cc"}, {"d", "\\", ""}},
    {"negated class", "[^a-c]", {"\n", "\0"s, "\xff", "d"}, {"a", "c", ""}},
    {"negated digits", "[^\\d]", {"a", "\n"}, {"0", "9"}},
    {"high range", "[\\x80-\\xff]+", {"\x80\xff"}, {"\x7f", "a"}},
    {"range across 0x80", "[\\x7f-\\x81]", {"\x7f", "\x80", "\x81"}, {"\x7e", "\x82"}},
    {"range of raw high bytes", "[\xe0-\xef]", {"\xe0", "\xe9"}, {"\xdf", "\xf0"}},
    {"dash first", "[-a]", {"-", "a"}, {"b"}},
    {"dash last", "[a-]", {"-", "a"}, {"b"}},
    {"dash after range", "[a-c-]", {"-", "b"}, {"d"}},
    {"dash first negated", "[^-a]", {"b"}, {"-", "a"}},
    {"caret not first", "[a^]", {"^", "a"}, {"b"}},
    {"escaped bracket bytes", "[\\]\\[\\\\\\^]", {"]", "[", "\\", "^"}, {"a"}},
    {"anchors at both ends", "^ab$", {"ab"}, {"ab\n", "\nab", ""}},
    {"anchored alternatives", "^a|b$", {"a", "b"}, {"ab", "a\n"}},
    {"lone dollar", "$", {""}, {"\n"}},
    {"lone anchors", "^$", {""}, {"\n"}},
    {"escaped dollar last", "a\\$", {"a$"}, {"a"}},
    {"anchor after escaped backslash", "a\\\\$", {"a\\"}, {"a\\$", "a"}},
    {"empty pattern", "", {""}, {"a", "\n"}},
    {"empty alternatives", "a||b|", {"", "a", "b"}, {"ab"}},
    {"empty groups", "()(?:)a()*(|x)", {"a", "ax"}, {"", "xa"}},
    {"counted repeats", "a{2}b{1,}c{0,2}", {"aabc", "aabbbcc"}, {"abc", "aabccc"}},
    {"lazy quantifiers", "a*?b+?c??d{1,2}?", {"bd", "aabbcdd"}, {"d", "bddd"}},
    {"zero repeat", "ab{0}", {"a"}, {"ab"}},
    {"repeated alternation", "(a|bc)*d", {"d", "abcad"}, {"bd", "abc"}},
    {"bound at the limit", "a{1000}", {kA1000}, {kA999}},
    {"nested bounds at the limit", "(a{10}){100}", {kA1000}, {kA999}},
};

const std::vector<Rejected> kRejected = {
    {"vertical space, a class outside brackets", "\\v"},
    {"horizontal space", "\\h"},
    {"negated POSIX class", "[[:^alpha:]]"},
    {"unknown POSIX class", "[[:alphabet:]]"},
    {"unclosed POSIX class", "[[:alpha]"},
    {"dash after a class", "[\\w-z]"},
    {"bell and escape", "\\a\\e"},
    {"word boundary", "a\\b"},
    {"word start", "\\<a"},
    {"buffer anchors", "\\Aa\\z"},
    {"quoted buffer anchors", "\\`a\\'"},
    {"soft end", "a\\Z"},
    {"bracket inside class", "[[]"},
    {"backreference", "(a)\\1"},
    {"octal", "\\012"},
    {"lookahead", "(?=a)a"},
    {"inline flag", "(?i)a"},
    {"flag group", "(?i:a)"},
    {"atomic group", "(?>a)"},
    {"verb", "(*ACCEPT)a"},
    {"quoting", "\\Qa.\\E"},
    {"braced hex", "\\x{41}"},
    {"short hex", "\\x4"},
    {"NUL after backslash", "\\\0"s},
    {"trailing backslash", "a\\"},
    {"caret inside", "a\n^b"},
    {"dollar inside", "a$\n"},
    {"caret in a group", "(^a)"},
    {"caret after alternation", "a|^b"},
    {"quantified anchor", "^*a"},
    {"possessive", "a*+"},
    {"possessive braces", "a{1,2}+"},
    {"stacked quantifiers", "a**"},
    {"stacked braces", "a{2}{3}"},
    {"nothing to repeat", "*a"},
    {"nothing to repeat in a group", "(+a)"},
    {"nothing to repeat after bar", "a|?b"},
    {"braces with nothing to repeat", "{2}"},
    {"open brace as literal", "a{"},
    {"malformed braces", "a{x}"},
    {"braces without minimum", "a{,2}"},
    {"braces with spaces", "a{ 1}"},
    {"unclosed braces", "a{1,2"},
    {"reversed bounds", "a{3,2}"},
    {"bound over the limit", "a{1001}"},
    {"long bound", "a{00001}"},
    {"nested bounds over the limit", "(a{10}){101}"},
    {"too costly", "(abcdefghijabcdefghijabcdefghijabcdefghijabcdefghij){1000}"},
    {"reversed range", "[z-a]"},
    {"dash inside", "[a-c-e]"},
    {"dash after class escape", "[\\d-z]"},
    {"class escape as range end", "[a-\\d]"},
    {"leading close bracket", "[]a]"},
    {"leading close bracket negated", "[^]a]"},
    {"empty negated class", "[^\\x00-\\xff]"},
    {"stray close brace", "a}"},
    {"stray close bracket", "a]"},
    {"unclosed group", "(a"},
    {"unopened group", "a)"},
    {"unclosed class", "[a"},
    {"deep nesting", std::string(150, '(') + "a" + std::string(150, ')')},
};

void checkCase(const Case& c) {
  SCOPED_TRACE(c.name);
  std::optional<std::string> translation = translateToRe2(c.pattern);
  ASSERT_TRUE(translation) << show(c.pattern);
  boost::regex boostRe(c.pattern);
  RE2 re2("(?:" + *translation + ")", re2SubsetOptions());
  ASSERT_TRUE(re2.ok()) << re2.error();
  for (bool expected : {true, false}) {
    for (const std::string& text : expected ? c.matches : c.misses) {
      EXPECT_EQ(boostMatches(boostRe, text), expected) << show(text);
      EXPECT_EQ(RE2::FullMatch(text, re2), expected) << show(*translation) << " " << show(text);
    }
  }
}

TEST(Re2SubsetTest, HandPickedPatternsTranslateAndMatchLikeBoost) {
  for (const Case& c : kTranslatedCases) checkCase(c);
}

TEST(Re2SubsetTest, HandPickedPatternsOutsideTheSubsetAreLeftToBoost) {
  for (const Rejected& r : kRejected) {
    EXPECT_EQ(translateToRe2(r.pattern), std::nullopt) << r.reason << ": " << show(r.pattern);
  }
}

// ---------------------------------------------------------------------------------------------
// Random patterns: a small grammar, written out as pattern text and walked to produce texts that
// the pattern should match.

using Rng = std::mt19937;

int pick(Rng& rng, int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
bool chance(Rng& rng, int percent) { return pick(rng, 100) < percent; }
template <class T>
const T& choose(Rng& rng, const std::vector<T>& v) {
  return v[pick(rng, static_cast<int>(v.size()))];
}

// A node of a random pattern. A leaf is pattern text with texts it matches (a guess for leaves
// outside the subset); a group holds alternatives, each a sequence of nodes.
struct Node {
  std::string text;  // a leaf's text, or a group's opening: "(" or "(?:" (wider: "(?i:" ...)
  std::vector<std::string> samples;
  std::vector<std::vector<Node>> branches;
  std::string quantifier;
  int minCount = 1;
  int maxCount = 1;
};

Node leafNode(std::string text, std::vector<std::string> samples) {
  Node node;
  node.text = std::move(text);
  node.samples = std::move(samples);
  return node;
}

// Leaves of the subset grammar: bytes written as themselves, punctuation written after a
// backslash, and the other escapes with the bytes each one matches.
const std::string kPlainBytes = "abc09 -,#\n\0\x80\xff\xc3\xa9"s;
const std::string kEscapedPunct = ".\\-$^*()[]{}|/ _\"#,!%&:;=@~";

struct Leaf {
  std::string text;
  std::string choices;  // the leaf matches any one of these bytes
};

const std::vector<Leaf> kEscapeLeaves = {{"\\n", "\n"},
                                         {"\\r", "\r"},
                                         {"\\t", "\t"},
                                         {"\\f", "\f"},
                                         {"\\x00", "\0"s},
                                         {"\\x0a", "\n"},
                                         {"\\x41", "A"},
                                         {"\\x7F", "\x7f"},
                                         {"\\x80", "\x80"},
                                         {"\\xff", "\xff"},
                                         {"\\d", "059"},
                                         {"\\D", "a\n\0\xff-"s},
                                         {".", "a\n\0\x80\xff."s},
                                         {"\\w", "aZ_0"},
                                         {"\\W", "-\n\xff "},
                                         {"\\s", " \t\n\v"},
                                         {"\\S", "a\xff-"}};

// Constructs outside the subset. Their texts are not modelled: a sample guesses among a few.
const std::vector<std::string> kWiderLeaves = {
    "\\s",          "\\S",       "\\w",      "\\W",     "\\b",   "\\B",     "[[:alpha:]]",
    "[[:digit:]a]", "[[.a.]]",   "[[=a=]]",  "\\1",     "(?=a)", "(?!b)",   "(?<=a)",
    "(?i)",         "(?s)",      "(?m)",     "(?x)",    "^",     "$",       "\\A",
    "\\z",          "\\Z",       "\\v",      "\\a",     "\\e",   "\\<",     "\\>",
    "\\`",          "\\'",       "\\Qa.\\E", "\\x{41}", "\\0",   "\\012",   "\\x4",
    "\\h",          "\\R",       "\\K",      "\\X",     "\\C",   "\\G",     "\\N",
    "\\p{alpha}",   "\\cA",      "{",        "}",       "]",     "[]a]",    "[^]a]",
    "[a-c-e]",      "[z-a]",     "[\\w.]",   "[\\s]",   "[\\D]", "[a-\\d]", "[\\v]",
    "(?#c)",        "(*ACCEPT)", "\\",       "(",       ")",     "*",       "?",
    "\\<a",         "\\g1",      "\\k<n>"};
const std::vector<std::string> kWiderSamples = {"", "a", "A", "1", " ", "\n", "_", "\v"};

const std::vector<std::string> kWiderQuantifiers = {
    "*+", "++",     "?+",     "{1,2}+", "{1, 2}", "{,2}", "{2", "{x}",
    "**", "{2}{3}", "{1001}", "{3,2}",  "{ 1}",   "*{2}", "+*", "{1}?+"};

const std::vector<std::string> kWiderGroupOpenings = {"(?i:",  "(?>", "(?=",   "(?!",
                                                      "(?<n>", "(?|", "(?-i:", "(?<!"};

// Bytes written as themselves inside brackets.
const std::string kClassBytes = "abz0.*$|({\0\n\x80\xff"s;

// Ranges and \d inside brackets: the text and the first and last byte it stands for in Boost.
const std::vector<Leaf> kClassRanges = {{"a-f", "af"},
                                        {"0-9", "09"},
                                        {"A-Z", "AZ"},
                                        {"\\x00-\\x1f", "\0\x1f"s},
                                        {"\\x7f-\\x81", "\x7f\x81"},
                                        {"\\x80-\\xff", "\x80\xff"},
                                        {"\\x01-\\xfe", "\x01\xfe"},
                                        {"\x80-\xff", "\x80\xff"},
                                        {" -/", " /"},
                                        {"\\--/", "-/"},
                                        {"\\n-\\r", "\n\r"},
                                        {"\\d", "09"}};

// Appends one class item to `body` and marks the bytes it stands for: a plain byte, escaped
// punctuation, a single-byte escape, or a range.
void appendClassItem(Rng& rng, std::string& body, std::vector<bool>& in) {
  const int kind = pick(rng, 4);
  if (kind < 2) {
    const std::string& bytes = kind == 0 ? kClassBytes : kEscapedPunct;
    const char byte = bytes[pick(rng, static_cast<int>(bytes.size()))];
    body += kind == 0 ? std::string(1, byte) : "\\" + std::string(1, byte);
    in[static_cast<unsigned char>(byte)] = true;
    return;
  }
  const Leaf* item = &choose(rng, kClassRanges);
  if (kind == 2) {  // single-byte escapes only: \d, \D and . differ inside brackets
    do {
      item = &choose(rng, kEscapeLeaves);
    } while (item->choices.size() != 1);
  }
  body += item->text;
  const int lo = static_cast<unsigned char>(item->choices.front());
  const int hi = static_cast<unsigned char>(item->choices.back());
  for (int b = lo; b <= hi; ++b) in[b] = true;
}

// A bracket class of one to three items, a leading or trailing dash and maybe a negation; its
// samples are bytes drawn from the class as Boost reads it.
Node randomClass(Rng& rng) {
  std::vector<bool> in(256, false);
  std::string body;
  if (chance(rng, 15)) {
    body += '-';
    in['-'] = true;
  }
  for (int n = 1 + pick(rng, 3); n > 0; --n) appendClassItem(rng, body, in);
  if (chance(rng, 15)) {
    body += '-';
    in['-'] = true;
  }
  const bool negate = chance(rng, 30) && std::count(in.begin(), in.end(), true) < 256;
  if (negate) in.flip();
  std::vector<std::string> members;
  for (int b = 0; b < 256; ++b) {
    if (in[b]) members.push_back(std::string(1, static_cast<char>(b)));
  }
  Node node = leafNode((negate ? "[^" : "[") + body + "]", {});
  for (int n = 0; n < 6; ++n) node.samples.push_back(choose(rng, members));
  return node;
}

class PatternGenerator {
 public:
  PatternGenerator(uint32_t seed, bool wider) : rng_(seed), wider_(wider) {}

  // A whole pattern: the top-level alternatives as a group without parentheses.
  Node next() {
    Node root;
    root.branches = branches(0);
    if (chance(rng_, 15)) root.text = "^";
    if (chance(rng_, 15)) root.quantifier = "$";
    return root;
  }

  Rng& rng() { return rng_; }

 private:
  std::vector<std::vector<Node>> branches(int depth) {
    std::vector<std::vector<Node>> out(chance(rng_, 70) ? 1 : 2 + pick(rng_, 2));
    for (std::vector<Node>& branch : out) {
      for (int n = chance(rng_, 5) ? 0 : 1 + pick(rng_, 4); n > 0; --n) {
        branch.push_back(piece(depth));
      }
    }
    return out;
  }

  Node piece(int depth) {
    Node node = atom(depth);
    if (chance(rng_, 35)) quantify(node);
    return node;
  }

  Node atom(int depth) {
    if (wider_ && chance(rng_, 8)) return leafNode(choose(rng_, kWiderLeaves), kWiderSamples);
    if (wider_ && chance(rng_, 6)) return leafNode(chance(rng_, 50) ? "^" : "$", {"", "\n"});
    if (depth < 3 && chance(rng_, 20)) {
      Node group;
      group.text = chance(rng_, 50) ? "(" : "(?:";
      group.branches = branches(depth + 1);
      if (wider_ && chance(rng_, 10)) group.text = choose(rng_, kWiderGroupOpenings);
      return group;
    }
    if (chance(rng_, 15)) return randomClass(rng_);
    return leaf();
  }

  Node leaf() {
    const int kind = pick(rng_, 3);
    if (kind < 2) {
      const std::string& bytes = kind == 0 ? kPlainBytes : kEscapedPunct;
      const std::string byte(1, bytes[pick(rng_, static_cast<int>(bytes.size()))]);
      return leafNode(kind == 0 ? byte : "\\" + byte, {byte});
    }
    const Leaf& leaf = choose(rng_, kEscapeLeaves);
    Node node = leafNode(leaf.text, {});
    for (char c : leaf.choices) node.samples.push_back(std::string(1, c));
    return node;
  }

  void quantify(Node& node) {
    static const std::vector<std::string> kSimple = {"?", "*", "+"};
    const int kind = pick(rng_, 6);
    const int lo = pick(rng_, 3);
    const int hi = lo + pick(rng_, 3);
    if (kind < 3) {
      node.quantifier = kSimple[kind];
      node.minCount = kind == 2 ? 1 : 0;
      node.maxCount = kind == 0 ? 1 : 3;
    } else {
      node.quantifier = "{" + std::to_string(lo) + (kind == 3 ? "" : ",") +
                        (kind == 5 ? std::to_string(hi) : "") + "}";
      node.minCount = lo;
      node.maxCount = kind == 3 ? lo : (kind == 4 ? lo + 2 : hi);
    }
    if (chance(rng_, 25)) node.quantifier += '?';
    if (wider_ && chance(rng_, 10)) node.quantifier = choose(rng_, kWiderQuantifiers);
  }

  Rng rng_;
  bool wider_;
};

std::string render(const std::vector<std::vector<Node>>& branches);

std::string render(const Node& node) {
  if (node.branches.empty()) return node.text + node.quantifier;
  return node.text + render(node.branches) + ")" + node.quantifier;
}

std::string render(const std::vector<std::vector<Node>>& branches) {
  std::string out;
  for (size_t i = 0; i < branches.size(); ++i) {
    if (i > 0) out += '|';
    for (const Node& node : branches[i]) out += render(node);
  }
  return out;
}

std::string renderPattern(const Node& root) {
  return root.text + render(root.branches) + root.quantifier;
}

void sample(const Node& node, Rng& rng, std::string& out);

void sampleBranches(const std::vector<std::vector<Node>>& branches, Rng& rng, std::string& out) {
  for (const Node& node : choose(rng, branches)) sample(node, rng, out);
}

void sample(const Node& node, Rng& rng, std::string& out) {
  for (int n = node.minCount + pick(rng, node.maxCount - node.minCount + 1); n > 0; --n) {
    if (node.branches.empty()) {
      out += choose(rng, node.samples);
    } else {
      sampleBranches(node.branches, rng, out);
    }
  }
}

// NUL, line ends, high bytes, digits, letters and the punctuation the grammars use.
const std::string kAlphabet =
    "\0\n\r\t\f\v\x80\xff\xc3\xa9"
    "0159abczAZ_ -.,#$^*()[]{}|\\/\"+?"s;

std::string randomText(Rng& rng) {
  std::string text;
  for (int n = pick(rng, 7); n > 0; --n) text += kAlphabet[pick(rng, kAlphabet.size())];
  return text;
}

// One random edit, so that near misses of the pattern are tried too.
std::string mutate(std::string text, Rng& rng) {
  const char byte = kAlphabet[pick(rng, kAlphabet.size())];
  const int at = pick(rng, static_cast<int>(text.size()) + 1);
  switch (pick(rng, 4)) {
    case 0:
      return text.insert(at, 1, byte);
    case 1:
      return text.empty() ? text : text.erase(std::min<size_t>(at, text.size() - 1), 1);
    case 2:
      return text.empty() ? text : text.replace(std::min<size_t>(at, text.size() - 1), 1, 1, byte);
    default:
      return text + text;
  }
}

std::vector<std::string> textsFor(const Node& root, Rng& rng) {
  std::vector<std::string> texts;
  for (int n = 0; n < 10; ++n) texts.push_back(randomText(rng));
  for (int n = 0; n < 10; ++n) {
    std::string text;
    sampleBranches(root.branches, rng, text);
    texts.push_back(n < 6 ? text : mutate(text, rng));
  }
  return texts;
}

struct Tally {
  long patterns = 0;
  long translated = 0;
  long boostRefused = 0;
  long pairs = 0;
  long matches = 0;
  long skipped = 0;
  long combined = 0;   // texts checked against a whole group of patterns
  long automaton = 0;  // texts checked against an automaton of a group
  long leftOut = 0;    // groups whose automaton left a type out for its size
  long failures = 0;
};

// Puts the counts in the test report, so a run shows how much was checked.
void recordTally(const Tally& tally) {
  const std::pair<const char*, long> counts[] = {{"patterns", tally.patterns},
                                                 {"translated", tally.translated},
                                                 {"boostRefused", tally.boostRefused},
                                                 {"pairs", tally.pairs},
                                                 {"matches", tally.matches},
                                                 {"skipped", tally.skipped},
                                                 {"combined", tally.combined},
                                                 {"automaton", tally.automaton},
                                                 {"leftOut", tally.leftOut}};
  for (const auto& [name, count] : counts)
    ::testing::Test::RecordProperty(name, std::to_string(count));
}

// Compares the translation with Boost on every text, reporting only the first disagreements.
void checkAgreement(const std::string& pattern, const boost::regex& boostRe,
                    const std::string& translation, const std::vector<std::string>& texts,
                    Tally& tally) {
  RE2 re2("(?:" + translation + ")", re2SubsetOptions());
  ASSERT_TRUE(re2.ok()) << show(pattern) << " as " << show(translation) << ": " << re2.error();
  for (const std::string& text : texts) {
    std::optional<bool> expected = boostMatches(boostRe, text);
    if (!expected) {
      ++tally.skipped;
      continue;
    }
    ++tally.pairs;
    tally.matches += *expected;
    if (RE2::FullMatch(text, re2) != *expected && ++tally.failures <= 20) {
      ADD_FAILURE() << show(pattern) << " as " << show(translation) << " on " << show(text)
                    << ": Boost says " << *expected;
    }
  }
}

// A pattern that translated, kept for the combined check.
struct Translated {
  std::string pattern;
  boost::regex boostRe;
  std::string translation;
  SubsetRegex tree;
  std::vector<std::string> texts;
};

// The indices of the patterns Boost matches the text with, or nullopt if Boost gave up on one.
std::optional<std::vector<int>> boostHits(const std::vector<Translated>& group,
                                          const std::string& text) {
  std::vector<int> hits;
  for (size_t i = 0; i < group.size(); ++i) {
    std::optional<bool> m = boostMatches(group[i].boostRe, text);
    if (!m) return std::nullopt;
    if (*m) hits.push_back(static_cast<int>(i));
  }
  return hits;
}

// Translations must also hold side by side: wrapped and alternated in one RE2, and in an
// RE2::Set anchored at both ends. Both must report what Boost reports pattern by pattern.
void checkCombined(const std::vector<Translated>& group, Tally& tally) {
  RE2::Set set(re2SubsetOptions(), RE2::ANCHOR_BOTH);
  std::string alternation;
  for (const Translated& t : group) {
    ASSERT_GE(set.Add(t.translation, nullptr), 0) << show(t.translation);
    alternation += (alternation.empty() ? "(?:" : "|(?:") + t.translation + ")";
  }
  ASSERT_TRUE(set.Compile());
  RE2 either("(?:" + alternation + ")", re2SubsetOptions());
  ASSERT_TRUE(either.ok()) << either.error();
  for (const Translated& source : group) {
    for (const std::string& text : source.texts) {
      std::optional<std::vector<int>> expected = boostHits(group, text);
      if (!expected) continue;
      ++tally.combined;
      std::vector<int> got;
      set.Match(text, &got);
      std::sort(got.begin(), got.end());
      if ((got != *expected || RE2::FullMatch(text, either) != !expected->empty()) &&
          ++tally.failures <= 20) {
        ADD_FAILURE() << "combined " << show(alternation) << " on " << show(text);
      }
    }
  }
}

// The group as a table of two types, the first pattern alone and the other two together: one
// walk of their automaton must tell what Boost tells type by type.
void checkAutomaton(const std::vector<Translated>& group, Tally& tally) {
  const TypeAutomaton automaton({{group[0].tree}, {group[1].tree, group[2].tree}});
  if (!automaton.includes(0) || !automaton.includes(1)) {
    ++tally.leftOut;
    return;
  }
  for (const Translated& source : group) {
    for (const std::string& text : source.texts) {
      std::optional<std::vector<int>> hits = boostHits(group, text);
      if (!hits) continue;
      ++tally.automaton;
      const auto hit = [&](int i) { return std::count(hits->begin(), hits->end(), i) > 0; };
      const std::uint64_t expected = (hit(0) ? 1 : 0) | (hit(1) || hit(2) ? 2 : 0);
      if (automaton.matches(text)[0] != expected && ++tally.failures <= 20) {
        ADD_FAILURE() << "automaton of " << show(group[0].pattern) << " and "
                      << show(group[1].pattern) << " | " << show(group[2].pattern) << " on "
                      << show(text);
      }
    }
  }
}

// Draws `count` patterns per seed; returns those that translated.
void runGrammar(bool wider, int count, Tally& tally, std::vector<Translated>& kept) {
  for (uint32_t seed : {11u, 23u, 37u, 41u, 59u}) {
    PatternGenerator generator(seed, wider);
    for (int n = 0; n < count; ++n) {
      const Node root = generator.next();
      const std::string pattern = renderPattern(root);
      ++tally.patterns;
      std::optional<boost::regex> boostRe = compileBoost(pattern);
      std::optional<std::string> translation = translateToRe2(pattern);
      if (!boostRe) {
        ++tally.boostRefused;
        EXPECT_FALSE(translation) << "Boost refuses " << show(pattern);
        continue;
      }
      if (!wider) {
        EXPECT_TRUE(translation) << "subset pattern not translated: " << show(pattern);
      }
      if (!translation) continue;
      ++tally.translated;
      std::vector<std::string> texts = textsFor(root, generator.rng());
      checkAgreement(pattern, *boostRe, *translation, texts, tally);
      std::optional<SubsetRegex> tree = parseSubset(pattern);
      ASSERT_TRUE(tree) << show(pattern);
      kept.push_back({pattern, *boostRe, *translation, std::move(*tree), std::move(texts)});
    }
  }
}

TEST(Re2SubsetTest, RandomSubsetPatternsAgreeWithBoostAloneAndCombined) {
  Tally tally;
  std::vector<Translated> kept;
  runGrammar(false, 800, tally, kept);
  for (size_t i = 0; i + 3 <= kept.size(); i += 3) {
    checkCombined({kept[i], kept[i + 1], kept[i + 2]}, tally);
    checkAutomaton({kept[i], kept[i + 1], kept[i + 2]}, tally);
  }
  EXPECT_EQ(tally.failures, 0);
  EXPECT_EQ(tally.boostRefused, 0);
  EXPECT_EQ(tally.translated, tally.patterns);
  EXPECT_GT(tally.combined, tally.pairs / 2);
  EXPECT_GT(tally.automaton, tally.pairs / 2);
  EXPECT_LT(tally.leftOut * 100, static_cast<long>(kept.size()));
  // Generated texts must actually match often, or agreement would say little.
  EXPECT_GT(tally.matches * 4, tally.pairs);
  EXPECT_LT(tally.skipped * 1000, tally.pairs);
  recordTally(tally);
}

TEST(Re2SubsetTest, RandomWiderPatternsTranslateOnlyWhenTheyAgree) {
  Tally tally;
  std::vector<Translated> kept;
  runGrammar(true, 800, tally, kept);
  for (size_t i = 0; i + 3 <= kept.size(); i += 3) {
    checkAutomaton({kept[i], kept[i + 1], kept[i + 2]}, tally);
  }
  EXPECT_GT(tally.automaton, tally.pairs / 2);
  EXPECT_EQ(tally.failures, 0);
  // Both outcomes must occur often enough for the test to mean something.
  EXPECT_GT(tally.translated * 5, tally.patterns);
  EXPECT_GT((tally.patterns - tally.translated) * 5, tally.patterns);
  EXPECT_GT(tally.boostRefused, 0);
  EXPECT_GT(tally.matches * 10, tally.pairs);
  EXPECT_LT(tally.skipped * 1000, tally.pairs);
  recordTally(tally);
}

}  // namespace
}  // namespace quorvel

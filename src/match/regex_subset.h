// The plain part of Boost's Perl regular-expression syntax: parsed into a tree that automata are
// built from, or translated into RE2 text for the matcher's fallback, so that whole-string tests
// of cell texts can run on automata while Boost keeps the last word on what a pattern means: a
// pattern outside that part is not parsed and stays with Boost. No engine header is needed to
// use it; the options RE2 text must be compiled with are in re2_options.h.
//
//   std::optional<SubsetRegex> tree = quorvel::parseSubset("-?\\d+(\\.\\d*)?");
//   std::optional<std::string> text = quorvel::translateToRe2("-?\\d+(\\.\\d*)?");

#ifndef QUORVEL_MATCH_REGEX_SUBSET_H
#define QUORVEL_MATCH_REGEX_SUBSET_H

#include <bitset>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// A parsed pattern: what it fully matches, as bytes. Anchors are gone (they only ever stand at
// the ends) and groups are just nesting.
struct SubsetRegex {
  using ByteSet = std::bitset<256>;
  enum class Kind {
    kBytes,        // one byte out of `bytes`
    kSequence,     // the children one after another; with none, the empty text
    kAlternation,  // any one of the children
    kRepeat,       // the one child, from `min` to `max` times (max < 0: no bound)
  };
  Kind kind = Kind::kSequence;
  ByteSet bytes;
  std::vector<SubsetRegex> children;
  long min = 0;
  long max = -1;
};

// The tree of `pattern` when it lies in the part described below, else nullopt. Counted
// repetitions are bounded (see there), so a tree expands to at most tens of thousands of steps.
std::optional<SubsetRegex> parseSubset(std::string_view pattern);

// RE2 text that fully matches what `regex` matches, under re2SubsetOptions().
std::string re2Text(const SubsetRegex& regex);

// Returns RE2 text that fully matches exactly the byte strings (NUL and bytes >= 0x80 included)
// that boost::regex_match accepts for `pattern` compiled as a boost::regex with default flags, or
// nullopt when the pattern lies outside the translated part or Boost would refuse it.
//
// The translated part: literal bytes (embedded NULs too: the whole view is read); `\` before
// punctuation other than < > ` '; \n \r \t \f; \xHH with two hex digits; \d \D \w \W \s \S;
// `.`; bracket classes of bytes, ranges, those escapes and POSIX classes such as [:alpha:],
// negated or not, with `-` only first or last; ( ) and (?: ) groups; alternation with empty
// branches; the quantifiers ? * + {m} {m,} {m,n} and their lazy forms, with bounds up to 1000
// and nested bounds multiplying to at most 1000; `^` only as the first byte of the pattern and
// `$` only as its last. The bytes of a class are those Boost gives it when the pattern is parsed.
//
// Contract on the result: it holds no anchors, flags or capturing groups, so it stays correct
// wrapped in (?:...) and alternated with other results; it must be compiled with
// re2SubsetOptions(), under which it is known to compile.
std::optional<std::string> translateToRe2(std::string_view pattern);

}  // namespace quorvel

#endif  // QUORVEL_MATCH_REGEX_SUBSET_H

// How fast the matcher of a type table answers, on the distinct texts of a
// CSV file: the membership of all types for one text (one walk of the
// automaton), the first match along a trial order, and how long building the
// matcher takes, for the given table and for a table of 50 types of 4
// patterns made from it. The table comes as lines "type<TAB>pattern".
//
//   matcher_bench data.csv types.tsv     # prints ns per text and build ms
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "match/regex_subset.h"
#include "match/type_automaton.h"
#include "match/type_matcher.h"
#include "parser.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Table = std::map<std::string, std::vector<std::string>>;

Table readTable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  Table table;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    table[line.substr(0, tab)].emplace_back(line.substr(tab + 1));
  }
  return table;
}

std::vector<std::string> distinctTexts(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  CsvParser parser(file);
  parser.delimiter(',');
  std::unordered_set<std::string> seen;
  std::vector<std::string> texts;
  bool header = true;
  for (const auto& row : parser) {
    for (const std::string& cell : row) {
      if (!header && seen.insert(cell).second) texts.push_back(cell);
    }
    header = false;
  }
  return texts;
}

std::vector<quorvel::TypePatterns> typesOf(const Table& table) {
  std::vector<quorvel::TypePatterns> types;
  for (const auto& [name, patterns] : table) {
    types.push_back({static_cast<quorvel::TypeId>(types.size()), &patterns});
  }
  return types;
}

// 50 types of 4 patterns: the table's patterns taken round, each type's
// behind a prefix of its own so that the types differ.
Table widerTable(const Table& table) {
  std::vector<std::string> sources;
  for (const auto& entry : table) {
    for (const std::string& pattern : entry.second) sources.push_back(pattern);
  }
  Table wider;
  for (int t = 0; t < 50; ++t) {
    for (int p = 0; p < 4; ++p) {
      const std::string& source = sources[(t * 4 + p) % sources.size()];
      wider["t" + std::to_string(t)].emplace_back("t" + std::to_string(t) + ":" + source);
    }
  }
  return wider;
}

double millisToBuild(const Table& table) {
  const auto types = typesOf(table);
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    const quorvel::TypeMatcher matcher(types);
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

// Median over rounds of the mean time per text.
template <class Query>
double nanosPerText(const std::vector<std::string>& texts, Query query) {
  std::vector<double> rounds;
  for (int round = 0; round < 7; ++round) {
    const auto start = Clock::now();
    for (const std::string& text : texts) query(text);
    rounds.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                     static_cast<double>(texts.size()));
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: matcher_bench data.csv types.tsv\n");
    return 2;
  }
  const Table table = readTable(argv[2]);
  const std::vector<std::string> texts = distinctTexts(argv[1]);
  const auto types = typesOf(table);
  const quorvel::TypeMatcher matcher(types);
  std::size_t onAutomaton = 0;
  std::vector<quorvel::TypeId> order;
  for (const auto& type : types) {
    onAutomaton += matcher.onAutomaton(type.id);
    order.push_back(type.id);
  }
  std::uint64_t found = 0;  // a use of every answer, so the compiler keeps the work
  std::vector<std::vector<quorvel::SubsetRegex>> parsed;
  for (const auto& entry : table) {
    std::vector<quorvel::SubsetRegex>& trees = parsed.emplace_back();
    for (const std::string& pattern : entry.second) {
      if (auto tree = quorvel::parseSubset(pattern)) trees.push_back(std::move(*tree));
    }
  }
  const quorvel::TypeAutomaton automaton(parsed);
  const double walk =
      nanosPerText(texts, [&](const std::string& text) { found += automaton.matches(text)[0]; });
  std::vector<quorvel::TypeId> matching;
  const double all = nanosPerText(texts, [&](const std::string& text) {
    matcher.matchingTypes(text, matching);
    found += matching.size();
  });
  const double first = nanosPerText(texts, [&](const std::string& text) {
    found += static_cast<std::uint64_t>(matcher.firstMatch(order, text) + 1);
  });
  std::printf("distinct texts %zu, types %zu, on the automaton %zu, automaton %zu bytes\n",
              texts.size(), types.size(), onAutomaton, matcher.automatonBytes());
  std::printf("membership of all types, one walk %.1f ns per text (median of 7 rounds)\n", walk);
  std::printf("membership of all types as type ids %.1f ns per text (median of 7 rounds)\n", all);
  std::printf("first match in table order %.1f ns per text (median of 7 rounds)\n", first);
  std::printf("build the table's matcher %.2f ms (best of 5)\n", millisToBuild(table));
  std::printf("build 50 types x 4 patterns %.2f ms (best of 5)\n",
              millisToBuild(widerTable(table)));
  std::printf("answers %llu\n", static_cast<unsigned long long>(found));
  return 0;
}

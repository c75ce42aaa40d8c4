// libFuzzer target for the whole inference pass. The input is written out as
// a CSV file, and the file gets one single-threaded and one multithreaded
// pass, each on a new Inf object and each writing its types file. The two
// must agree on the counts, the column names, the row count, the bytes of
// the types file, the first cells kept of each column and type, and the
// counts of short and long rows. Of the three pattern tables, two are such
// that no text matches two types, so a cell's type follows from its text
// alone, whatever the trial order, the cache window or the thread that
// matched it; that lets each pass also be checked against results worked out
// here from the rows CsvParser yields. One of those two is all on the
// automaton, so that both passes count without the cache; the other has a
// pattern only Boost matches. On the third, whose types overlap, the trial
// orders and the cache decide, and the passes are held to each other only.
// The single-threaded pass tokenizes on the scalar scan path, the
// multithreaded one on the fastest the machine has.
//
// A file that starts with the magic of a compressed format is decompressed,
// and random bytes after the magic are rarely a whole stream: for those the
// two passes must fail with the same message, or agree.
//
// Input layout: byte 0 the delimiter, byte 1 the cache window (its low three
// bits pick one of kWindows: below 1 the cache is never emptied) and the
// table (the bits above, modulo 3, pick one of Table), and the CSV from
// byte 2 on.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "escaped.h"
#include "inf.h"
#include "io/input_stream.h"
#include "parser.hpp"

namespace {

using quorvel::CandidateCounts;

const int kWindows[] = {1, 2, 3, 5, 1000, -1, 0, -5};

enum class Table { kDisjoint, kDisjointOnAutomaton, kOverlapping };

// In the first two tables no text matches two types; typeOf() says by hand
// which one, if any, a text belongs to.
const quorvel::PatternStrings& patternTable(Table which) {
  static const quorvel::PatternStrings onAutomaton = {
      {"int", {"[0-9]+"}},
      {"word", {"[a-z]+"}},
      {"upper", {"[A-Z][A-Z0-9]*"}},
      // Two patterns for one type.
      {"hex", {"0x[0-9a-f]+", "#[0-9a-f]{6}"}},
  };
  static const quorvel::PatternStrings disjoint = [] {
    quorvel::PatternStrings table = onAutomaton;
    // A back-reference, which only Boost matches: the table takes both of
    // the matcher's paths.
    table["pair"] = {"(\\d)-\\1"};
    return table;
  }();
  // Digits are also hex and short texts; the type with the empty name is
  // never cached.
  static const quorvel::PatternStrings overlapping = {
      {"int", {"[0-9]+"}},     {"hex", {"[0-9a-f]+"}}, {"short", {".{1,2}"}},
      {"word", {"[a-z]+"}},    {"", {"[0-9a]{2}"}},    {"upper", {"[A-Z][A-Z0-9]*"}},
      {"pair", {"(\\d)-\\1"}},
  };
  switch (which) {
    case Table::kDisjoint:
      return disjoint;
    case Table::kDisjointOnAutomaton:
      return onAutomaton;
    default:
      return overlapping;
  }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isUpperOrDigit(char c) { return isUpper(c) || isDigit(c); }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }

bool allFrom(const std::string& text, std::size_t start, bool (*accepts)(char)) {
  return start < text.size() && std::all_of(text.begin() + start, text.end(), accepts);
}

// The missing values come first: "NA" also fits upper, and a missing value
// outranks any type.
std::string typeOf(const std::string& text, Table table) {
  if (text.empty() || text == "NA") return "NA";
  if (allFrom(text, 0, isDigit)) return "int";
  if (allFrom(text, 0, isLower)) return "word";
  if (isUpper(text[0]) && (text.size() == 1 || allFrom(text, 1, isUpperOrDigit))) return "upper";
  if (text.compare(0, 2, "0x") == 0 && allFrom(text, 2, isHexDigit)) return "hex";
  if (text.size() == 7 && text[0] == '#' && allFrom(text, 1, isHexDigit)) return "hex";
  if (table == Table::kDisjoint && text.size() == 3 && isDigit(text[0]) && text[1] == '-' &&
      text[2] == text[0]) {
    return "pair";
  }
  return "other";
}

// Paths in a directory of this process's own, made once and reused by every
// input; removed when the fuzzer exits normally.
struct Workspace {
  std::string dir;
  std::string csv;
  std::string typesSingle;
  std::string typesMulti;
};

const Workspace& workspace() {
  // Never destroyed, so that the exit handler can still read it.
  static const Workspace* const ws = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quorvel_pass_fuzz.XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::perror("pass_fuzz: mkdtemp");
      std::abort();
    }
    return new Workspace{pattern, pattern + "/input.csv", pattern + "/types_single.csv",
                         pattern + "/types_multi.csv"};
  }();
  static const bool cleanupRegistered =
      std::atexit([] {
        const Workspace& w = *ws;
        for (const std::string* path : {&w.csv, &w.typesSingle, &w.typesMulti}) {
          std::remove(path->c_str());
        }
        ::rmdir(w.dir.c_str());
      }) == 0;
  (void)cleanupRegistered;
  return *ws;
}

struct FuzzCase {
  char delimiter;
  int window;
  Table table;
  std::string csv;
};

[[noreturn]] void fail(const FuzzCase& c, const std::string& what) {
  std::fprintf(stderr, "\npass_fuzz: %s\n  delimiter \\x%02x, window %d, table %d\n  csv \"%s\"\n",
               what.c_str(), static_cast<unsigned char>(c.delimiter), c.window,
               static_cast<int>(c.table), escaped(c.csv).c_str());
  std::abort();
}

struct PassResult {
  CandidateCounts counts;
  std::vector<std::string> names;
  std::uint64_t numRows = 0;
  std::string typesFile;
  quorvel::CellExampleTable examples;
  quorvel::RaggedRows ragged;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::perror(("pass_fuzz: cannot write " + path).c_str());
    std::abort();
  }
}

PassResult runPass(const FuzzCase& c, bool multithreading, const std::string& typesPath) {
  quorvel::Inf inf(workspace().csv, c.delimiter, patternTable(c.table), {"", "NA"}, multithreading,
                   true, typesPath, c.window);
  inf.inferTypes();
  if (!inf.getTypesFileError().empty()) fail(c, "types file error: " + inf.getTypesFileError());
  return {inf.getColTypeCandidates(), inf.getColNames(),     inf.getNumRows(),
          readFile(typesPath),        inf.getCellExamples(), inf.getRaggedRows()};
}

std::string joined(const std::vector<std::string>& parts) {
  std::string line;
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i > 0 ? "," : "") + parts[i];
  return line + '\n';
}

void keepExample(std::vector<quorvel::CellExample>& kept, const std::string& text,
                 std::uint64_t row) {
  if (kept.size() < quorvel::ColumnExamples::kKept) {
    kept.push_back({text.substr(0, quorvel::ColumnExamples::kTextBytes), text.size(), row});
  }
}

// What a pass over the file must give, worked out from its rows. Also
// returns, per column name, how many cells were classified under it.
PassResult expectedResult(const FuzzCase& c, std::map<std::string, std::uint64_t>& cells) {
  PassResult r;
  std::ifstream file(workspace().csv, std::ios::binary);
  CsvParser parser(file);
  parser.delimiter(c.delimiter);
  std::uint64_t rows = 0;
  int untitled = 0;
  for (const std::vector<std::string>& row : parser) {
    std::vector<std::string> types;
    if (rows > 0) r.ragged.note(row.size(), r.names.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (rows == 0) {
        r.names.push_back(row[i].empty() ? "Unitled_" + std::to_string(++untitled) : row[i]);
        for (const auto& [type, patterns] : patternTable(c.table))
          r.counts[r.names.back()][type] += 0;
        r.counts[r.names.back()]["other"] += 0;
        r.counts[r.names.back()]["NA"] += 0;
        cells[r.names.back()] += 0;
        r.examples[r.names.back()];     // every column has its entry, kept cells or none
      } else if (i < r.names.size()) {  // cells past the header's width have no column
        types.push_back(typeOf(row[i], c.table));
        ++r.counts[r.names[i]][types.back()];
        keepExample(r.examples[r.names[i]][types.back()], row[i], rows);
        ++cells[r.names[i]];
      }
    }
    r.typesFile += joined(rows == 0 ? r.names : types);
    ++rows;
  }
  r.numRows = rows == 0 ? 0 : rows - 1;
  return r;
}

// Sorted by name and type, so that two dumps can be compared by eye.
std::string describe(const CandidateCounts& counts) {
  std::map<std::string, std::map<std::string, std::uint64_t>> sorted;
  for (const auto& [name, byType] : counts) sorted[name].insert(byType.begin(), byType.end());
  std::string out;
  for (const auto& [name, byType] : sorted) {
    out += "\n    " + escaped(name, 60) + ":";
    for (const auto& [type, n] : byType) out += " " + escaped(type, 60) + "=" + std::to_string(n);
  }
  return out;
}

std::string describe(const quorvel::CellExampleTable& examples) {
  std::map<std::string, std::map<std::string, std::vector<quorvel::CellExample>>> sorted;
  for (const auto& [name, byType] : examples) sorted[name].insert(byType.begin(), byType.end());
  std::string out;
  for (const auto& [name, byType] : sorted) {
    for (const auto& [type, kept] : byType) {
      out += "\n    " + escaped(name, 60) + "." + escaped(type, 60) + ":";
      for (const quorvel::CellExample& example : kept) {
        out += " [" + escaped(example.text, 60) + "]/" + std::to_string(example.bytes) + "@" +
               std::to_string(example.row);
      }
    }
  }
  return out;
}

std::string describe(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += "[" + escaped(name, 60) + "]";
  return out;
}

// `a` and `b` are the results of two passes, or of a pass and the expected one.
void expectSame(const FuzzCase& c, const char* what, const PassResult& a, const PassResult& b) {
  const std::string prefix = std::string(what) + ": ";
  if (a.names != b.names) {
    fail(c, prefix + "names " + describe(a.names) + " vs " + describe(b.names));
  }
  if (a.numRows != b.numRows) {
    fail(c, prefix + "num_rows " + std::to_string(a.numRows) + " vs " + std::to_string(b.numRows));
  }
  if (a.counts != b.counts) {
    fail(c, prefix + "counts" + describe(a.counts) + "\n  vs" + describe(b.counts));
  }
  if (a.examples != b.examples) {
    fail(c, prefix + "examples" + describe(a.examples) + "\n  vs" + describe(b.examples));
  }
  if (a.ragged.shorter != b.ragged.shorter || a.ragged.longer != b.ragged.longer) {
    fail(c, prefix + "short, long rows " + std::to_string(a.ragged.shorter) + ", " +
                std::to_string(a.ragged.longer) + " vs " + std::to_string(b.ragged.shorter) + ", " +
                std::to_string(b.ragged.longer));
  }
  if (a.typesFile != b.typesFile) {
    fail(c, prefix + "types file \"" + escaped(a.typesFile) + "\" vs \"" + escaped(b.typesFile) +
                "\"");
  }
}

// Every name's counts add up to the cells classified under it.
void expectCountsCoverCells(const FuzzCase& c, const char* what, const PassResult& pass,
                            const std::map<std::string, std::uint64_t>& cells) {
  for (const auto& [name, expected] : cells) {
    const auto it = pass.counts.find(name);
    if (it == pass.counts.end()) fail(c, std::string(what) + ": no counts for " + escaped(name));
    std::uint64_t sum = 0;
    for (const auto& entry : it->second) sum += entry.second;
    if (sum != expected) {
      fail(c, std::string(what) + ": the counts of " + escaped(name) + " add up to " +
                  std::to_string(sum) + ", but " + std::to_string(expected) +
                  " cells were classified");
    }
  }
}

void expectCompressedPassesAlike(const FuzzCase& c) {
  std::string errors[2];
  PassResult results[2];
  for (int threads = 0; threads < 2; ++threads) {
    try {
      results[threads] =
          runPass(c, threads == 1, threads == 1 ? workspace().typesMulti : workspace().typesSingle);
    } catch (const std::runtime_error& e) {
      errors[threads] = e.what();
    }
  }
  if (errors[0] != errors[1]) {
    fail(c, "the passes failed differently: \"" + escaped(errors[0]) + "\" vs \"" +
                escaped(errors[1]) + "\"");
  }
  if (errors[0].empty()) expectSame(c, "single-threaded vs multithreaded", results[0], results[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const FuzzCase c{static_cast<char>(data[0]), kWindows[data[1] & 7],
                   static_cast<Table>((data[1] >> 3) % 3),
                   std::string(reinterpret_cast<const char*>(data) + 2, size - 2)};
  writeFile(workspace().csv, c.csv);
  if (quorvel::compressionOf(c.csv.data(), c.csv.size()) != quorvel::Compression::kNone) {
    expectCompressedPassesAlike(c);
    return 0;
  }

  // The single-threaded pass reads every byte with the state machine, the
  // multithreaded one with the fastest scan path: their agreement holds that
  // path to the scalar one over whole passes too.
  csv_detail::force_scan_path(csv_detail::ScanPath::kScalar);
  const PassResult single = runPass(c, false, workspace().typesSingle);
  csv_detail::force_scan_path(csv_detail::fastest_scan_path());
  const PassResult multi = runPass(c, true, workspace().typesMulti);
  expectSame(c, "single-threaded vs multithreaded", single, multi);

  std::map<std::string, std::uint64_t> cells;
  const PassResult expected = expectedResult(c, cells);
  expectCountsCoverCells(c, "single-threaded", single, cells);
  expectCountsCoverCells(c, "multithreaded", multi, cells);
  if (c.table != Table::kOverlapping)
    expectSame(c, "single-threaded vs worked out", single, expected);
  return 0;
}

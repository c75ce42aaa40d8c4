// Tests of the inference engine at work: classification of single cells, the
// pass over a file with its types file, the result queries, the guards on the
// paths, and the multithreaded pass, checked against a table of small files and
// against an oracle over random files.
//
// Candidate counts are written per column name, sorted, as
// "id[NA=0 int=1 other=1] name[NA=0 int=1 other=1]".
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/regex.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <typeinfo>
#include <unordered_set>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "inf.h"
#include "io/byte_source.h"
#include "io/row_scan.h"
#include "match/pattern_table.h"

namespace {

using quorvel::CandidateCounts;
using quorvel::Inf;
using quorvel::PatternStrings;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::Throws;
using ::testing::ThrowsMessage;
using namespace std::string_literals;
using NaSet = std::unordered_set<std::string>;
using Names = std::vector<std::string>;

const PatternStrings kInt = {{"int", {"[0-9]+"}}};
const char kWorked[] = "id,name\n1,x\n,2\n";
const char kWorkedCounts[] = "id[NA=0 int=1 other=1] name[NA=0 int=1 other=1]";
const char kWorkedTypes[] = "id,name\nint,other\nother,int\n";

std::string Render(const CandidateCounts& counts) {
  std::map<std::string, std::map<std::string, std::uint64_t>> sorted;
  for (const auto& [column, types] : counts) sorted[column].insert(types.begin(), types.end());
  std::string out;
  for (const auto& [column, types] : sorted) {
    out += (out.empty() ? "" : " ") + column + "[";
    for (const auto& [type, count] : types) {
      out += (out.back() == '[' ? "" : " ") + type + "=" + std::to_string(count);
    }
    out += "]";
  }
  return out;
}

// "a|b|" is {"a", "b", ""}; the empty text is no name at all.
Names Split(const std::string& joined) {
  Names parts;
  if (joined.empty()) return parts;
  std::size_t start = 0;
  for (std::size_t end; (end = joined.find('|', start)) != std::string::npos; start = end + 1) {
    parts.push_back(joined.substr(start, end - start));
  }
  parts.push_back(joined.substr(start));
  return parts;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class InfFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "inf_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }

  std::string Types() const { return Slurp(Path("types")); }

  // An object over `csv`, saved as in.csv, that writes its types file to "types".
  // Multithreaded passes run on three threads, whatever the machine has, and
  // read chunks of a few bytes, so that small files make many chunks, rows
  // span them and cuts fall inside quotes.
  std::unique_ptr<Inf> Make(const std::string& csv, const PatternStrings& patterns = kInt,
                            bool multithreading = false, int window = 1000) const {
    auto inf = std::make_unique<Inf>(Write("in.csv", csv), ',', patterns, NaSet{}, multithreading,
                                     true, Path("types"), window);
    inf->setPassThreads(3);
    inf->setChunkBytes(kChunkBytes);
    return inf;
  }

  static constexpr std::size_t kChunkBytes = 16;

  std::string dir_;
};

// Classifies `text` as cell `c` of a row, as the pass would.
std::string Classify(Inf& inf, int c, const std::string& text) {
  std::vector<std::string> fields(inf.getColNames().size());
  std::vector<std::string> types(fields.size());
  fields.at(c) = text;
  inf.getColType(fields, c, types);
  return types[c];
}

std::vector<std::string> Order(const Inf& inf, const std::string& column) {
  return inf.getRegexOrdering().at(column);
}

// ---- Classification --------------------------------------------------------

using InfClassify = InfFiles;

TEST_F(InfClassify, OneText) {
  struct Case {
    const char* name;
    PatternStrings patterns;
    NaSet na;
    std::string text;
    const char* type;
  };
  const PatternStrings emptyMatch = {{"blank", {"x*"}}, {"never", {}}};
  const Case cases[] = {
      {"match", kInt, {}, "12", "int"},
      {"whole text only, not a prefix", kInt, {}, "12a", "other"},
      {"whole text only, not a suffix", kInt, {}, "a12", "other"},
      {"whole text only, with lookahead", {{"t", {"(?=1)1"}}}, {}, "12", "other"},
      {"case-sensitive", {{"w", {"[a-z]+"}}}, {}, "Ab", "other"},
      {"case-sensitive, with lookahead", {{"w", {"(?=[a-z])[a-z]+"}}}, {}, "aB", "other"},
      {"missing value beats a match", kInt, {"12"}, "12", "NA"},
      {"missing values are case-sensitive", kInt, {"na"}, "NA", "other"},
      {"missing values are not trimmed", kInt, {" 1"}, "1", "int"},
      {"later pattern of a type", {{"t", {"x", "y"}}}, {}, "y", "t"},
      {"empty list never matches", {{"never", {}}}, {}, "", "other"},
      {"empty text, missing", emptyMatch, {""}, "", "NA"},
      {"empty text, matched", emptyMatch, {}, "", "blank"},
      {"empty text, unmatched", kInt, {}, "", "other"},
      {"NUL inside pattern and text", {{"z", {"a\0b"s}}}, {}, "a\0b"s, "z"},
      {"text longer than its match before a NUL", {{"z", {"a"}}}, {}, "a\0b"s, "other"},
      {"no types", {}, {}, "1", "other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto inf = Make("c\n", c.patterns);
    inf->setNaValues(c.na);
    inf->inferTypes();
    EXPECT_EQ(Classify(*inf, 0, c.text), c.type);
    const CandidateCounts counts = inf->getColTypeCandidates();
    std::uint64_t total = 0;
    for (const auto& [type, count] : counts.at("c")) total += count;
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(counts.at("c").at(c.type), 1u);
  }
}

// A type found at position i trades places with the front type; the others
// keep theirs, so this is a swap of two entries and not a rotation.
TEST_F(InfClassify, MatchSwapsWithTheFront) {
  const PatternStrings types = {{"t1", {"t1"}}, {"t2", {"t2"}}, {"t3", {"t3"}}, {"t4", {"t4"}}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    auto inf = Make("c\n", types);
    inf->inferTypes();
    std::vector<std::string> order = Order(*inf, "c");
    ASSERT_EQ(order.size(), 4u);
    const std::string found = order[i];
    EXPECT_EQ(Classify(*inf, 0, found), found);
    std::swap(order[0], order[i]);
    EXPECT_EQ(Order(*inf, "c"), order);
    EXPECT_EQ(Classify(*inf, 0, "t5"), "other");
    EXPECT_EQ(Order(*inf, "c"), order);
  }
}

// The missing-value test comes before the cache: a cached type does not
// override it, and a missing value leaves no type in the cache.
TEST_F(InfClassify, MissingValueBeforeCache) {
  auto inf = Make("c\n", {{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}});
  inf->inferTypes();
  EXPECT_EQ(Classify(*inf, 0, "5"), "int");  // now cached as int
  inf->setNaValues({"5", "7"});
  EXPECT_EQ(Classify(*inf, 0, "5"), "NA");
  Classify(*inf, 0, "q");  // word to the front
  EXPECT_EQ(Classify(*inf, 0, "7"), "NA");
  EXPECT_EQ(Order(*inf, "c").front(), "word");
  inf->setNaValues({});
  // "5" still comes from the cache, without trying a type ...
  EXPECT_EQ(Classify(*inf, 0, "5"), "int");
  EXPECT_EQ(Order(*inf, "c").front(), "word");
  // ... while "7" was never cached, so it is matched and moves int to the front.
  EXPECT_EQ(Classify(*inf, 0, "7"), "int");
  EXPECT_EQ(Order(*inf, "c").front(), "int");
  EXPECT_EQ(Render(inf->getColTypeCandidates()), "c[NA=2 int=3 other=0 word=1]");
}

// ---- The pass --------------------------------------------------------------

using InfPass = InfFiles;

// Names and missing values are written joined by '|'.
struct PassCase {
  const char* name;
  std::string csv;
  char delimiter;
  const char* na;
  const char* names;
  std::uint64_t rows;
  const char* counts;
  const char* types;
};

const PassCase kPassCases[] = {
    {"worked example", kWorked, ',', "", "id|name", 2, kWorkedCounts, kWorkedTypes},
    {"header only", "a,b\n", ',', "", "a|b", 0, "a[NA=0 int=0 other=0] b[NA=0 int=0 other=0]",
     "a,b\n"},
    {"empty file", "", ',', "", "", 0, "", ""},
    {"CR LF rows, last one unterminated", "a\r\n1\r\nx", ',', "", "a", 2, "a[NA=0 int=1 other=1]",
     "a\nint\nother\n"},
    {"short rows", "a,b,c\n1\n1,2\n", ',', "", "a|b|c", 2,
     "a[NA=0 int=2 other=0] b[NA=0 int=1 other=0] c[NA=0 int=0 other=0]", "a,b,c\nint\nint,int\n"},
    {"surplus cells ignored", "a\n1,x,y\nx,2\n", ',', "", "a", 2, "a[NA=0 int=1 other=1]",
     "a\nint\nother\n"},
    {"empty line as a data row", "a,b\n\n1,2\n", ',', "", "a|b", 2,
     "a[NA=0 int=1 other=1] b[NA=0 int=1 other=0]", "a,b\nother\nint,int\n"},
    {"empty line as the header", "\n5\n", ',', "", "Unitled_1", 1, "Unitled_1[NA=0 int=1 other=0]",
     "Unitled_1\nint\n"},
    {"empty header cells", ",a,\n1,2,x\n", ',', "", "Unitled_1|a|Unitled_2", 1,
     "Unitled_1[NA=0 int=1 other=0] Unitled_2[NA=0 int=0 other=1] a[NA=0 int=1 other=0]",
     "Unitled_1,a,Unitled_2\nint,int,other\n"},
    {"semicolon delimiter", "a;b\n1;x,y\n", ';', "", "a|b", 1,
     "a[NA=0 int=1 other=0] b[NA=0 int=0 other=1]", "a,b\nint,other\n"},
    {"tab delimiter", "a\tb\n1\t2,3\n", '\t', "", "a|b", 1,
     "a[NA=0 int=1 other=0] b[NA=0 int=0 other=1]", "a,b\nint,other\n"},
    {"quoted header cells written unquoted", "\"x,y\",\"q\"\"\"\n1,2\n", ',', "", "x,y|q\"", 1,
     "q\"[NA=0 int=1 other=0] x,y[NA=0 int=1 other=0]", "x,y,q\"\nint,int\n"},
    {"duplicate names share counts", "a,a,b\n1,x,2\n3,4,y\n", ',', "", "a|a|b", 2,
     "a[NA=0 int=3 other=1] b[NA=0 int=1 other=1]", "a,a,b\nint,other,int\nint,int,other\n"},
    {"missing values", "a,b\nNA,1\n,NA\n", ',', "NA|", "a|b", 2,
     "a[NA=2 int=0 other=0] b[NA=1 int=1 other=0]", "a,b\nNA,int\nNA,NA\n"},
};

TEST_F(InfPass, Table) {
  for (const PassCase& c : kPassCases) {
    for (const bool multithreading : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (multithreading ? ", multithreaded" : ""));
      auto inf = Make(c.csv, kInt, multithreading);
      inf->setDelimiter(c.delimiter);
      const Names na = Split(c.na);
      inf->setNaValues({na.begin(), na.end()});
      inf->inferTypes();
      EXPECT_EQ(inf->getColNames(), Split(c.names));
      EXPECT_EQ(inf->getNumRows(), c.rows);
      EXPECT_EQ(Render(inf->getColTypeCandidates()), c.counts);
      EXPECT_EQ(Types(), c.types);
      EXPECT_EQ(inf->getTypesFileError(), "");
    }
  }
}

TEST_F(InfPass, EmptyFileKeepsTablesAndEmptiesTypesFile) {
  auto inf = Make(kWorked);
  inf->inferTypes();
  const auto orders = inf->getRegexOrdering();
  inf->setFilepath(Write("empty.csv", ""));
  inf->inferTypes();
  EXPECT_TRUE(inf->getColNames().empty());
  EXPECT_EQ(inf->getNumRows(), 0u);
  EXPECT_EQ(Render(inf->getColTypeCandidates()), kWorkedCounts);
  EXPECT_EQ(inf->getRegexOrdering(), orders);
  EXPECT_TRUE(std::filesystem::exists(Path("types")));
  EXPECT_EQ(Types(), "");
}

TEST_F(InfPass, UntitledNumberingGoesOnAcrossPasses) {
  auto inf = Make(",a,\n");
  inf->inferTypes();
  inf->inferTypes();
  EXPECT_EQ(inf->getColNames(), (Names{"Unitled_3", "a", "Unitled_4"}));
  EXPECT_EQ(Types(), "Unitled_3,a,Unitled_4\n");
}

// Two types both match "x". Column a tries `first` first, column b tries B
// first; b then gets a's answer from the cache, keeping its own order, unless
// that answer is the empty type name, which the cache cannot hold.
TEST_F(InfPass, CachedAnswerBeatsColumnOrder) {
  for (const std::string first : {"A", ""}) {
    for (const bool multithreading : {false, true}) {
      SCOPED_TRACE("first type '" + first + "'" + (multithreading ? ", multithreaded" : ""));
      auto inf = Make("a,b\nf,b\nx,x\nx,x\n", {{first, {"x|f"}}, {"B", {"x|b"}}}, multithreading);
      inf->inferTypes();
      EXPECT_EQ(Types(), first.empty() ? "a,b\n,B\n,B\nB,B\n" : "a,b\nA,B\nA,A\nA,A\n");
      EXPECT_EQ(Order(*inf, "a").front(), first);
      EXPECT_EQ(Order(*inf, "b").front(), "B");
    }
  }
}

// "x" matches both types: after "a" the column tries A first, after "b" B
// first, so each "x" tells whether it came from the cache. The row counter
// includes the header, the cache carries over into the next pass, and a window
// below 1 never empties it.
TEST_F(InfPass, CacheWindow) {
  const PatternStrings both = {{"A", {"x|a"}}, {"B", {"x|b"}}};
  const std::tuple<int, const char*, const char*> cases[] = {
      {1, "p[A=2 B=2 NA=0 other=0]", "p[A=0 B=2 NA=0 other=0]"},
      {2, "p[A=2 B=2 NA=0 other=0]", "p[A=0 B=2 NA=0 other=0]"},
      {4, "p[A=2 B=2 NA=0 other=0]", "p[A=0 B=2 NA=0 other=0]"},
      {5, "p[A=3 B=1 NA=0 other=0]", "p[A=0 B=2 NA=0 other=0]"},
      {6, "p[A=3 B=1 NA=0 other=0]", "p[A=1 B=1 NA=0 other=0]"},
      {1000, "p[A=3 B=1 NA=0 other=0]", "p[A=1 B=1 NA=0 other=0]"},
      {0, "p[A=3 B=1 NA=0 other=0]", "p[A=1 B=1 NA=0 other=0]"},
      {-1, "p[A=3 B=1 NA=0 other=0]", "p[A=1 B=1 NA=0 other=0]"},
  };
  for (const auto& [window, first, second] : cases) {
    for (const bool multithreading : {false, true}) {
      SCOPED_TRACE("window " + std::to_string(window) + (multithreading ? ", multithreaded" : ""));
      auto inf = Make("p\na\nx\nb\nx\n", both, multithreading, window);
      inf->inferTypes();
      EXPECT_EQ(Render(inf->getColTypeCandidates()), first);
      inf->setFilepath(Write("second.csv", "p\nb\nx\n"));
      inf->inferTypes();
      EXPECT_EQ(Render(inf->getColTypeCandidates()), second);
    }
  }
}

TEST_F(InfPass, NewPatternTableForgetsCachedTypes) {
  auto inf = Make("p\nx\n", {{"A", {"x"}}});
  inf->inferTypes();
  inf->setColTypePatterns({{"A", {"y"}}, {"B", {"x"}}});
  inf->inferTypes();
  EXPECT_EQ(Render(inf->getColTypeCandidates()), "p[A=0 B=1 NA=0 other=0]");
  inf->setColTypePatterns({{"C", {"z"}}});
  inf->inferTypes();
  EXPECT_EQ(Render(inf->getColTypeCandidates()), "p[C=0 NA=0 other=1]");
  EXPECT_EQ(Types(), "p\nother\n");
}

TEST_F(InfPass, ResultsOutliveSettersUntilTheNextPass) {
  auto inf = Make(kWorked);
  inf->inferTypes();
  inf->setColTypePatterns({{"word", {"[a-z]+"}}});
  inf->setNaValues({"1"});
  inf->setFilepath(Write("second.csv", "z;q\n1;x\n"));
  inf->setDelimiter(';');
  inf->setMultithreading(true);
  inf->setSaveTypesFile(false);
  inf->setRollingCacheWindow(1);
  EXPECT_EQ(inf->getColNames(), (Names{"id", "name"}));
  EXPECT_EQ(inf->getNumRows(), 2u);
  EXPECT_EQ(Render(inf->getColTypeCandidates()), kWorkedCounts);
  inf->inferTypes();
  EXPECT_EQ(inf->getColNames(), (Names{"z", "q"}));
  EXPECT_EQ(inf->getNumRows(), 1u);
  // Columns that the new header lacks keep their counts.
  EXPECT_EQ(Render(inf->getColTypeCandidates()),
            std::string(kWorkedCounts) + " q[NA=0 other=0 word=1] z[NA=1 other=0 word=0]");
  EXPECT_EQ(Types(), kWorkedTypes);
}

// A missing input fails before anything changes but the row count; a
// directory fails at the first read, never passing for an empty file.
TEST_F(InfPass, UnreadableInput) {
  auto inf = Make(kWorked);
  inf->inferTypes();
  const auto orders = inf->getRegexOrdering();
  Write("types", "keep");
  inf->setFilepath(Path("absent.csv"));
  EXPECT_THAT([&] { inf->inferTypes(); },
              ThrowsMessage<std::runtime_error>(StrEq("Something is wrong with input stream")));
  EXPECT_EQ(inf->getNumRows(), 0u);
  EXPECT_EQ(inf->getColNames(), (Names{"id", "name"}));
  EXPECT_EQ(Render(inf->getColTypeCandidates()), kWorkedCounts);
  EXPECT_EQ(inf->getRegexOrdering(), orders);
  EXPECT_EQ(Types(), "keep");
  for (const bool multithreading : {false, true}) {
    inf->setMultithreading(multithreading);
    inf->setFilepath(dir_);
    inf->setSaveTypesFile(true);
    EXPECT_THAT([&] { inf->inferTypes(); }, Throws<std::runtime_error>());
    EXPECT_EQ(Types(), "keep");
  }
}

// The pass reads its input once, so a FIFO works. Should it open the FIFO a
// second time, the writer hands it an empty input, and the test fails rather
// than hangs.
TEST_F(InfPass, ReadsAFifo) {
  for (const bool multithreading : {false, true}) {
    SCOPED_TRACE(multithreading ? "multithreaded" : "single-threaded");
    const std::string fifo = Path(multithreading ? "fifo-mt" : "fifo-st");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      std::ofstream(fifo, std::ios::binary) << kWorked;
      while (!done) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    auto inf = Make("", kInt, multithreading);
    inf->setFilepath(fifo);
    EXPECT_NO_THROW(inf->inferTypes());
    done = true;
    writer.join();
    EXPECT_EQ(inf->getColNames(), (Names{"id", "name"}));
    EXPECT_EQ(inf->getNumRows(), 2u);
    EXPECT_EQ(Render(inf->getColTypeCandidates()), kWorkedCounts);
    EXPECT_EQ(Types(), kWorkedTypes);
  }
}

// The hook runs the caller's code inside the pass. Whatever it tries to
// change is refused, getters answer, and the pass counts exactly what an
// undisturbed pass counts.
TEST_F(InfPass, RefusesChangesDuringAPass) {
  std::string csv = "a,b\n";
  for (int i = 0; i < 5000; ++i) csv += std::to_string(i) + ",x" + std::to_string(i % 7) + "\n";
  const PatternStrings patterns = {{"int", {"[0-9]+"}}, {"w", {"x[0-9]"}}};
  for (const bool multithreading : {false, true}) {
    SCOPED_TRACE(multithreading ? "multithreaded" : "single-threaded");
    auto undisturbed = Make(csv, patterns, multithreading, 3);
    undisturbed->inferTypes();
    auto inf = Make(csv, patterns, multithreading, 3);
    const std::vector<std::function<void()>> changes = {
        [&] { inf->inferTypes(); },
        [&] {
          inf->setColTypePatterns({{"w", {"[0-9]+"}}});
        },
        [&] {
          inf->setNaValues({"1", "x1"});
        },
        [&] { inf->setFilepath(Path("other.csv")); },
        [&] { inf->setDelimiter(';'); },
        [&] { inf->setMultithreading(!multithreading); },
        [&] { inf->setSaveTypesFile(false); },
        [&] { inf->setTypesFilepath(Path("other")); },
        [&] { inf->setRollingCacheWindow(1); },
        [&] { inf->setPassThreads(1); },
        [&] { inf->setChunkBytes(1); },
        [&] { Classify(*inf, 0, "7"); },
    };
    std::size_t refused = 0;
    std::size_t calls = 0;
    inf->inferTypes([&](const quorvel::PassProgress&) {
      ++calls;
      EXPECT_TRUE(inf->passInProgress());
      EXPECT_EQ(inf->getNaValues(), NaSet{});
      EXPECT_EQ(inf->getColTypePatterns(), patterns);
      for (const auto& change : changes) {
        EXPECT_THAT(change, ThrowsMessage<std::runtime_error>(
                                StrEq("a pass is in progress on this object")));
        ++refused;
      }
    });
    ASSERT_GT(calls, 0u);
    EXPECT_EQ(refused, calls * changes.size());
    EXPECT_FALSE(inf->passInProgress());
    EXPECT_EQ(inf->getNumRows(), undisturbed->getNumRows());
    EXPECT_EQ(Render(inf->getColTypeCandidates()), Render(undisturbed->getColTypeCandidates()));
    EXPECT_EQ(inf->getFilepath(), Path("in.csv"));
    EXPECT_EQ(inf->getRollingCacheWindow(), 3);
    // Once the pass is over, the object takes changes again.
    inf->setRollingCacheWindow(1);
    EXPECT_EQ(inf->getRollingCacheWindow(), 1);
  }
}

// ---- Queries ---------------------------------------------------------------

using InfQueries = InfFiles;

TEST_F(InfQueries, NumColsReadsTheFirstRow) {
  const std::tuple<const char*, std::string, char, int> cases[] = {
      {"empty file", "", ',', 0},
      {"empty line", "\n", ',', 1},
      {"later rows of other widths", "a,b,c\n1\n1,2,3,4\n", ',', 3},
      {"quoted delimiter", "\"x,y\",z\n", ',', 2},
      {"trailing delimiter", "a,b,\n", ',', 3},
      {"trailing delimiter at end of input", "a,b,", ',', 2},
      {"semicolon", "a;b,c\n", ';', 2},
      {"semicolon, comma inside", "a;b;c,d\n", ';', 3},
  };
  for (const auto& [name, csv, delimiter, count] : cases) {
    SCOPED_TRACE(name);
    auto inf = Make(csv);
    inf->setDelimiter(delimiter);
    EXPECT_EQ(inf->getNumCols(), count);
  }
  auto inf = Make("");
  inf->setFilepath(Path("absent.csv"));
  EXPECT_THAT([&] { inf->getNumCols(); },
              ThrowsMessage<std::runtime_error>(StrEq("Something is wrong with input stream")));
  inf->setFilepath(Path("in.csv") + "\0x"s);
  EXPECT_THAT([&] { inf->getNumCols(); },
              ThrowsMessage<std::invalid_argument>(StrEq("the CSV file path contains a NUL byte")));
}

// ---- The types file --------------------------------------------------------

using InfTypesFile = InfFiles;

// A types path that names the input in any spelling is refused before the
// input can be truncated.
TEST_F(InfTypesFile, RefusesTheInputItself) {
  const std::string input = Write("in.csv", kWorked);
  std::filesystem::create_symlink(input, Path("link"));
  std::filesystem::create_hard_link(input, Path("hard"));
  const std::string leaf = std::filesystem::path(dir_).filename();
  const std::pair<std::string, std::string> cases[] = {
      {input, input},        {input, dir_ + "/./in.csv"}, {input, dir_ + "/../" + leaf + "/in.csv"},
      {input, Path("link")}, {input, Path("hard")},       {Path("link"), input},
  };
  for (const auto& [csv, types] : cases) {
    for (const bool multithreading : {false, true}) {
      SCOPED_TRACE(csv + " -> " + types);
      Inf inf(csv, ',', kInt, {}, multithreading, true, types, 1000);
      EXPECT_THAT([&] { inf.inferTypes(); },
                  ThrowsMessage<std::invalid_argument>(StrEq(
                      "the types file path '" + types + "' names the input file '" + csv + "'")));
      EXPECT_EQ(Slurp(input), kWorked);
    }
  }
  // Without a types file, the same path is harmless.
  Inf inf(input, ',', kInt, {}, false, false, input, 1000);
  inf.inferTypes();
  EXPECT_EQ(inf.getNumRows(), 2u);
  EXPECT_EQ(Slurp(input), kWorked);
}

TEST_F(InfTypesFile, RefusesPathsWithNul) {
  Write("types", "keep");
  auto inf = Make(kWorked);
  inf->setFilepath(Path("in.csv") + "\0x"s);
  EXPECT_THAT([&] { inf->inferTypes(); },
              ThrowsMessage<std::invalid_argument>(StrEq("the CSV file path contains a NUL byte")));
  EXPECT_EQ(Types(), "keep");
  inf->setFilepath(Path("in.csv"));
  inf->setTypesFilepath(Path("out") + "\0x"s);
  EXPECT_THAT([&] { inf->inferTypes(); }, ThrowsMessage<std::invalid_argument>(
                                              StrEq("the types file path contains a NUL byte")));
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
  inf->setSaveTypesFile(false);
  inf->inferTypes();
  EXPECT_EQ(inf->getNumRows(), 2u);
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
}

// A types file that cannot be written costs the file, not the results; the
// reason is kept until the next pass. The long input fails while rows are
// written, the short one only when the file is closed.
TEST_F(InfTypesFile, FailureIsReportedNotThrown) {
  const std::pair<std::string, const char*> cases[] = {
      {Path("absent/types"), "No such file or directory"},
      {dir_, "Is a directory"},
      {"/dev/full", "No space left on device"},
  };
  std::string longInput = kWorked;
  for (int r = 0; r < 20000; ++r) longInput += "7,y\n";
  const std::tuple<std::string, std::uint64_t, const char*> inputs[] = {
      {kWorked, 2, kWorkedCounts},
      {longInput, 20002, "id[NA=0 int=20001 other=1] name[NA=0 int=1 other=20001]"},
  };
  for (const auto& [path, reason] : cases) {
    for (const auto& [csv, rows, counts] : inputs) {
      for (const bool multithreading : {false, true}) {
        SCOPED_TRACE(path + ", " + std::to_string(rows) + " rows" +
                     (multithreading ? ", multithreaded" : ""));
        auto inf = Make(csv, kInt, multithreading);
        inf->setTypesFilepath(path);
        inf->inferTypes();
        EXPECT_EQ(inf->getNumRows(), rows);
        EXPECT_EQ(Render(inf->getColTypeCandidates()), counts);
        EXPECT_THAT(inf->getTypesFileError(), AllOf(HasSubstr(path), HasSubstr(reason)));
        inf->setTypesFilepath(Path("types"));
        inf->inferTypes();
        EXPECT_EQ(inf->getTypesFileError(), "");
      }
    }
  }
}

// ---- What a pass keeps beside the counts -----------------------------------

// "a.int[1@1 x~150@2]": per column and type, sorted, each kept text with its
// row, and "~" with the whole text's length where the text was cut.
std::string RenderExamples(const quorvel::CellExampleTable& table) {
  std::map<std::string, std::map<std::string, std::vector<quorvel::CellExample>>> sorted;
  for (const auto& [column, byType] : table) sorted[column].insert(byType.begin(), byType.end());
  std::string out;
  for (const auto& [column, byType] : sorted) {
    for (const auto& [type, examples] : byType) {
      out += (out.empty() ? "" : " ") + column + "." + type + "[";
      for (const quorvel::CellExample& example : examples) {
        out += (out.back() == '[' ? "" : " ") + example.text;
        if (example.bytes != example.text.size()) out += "~" + std::to_string(example.bytes);
        out += "@" + std::to_string(example.row);
      }
      out += "]";
    }
  }
  return out;
}

std::string RenderRagged(const quorvel::RaggedRows& ragged) {
  return std::to_string(ragged.shorter) + " short, " + std::to_string(ragged.longer) + " long";
}

using InfExamples = InfFiles;

// The four ways a pass can take: one thread through the cache; one thread
// counting chunks without it; workers that resolve match sets for the calling
// thread's rule; workers that count chunks themselves.
enum class PassPath { kSingleCached, kSingleCounting, kResolving, kCounting };

// Every path keeps the same first cells and counts the same ragged rows, also
// when rows and texts span the multithreaded passes' 16-byte chunks.
TEST_F(InfExamples, SameOnEveryPath) {
  const PatternStrings counted = {{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}};
  // Two types that share a text the files never hold: the workers can no
  // longer count alone, and every count stays as it was.
  PatternStrings resolved = counted;
  resolved["tilde"] = {"~"};
  resolved["also_tilde"] = {"~+"};
  const std::string z150(150, 'z');
  const std::string y100(100, 'y');
  // Enough chunks that the workers take some: a few misfits far apart, one
  // short and one long row.
  std::string manyRows = "a,b\n";
  for (int row = 1; row <= 3000; ++row) {
    std::string second = ",w";
    if (row == 1000 || row == 2000 || row == 2999) second = ",x" + std::to_string(row);
    if (row == 2500) second = "";
    if (row == 2600) second = ",w,w";
    manyRows += std::to_string(row) + second + "\n";
  }
  const struct {
    const char* name;
    std::string csv;
    std::string examples;
    const char* ragged;
  } cases[] = {
      {"the first five of each type, in file order", "n\n1\nx\n2\n3\ny\n4\n5\n6\nNA\n",
       "n.NA[NA@9] n.int[1@1 2@3 3@4 4@6 5@7] n.word[x@2 y@5]", "0 short, 0 long"},
      {"rows and texts over many chunks",
       "a,b\nabcdefghijklmnopqrstu,1\n\"multi\nline\",22\n7,\"q\"\"q\"\n",
       "a.int[7@3] a.other[multi\nline@2] a.word[abcdefghijklmnopqrstu@1] b.int[1@1 22@2] "
       "b.other[q\"q@3]",
       "0 short, 0 long"},
      {"texts over 100 bytes are cut", "t\n" + z150 + "\n1\n" + y100 + "\n",
       "t.int[1@2] t.word[" + z150.substr(0, 100) + "~150@1 " + y100 + "@3]", "0 short, 0 long"},
      {"a repeated name keeps the first five in row, then column order",
       "a,b,a\n1,2,3\n4,5,6\n7,8,9\n", "a.int[1@1 3@1 4@2 6@2 7@3] b.int[2@1 5@2 8@3]",
       "0 short, 0 long"},
      {"short and long rows, the last one unterminated",
       "a,b,c\n1,2,3\n4\n5,6,7,8,9,10,11,12,13,14,15\n\n1,2,3,4",
       "a.int[1@1 4@2 5@3 1@5] a.other[@4] b.int[2@1 6@3 2@5] c.int[3@1 7@3 3@5]",
       "2 short, 2 long"},
      {"a long row spanning chunks, then a short one", "a\nx,yyyyyyyyyyyyyyyyyyyy,z\nq,r\n\n",
       "a.other[@3] a.word[x@1 q@2]", "0 short, 2 long"},
      {"header only", "a,b\n", "", "0 short, 0 long"},
      {"many rows", manyRows,
       "a.int[1@1 2@2 3@3 4@4 5@5] b.other[x1000@1000 x2000@2000 x2999@2999] "
       "b.word[w@1 w@2 w@3 w@4 w@5]",
       "1 short, 1 long"},
  };
  // Which thread tokenizes a chunk is left to timing: the random files below
  // show the workers at it.
  std::uint64_t chunks[4] = {};
  for (const auto& c : cases) {
    for (const PassPath path : {PassPath::kSingleCached, PassPath::kSingleCounting,
                                PassPath::kResolving, PassPath::kCounting}) {
      const auto index = static_cast<int>(path);
      SCOPED_TRACE(std::string(c.name) + ", path " + std::to_string(index));
      const bool overlapping = path == PassPath::kSingleCached || path == PassPath::kResolving;
      const bool threads = path == PassPath::kResolving || path == PassPath::kCounting;
      auto inf = Make(c.csv, overlapping ? resolved : counted, threads);
      inf->setNaValues({"NA"});
      // A second pass on the same object starts afresh.
      for (int pass = 0; pass < 2; ++pass) {
        inf->inferTypes();
        EXPECT_EQ(RenderExamples(inf->getCellExamples()), c.examples);
        EXPECT_EQ(RenderRagged(inf->getRaggedRows()), c.ragged);
      }
      const quorvel::PassStats& stats = inf->getPassStats();
      if (stats.chunks > 0) {
        EXPECT_EQ(stats.countedApart, !overlapping);
        EXPECT_EQ(stats.threads == 1, !threads);
      }
      chunks[index] += stats.chunks;
    }
  }
  EXPECT_EQ(chunks[0], 0u);
  for (int path = 1; path < 4; ++path) EXPECT_GT(chunks[path], 1000u) << "path " << path;
}

// The examples are of the last pass's columns only, and its rows.
TEST_F(InfExamples, ALaterPassForgetsColumnsItLacks) {
  for (const bool multithreading : {false, true}) {
    SCOPED_TRACE(multithreading ? "multithreaded" : "single-threaded");
    auto inf = Make("a,b\nx,1,extra\n", kInt, multithreading);
    inf->inferTypes();
    EXPECT_EQ(RenderExamples(inf->getCellExamples()), "a.other[x@1] b.int[1@1]");
    inf->setFilepath(Write("second.csv", "b,c\n2,y\n3\n"));
    inf->inferTypes();
    EXPECT_EQ(RenderExamples(inf->getCellExamples()), "b.int[2@1 3@2] c.other[y@1]");
    EXPECT_EQ(RenderRagged(inf->getRaggedRows()), "1 short, 0 long");
    inf->setFilepath(Write("empty.csv", ""));
    inf->inferTypes();
    EXPECT_EQ(RenderExamples(inf->getCellExamples()), "");
    EXPECT_EQ(RenderRagged(inf->getRaggedRows()), "0 short, 0 long");
  }
}

// ---- Threads ---------------------------------------------------------------

class InfThreads : public InfFiles {
 protected:
  // Random files of overlapping texts through `patterns`, passed with one
  // thread and with several, must give the same answers.
  // `seeds` files.
  void ExpectOverlappingPassesAgree(const PatternStrings& patterns, std::uint32_t seeds);
};

// A match that exceeds Boost's complexity bound raises the same error in both
// modes; the pass ends at that row, keeps what it completed, and the object
// serves the next pass.
TEST_F(InfThreads, MatchingErrorReachesTheCaller) {
  const std::string pattern = "(?=a)(a+)+b";  // lookahead keeps it with Boost
  const auto bad = [](int k) { return std::string(60 + k, 'a') + "c"; };
  ASSERT_THAT([&] { boost::regex_match(bad(0), boost::regex(pattern)); },
              Throws<std::runtime_error>());
  const PatternStrings patterns = {{"int", {"[0-9]+"}}, {"t", {pattern}}};
  std::string csv = "h0,h1,h2,h3,h4,h5,h6\n1,2,3,4,5,6,8\n7";
  for (int k = 0; k < 6; ++k) csv += "," + bad(k);
  csv += "\n1,1,1,1,1,1,1\n";
  std::string seen[2];
  for (const bool multithreading : {false, true}) {
    SCOPED_TRACE(multithreading ? "multithreaded" : "single-threaded");
    auto inf = Make(csv, patterns, multithreading);
    try {
      inf->inferTypes();
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      seen[multithreading] = typeid(error).name() + ": "s + error.what();
    }
    // The header and the first data row were completed.
    EXPECT_EQ(inf->getNumRows(), 2u);
    EXPECT_EQ(Types(), "h0,h1,h2,h3,h4,h5,h6\nint,int,int,int,int,int,int\n");
    // A match set is missing only where a worker's matching raised.
    if (multithreading) {
      EXPECT_GT(inf->getPassStats().unknownFields, 0u);
    }
    inf->setFilepath(Write("good.csv", "id,name\n7,x\n,2\n"));
    inf->inferTypes();
    EXPECT_THAT(Render(inf->getColTypeCandidates()),
                HasSubstr("id[NA=0 int=1 other=1 t=0] name[NA=0 int=1 other=1 t=0]"));
    EXPECT_EQ(Types(), "id,name\nint,other\nother,int\n");
  }
  EXPECT_THAT(seen[0], HasSubstr("complexity"));
  EXPECT_EQ(seen[1], seen[0]);
}

// A text whose matching raised on a worker counts only if the trial order,
// in file order, reaches the raising type before a matching one: then both
// modes fail at the same cell with the same results so far; else both go on.
TEST_F(InfThreads, MatchingErrorsCountWhereTheTrialOrderReachesThem) {
  const std::string bad = "(?=a)(a+)+b";  // raises on many a's not followed by b
  const std::string raising = std::string(60, 'a') + "c";
  std::string words;
  for (char c = 'a'; c < 'a' + 19; ++c)
    words += std::string(2, c) + "x\n" + std::string(3, c) + "\n";
  const struct {
    const char* name;
    PatternStrings patterns;
    std::string csv;
    const char* outcome;  // in the first line of the results
  } cases[] = {
      {"a word type matches first",
       {{"bad", {bad}}, {"W", {"[a-z]+"}}},
       "h\nzz\n" + raising + "\n" + words,
       "40"},
      {"nothing matches first",
       {{"bad", {bad}}, {"int", {"[0-9]+"}}},
       "h,i\n1,2\n3," + raising + "\n4,5\n",
       "The complexity of matching"},
  };
  for (const auto& c : cases) {
    std::string results[2];
    for (const bool multithreading : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (multithreading ? ", multithreaded" : ""));
      auto inf = Make(c.csv, c.patterns, multithreading);
      std::string& result = results[multithreading];
      try {
        inf->inferTypes();
      } catch (const std::runtime_error& error) {
        result = typeid(error).name() + ": "s + error.what() + "\n";
      }
      result += std::to_string(inf->getNumRows()) + "\n" + Render(inf->getColTypeCandidates()) +
                "\n" + Types();
      if (multithreading) {
        EXPECT_GT(inf->getPassStats().unknownFields, 0u);
      }
    }
    EXPECT_THAT(results[0].substr(0, results[0].find('\n')), HasSubstr(c.outcome)) << c.name;
    EXPECT_EQ(results[1], results[0]) << c.name;
  }
}

// Random files over texts that match at most one type each, so every count and
// every line of the types file follows from the texts alone: both modes and
// every window must give exactly that. The type with the empty name is never
// cached. No text matches two of these types, so multithreaded passes count
// on the workers, over many chunks, some cut inside quoted line breaks; large
// chunks hold runs of whole rows, which the counting walks side by side. Every
// other seed, missing values include the empty text and texts of types.
TEST_F(InfThreads, RandomFilesAgreeWithOracle) {
  const PatternStrings patterns = {{"int", {"-?[0-9]+"}},
                                   {"dec", {"-?[0-9]+\\.[0-9]+"}},
                                   {"word", {"[a-z]{1,3}", "[a-z]+ [a-z]+"}},
                                   {"bool", {"true", "false"}},
                                   {"date", {"[0-9]{4}-[0-9]{2}-[0-9]{2}"}},
                                   {"pair", {"[a-z],[a-z]"}},
                                   {"never", {}},
                                   {"", {"@+"}}};
  // Each text with its type; the empty text is "other" and "@" has the empty type name.
  std::vector<std::pair<std::string, std::string>> vocabulary;
  for (const std::string& entry :
       Split("1=int|22=int|-3=int|12345678901234567890=int|4.5=dec|0.25=dec|ab=word|xyz=word|"
             "tru=word|a b=word|true=bool|false=bool|2024-01-31=date|x,y=pair|NA=NA|n/a=NA|"
             "not available at all=NA|=other|Zz=other|q\"q=other|7e=other|a\nb=other|"
             "a text well over sixteen bytes=other|@=|@@=|" +
             std::string(60, 'a') + " " + std::string(60, 'b') + "=word")) {
    const std::size_t equals = entry.rfind('=');
    vocabulary.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  const char* headerNames[] = {"a", "b", "id", "", "x,y", "q\"q", "a b"};
  const auto encode = [](std::mt19937& rng, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos && rng() % 8 != 0) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? "\"\"" : std::string(1, c);
    return quoted + "\"";
  };
  // Shown to reach the workers and the chunks tokenized again.
  std::uint64_t reparsed = 0;
  std::uint64_t workerChunks = 0;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t width = 1 + rng() % 30;
    NaSet na = {"NA", "n/a", "not available at all"};
    if (seed % 2 == 0) na.insert({"", "22", "true", "@"});
    Names names;
    std::string csv;
    std::string types;
    CandidateCounts counts;
    quorvel::CellExampleTable examples;
    quorvel::RaggedRows ragged;
    int untitled = 0;
    for (std::size_t c = 0; c < width; ++c) {
      std::string name = headerNames[rng() % std::size(headerNames)];
      csv += (c > 0 ? "," : "") + encode(rng, name);
      if (name.empty()) name = "Unitled_" + std::to_string(++untitled);
      types += (c > 0 ? "," : "") + name;
      names.push_back(name);
      counts[name] = {};
      for (const auto& [type, unused] : patterns) counts[name][type] = 0;
      counts[name]["other"] = counts[name]["NA"] = 0;
    }
    csv += "\n";
    types += "\n";
    const std::size_t rows = rng() % 301;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t roll = rng() % 20;
      const std::size_t cells = roll < 14   ? width
                                : roll < 17 ? 1 + rng() % width
                                            : width + 1 + rng() % 3;
      std::string line;
      ragged.note(cells, width);
      for (std::size_t c = 0; c < cells; ++c) {
        std::string text;
        std::string type;
        if (rng() % 4 == 0) {
          const bool number = rng() % 2;
          text = (number ? "" : "k") + std::to_string(rng() % 100000) +
                 (rng() % 4 == 0 ? "000000000000000000" : "");
          type = number ? "int" : "other";
        } else {
          std::tie(text, type) = vocabulary[rng() % std::size(vocabulary)];
        }
        line += (c > 0 ? "," : "") + encode(rng, text);
        if (c >= width) continue;
        if (na.count(text) != 0) type = "NA";
        ++counts[names[c]][type];
        std::vector<quorvel::CellExample>& kept = examples[names[c]][type];
        if (kept.size() < 5) kept.push_back({text.substr(0, 100), text.size(), r + 1});
        types += (c > 0 ? "," : "") + type;
      }
      types += "\n";
      const bool last = r + 1 == rows;
      // Unterminated, a last row's trailing delimiter would end the input, not an empty cell.
      const bool unterminated = last && !line.empty() && line.back() != ',' && rng() % 3 == 0;
      csv += line + (unterminated ? "" : rng() % 10 ? "\n" : "\r\n");
    }
    const std::string expected = Render(counts);
    const std::string expectedExamples = RenderExamples(examples);
    const std::pair<int, std::size_t> windowsAndChunks[] = {
        {1, kChunkBytes}, {3, kChunkBytes}, {1000, kChunkBytes}, {-1, kChunkBytes}, {1, 4096}};
    for (const auto& [window, chunkBytes] : windowsAndChunks) {
      for (const bool multithreading : {false, true}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) +
                     ", chunks of " + std::to_string(chunkBytes) + " bytes" +
                     (multithreading ? ", multithreaded" : ""));
        auto inf = Make(csv, patterns, multithreading, window);
        inf->setChunkBytes(chunkBytes);
        inf->setNaValues(na);
        inf->inferTypes();
        reparsed += inf->getPassStats().reparsed;
        workerChunks += inf->getPassStats().workerChunks;
        // No text matches two of these types: the workers count, or with one
        // thread the calling thread counts alone, without the cache.
        EXPECT_TRUE(inf->getPassStats().countedApart);
        EXPECT_EQ(inf->getPassStats().threads, multithreading ? 3u : 1u);
        EXPECT_EQ(inf->getColNames(), names);
        EXPECT_EQ(inf->getNumRows(), rows);
        EXPECT_EQ(Render(inf->getColTypeCandidates()), expected);
        EXPECT_EQ(RenderExamples(inf->getCellExamples()), expectedExamples);
        EXPECT_EQ(RenderRagged(inf->getRaggedRows()), RenderRagged(ragged));
        EXPECT_EQ(Types(), types);
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(reparsed, 0u);
  EXPECT_GT(workerChunks, 0u);
}

// What the window remembers carries from pass to pass on one object, and to
// getColType(), whichever way each pass ran: kept in the cache by rows one
// by one, in the numbered texts by the pipeline. Every step is held up
// against the same steps with every pass on one thread. Windows that outlast
// a pass, that are never emptied, and that end inside the passes.
TEST_F(InfThreads, WhatTheWindowRemembersCarriesAcrossPassesAndPaths) {
  const PatternStrings overlapping = {
      {"digits", {"[0-9]+"}}, {"short", {".{1,2}"}}, {"any", {".*"}}, {"", {"[0-9a]{2}"}}};
  const Names vocabulary = Split("1|22|a|ab|a1|9z|333|abc|NA|x y|u");
  enum class Step { kThreads2, kThreads3, kOneThread, kColType };
  const Step steps[] = {Step::kThreads3, Step::kOneThread, Step::kColType,  Step::kThreads2,
                        Step::kThreads3, Step::kColType,   Step::kThreads3, Step::kOneThread};
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    const std::string header = "a,b,a,c";
    for (const int window : {-1, 10000, 7}) {
      std::string results[2];
      for (const bool threads : {false, true}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) +
                     (threads ? ", threads" : ""));
        std::mt19937 files(seed);  // the same files and cells for both
        auto inf = Make(header + "\n", overlapping, false, window);
        inf->setNaValues({"NA"});
        std::string& result = results[threads];
        for (const Step step : steps) {
          if (step == Step::kColType) {
            for (int c = 0; c < 4; ++c) {
              result += Classify(*inf, c, vocabulary[files() % vocabulary.size()]) + " ";
            }
            result += "\n";
            continue;
          }
          std::string csv = header;
          for (std::size_t r = 0, rows = 20 + files() % 200; r < rows; ++r) {
            csv += "\n";
            for (int c = 0; c < 4; ++c) {
              csv += (c > 0 ? "," : "") + vocabulary[files() % vocabulary.size()];
            }
          }
          inf->setFilepath(Write("in.csv", csv + "\n"));
          inf->setMultithreading(threads && step != Step::kOneThread);
          inf->setPassThreads(step == Step::kThreads2 ? 2 : 3);
          inf->setChunkBytes(step == Step::kThreads2 ? std::size_t{1} << 20 : 16);
          inf->inferTypes();
          EXPECT_EQ(inf->getPassStats().chunks > 0, threads && step != Step::kOneThread);
          result += Render(inf->getColTypeCandidates()) + "\n" + Types();
        }
      }
      EXPECT_EQ(results[1], results[0]);
      if (HasFailure()) return;
    }
  }
}

// Missing values too many to sit on the counting automaton beside the types
// leave the pass to resolve, which counts them the same.
TEST_F(InfThreads, MissingValuesPastTheAutomatonsCapsCountTheSame) {
  NaSet many;
  for (std::size_t i = 0; many.size() < 6000; ++i) many.insert("m" + std::to_string(i * 7919));
  for (const bool multithreading : {false, true}) {
    SCOPED_TRACE(multithreading ? "multithreaded" : "single-threaded");
    auto inf = Make("a,b\n1,m0\nm7919,x\n,2\n", kInt, multithreading);
    for (const NaSet& na : {many, NaSet{"m0", "m7919"}}) {
      inf->setNaValues(na);
      inf->inferTypes();
      EXPECT_EQ(inf->getPassStats().countedApart, na.size() == 2);
      EXPECT_EQ(Render(inf->getColTypeCandidates()), "a[NA=1 int=1 other=1] b[NA=1 int=1 other=1]");
      EXPECT_EQ(Types(), "a,b\nint,NA\nNA,other\nother,int\n");
    }
  }
}

// Multithreaded passes promise the answers of a single-threaded pass even
// when texts match several types, where the trial order and the cache decide:
// duplicate column names, swaps from row to row and the window all matter.
// Stretches of few distinct texts alternate with stretches of many. Chunks
// of one or two rows, and of many, which hold windows that begin and end
// inside them and whose misses need no cache. The workers find match sets
// one way where Boost keeps some types and another where the automaton holds
// them all: one table of each kind.
TEST_F(InfThreads, OverlappingTypesAgreeWithSingleThreaded) {
  const PatternStrings onAutomaton = {{"digits", {"[0-9]+"}},   {"short", {".{1,2}"}},
                                      {"alnum", {"[a-z0-9]+"}}, {"any", {".*"}},
                                      {"vowel", {"[aeiou].*"}}, {"", {"[0-9a]{2}"}}};
  PatternStrings withBoost = onAutomaton;
  withBoost["vowel"] = {"(?=[aeiou]).*"};  // the same texts, but a lookahead stays with Boost
  // Boost's matching is slow under the thread sanitizer: fewer files for it,
  // which still reach its memo many times over.
  struct Table {
    const char* name;
    const PatternStrings& patterns;
    bool wholeOnAutomaton;
    std::uint32_t seeds;
  };
  const Table tables[] = {{"every type on the automaton", onAutomaton, true, 30},
                          {"a lookahead left to Boost", withBoost, false, 6}};
  for (const Table& table : tables) {
    SCOPED_TRACE(table.name);
    quorvel::PatternTable compiled;
    compiled.set(table.patterns);
    ASSERT_EQ(compiled.matchSetAutomaton() != nullptr, table.wholeOnAutomaton);
    ExpectOverlappingPassesAgree(table.patterns, table.seeds);
    if (HasFailure()) return;
  }
}

void InfThreads::ExpectOverlappingPassesAgree(const PatternStrings& patterns, std::uint32_t seeds) {
  const Names vocabulary = Split("1|22|a|ab|a1|e9|zz|9z|333|abc|NA||x y|u");
  const std::string alphabet = "019aezu ";
  // Shown to reach texts that the link found in an earlier chunk of their window.
  std::uint64_t textsAcrossChunks = 0;
  for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
    std::mt19937 rng(seed);
    const std::size_t width = 1 + rng() % 12;
    std::string csv;
    for (std::size_t c = 0; c < width; ++c)
      csv += (c > 0 ? "," : "") + std::string(1, 'a' + rng() % 4);
    for (std::size_t r = 0, rows = rng() % 3000; r < rows; ++r) {
      const bool manyTexts = (r / 700) % 2 == 1;
      csv += "\n";
      for (std::size_t c = 0, cells = 1 + rng() % (width + 1); c < cells; ++c) {
        csv += c > 0 ? "," : "";
        if (!manyTexts) {
          csv += vocabulary[rng() % vocabulary.size()];
          continue;
        }
        for (std::size_t i = 0, length = 1 + rng() % 5; i < length; ++i)
          csv += alphabet[rng() % alphabet.size()];
      }
    }
    for (const auto& [window, chunkBytes] :
         std::vector<std::pair<int, std::size_t>>{{1, 16},
                                                  {3, 16},
                                                  {1000, 16},
                                                  {-1, 16},
                                                  {1, 512},
                                                  {3, 512},
                                                  {50, 4096},
                                                  {7, std::size_t{1} << 20},
                                                  {-1, std::size_t{1} << 20}}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", window " + std::to_string(window) +
                   ", chunks of " + std::to_string(chunkBytes) + " bytes");
      std::string results[2];
      for (const bool multithreading : {false, true}) {
        auto inf = Make(csv, patterns, multithreading, window);
        inf->setChunkBytes(chunkBytes);
        inf->setNaValues({"NA"});
        inf->inferTypes();
        inf->inferTypes();  // the cache carries over into a second pass
        EXPECT_FALSE(inf->getPassStats().countedApart);
        textsAcrossChunks += inf->getPassStats().textsAcrossChunks;
        std::map<std::string, Names> orders;
        for (const auto& [column, order] : inf->getRegexOrdering()) orders[column] = order;
        std::string& result = results[multithreading];
        result = Render(inf->getColTypeCandidates()) + "\n" + Types() + "\n" +
                 RenderExamples(inf->getCellExamples()) + "\n" +
                 RenderRagged(inf->getRaggedRows()) + "\n";
        for (const auto& [column, order] : orders) {
          result += column + ":";
          for (const std::string& type : order) result += type + " ";
          result += "\n";
        }
      }
      EXPECT_EQ(results[0], results[1]);
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(textsAcrossChunks, 0u);
}

// ---- Where the input ended -------------------------------------------------

using InfRowEnd = InfFiles;

// The tables of the four paths, as in InfExamples.SameOnEveryPath.
PatternStrings RowEndTable(PassPath path) {
  PatternStrings table = {{"int", {"[0-9]+"}}, {"word", {"[a-z]+"}}};
  if (path == PassPath::kSingleCached || path == PassPath::kResolving) {
    table["tilde"] = {"~"};
    table["also_tilde"] = {"~+"};
  }
  return table;
}

bool Threaded(PassPath path) { return path == PassPath::kResolving || path == PassPath::kCounting; }

// Whether a pass over `inf`'s file ended at a row end. Without `names` the
// file's first row is the header; with them every row is data, as a caller
// that counts a byte range of a file reads it.
bool EndedAtRowEnd(Inf& inf, const Names& names) {
  if (names.empty()) {
    inf.inferTypes();
  } else {
    quorvel::InputStream input(quorvel::openPath(inf.getFilepath()));
    inf.inferTypes(input, quorvel::ColumnLayout{names, false});
  }
  return inf.getEndedAtRowEnd();
}

const PassPath kPassPaths[] = {PassPath::kSingleCached, PassPath::kSingleCounting,
                               PassPath::kResolving, PassPath::kCounting};

// Each ending comes after rows with quoted line breaks that the 16-byte
// chunks of the multithreaded passes are cut inside, so that the last chunk
// is often tokenized again from the state the chunk before left.
TEST_F(InfRowEnd, EveryPathTellsWhetherTheInputEndedAtARowEnd) {
  std::string rows;
  for (int row = 0; row < 30; ++row) rows += "1,\"a\nb\"\n22,\"x\r\n\"\"y\"\"\"\r\n";
  const struct {
    const char* name;
    std::string ending;
    bool atRowEnd;
  } cases[] = {
      {"LF", "1,2\n", true},
      {"CR LF", "1,2\r\n", true},
      {"a lone CR last", "1,2\r", true},
      {"rows ended by lone CRs", "1\r2\r", true},
      {"an empty line", "1,2\n\n", true},
      {"mid-row", "1,2", false},
      {"after a delimiter", "1,", false},
      {"a quoted LF, then the row's end", "1,\"a\nb\"\n", true},
      {"a quoted CR LF, then the row's end", "1,\"a\r\nb\"\r\n", true},
      {"mid-quote, after a quoted LF", "1,\"a\n", false},
      {"mid-quote, after a quoted CR", "1,\"a\r", false},
      {"mid-quote, after a quoted CR LF", "1,\"a\r\n", false},
      {"a doubled quote keeps the field open", "1,\"a\"\"\n", false},
      {"a doubled quote, then the closing one", "1,\"a\"\"\"\n", true},
      {"just past the closing quote", "1,\"a\"", false},
      {"a quote inside an unquoted field is data", "1,5\"\n", true},
      {"text after the closing quote", "1,\"a\"b\"\n", true},
  };
  std::uint64_t reparsed = 0;
  for (const auto& c : cases) {
    for (const PassPath path : kPassPaths) {
      for (const bool header : {true, false}) {
        SCOPED_TRACE(std::string(c.name) + ", path " + std::to_string(static_cast<int>(path)) +
                     (header ? ", header row" : ", names given"));
        auto inf =
            Make((header ? "n,t\n" : "") + rows + c.ending, RowEndTable(path), Threaded(path));
        EXPECT_EQ(EndedAtRowEnd(*inf, header ? Names{} : Names{"n", "t"}), c.atRowEnd);
        const quorvel::PassStats& stats = inf->getPassStats();
        EXPECT_EQ(stats.chunks == 0, path == PassPath::kSingleCached);
        if (stats.chunks > 0) {
          EXPECT_EQ(stats.threads, Threaded(path) ? 3u : 1u);
        }
        reparsed += stats.reparsed;
      }
    }
  }
  EXPECT_GT(reparsed, 0u);
}

// Inputs that end with the header, or with no byte at all, which the
// multithreaded passes never hand to their chunks.
TEST_F(InfRowEnd, InputsWithNoDataRows) {
  const struct {
    const char* name;
    std::string csv;
    Names names;
    bool atRowEnd;
  } cases[] = {
      {"an empty file", "", {}, true},
      {"an empty input under given names", "", {"n"}, true},
      {"the header row", "n,t\n", {}, true},
      {"the header row ended by a lone CR", "n,t\r", {}, true},
      {"an unterminated header row", "n,t", {}, false},
      {"a header row that never leaves its quotes", "n,\"t\n", {}, false},
  };
  for (const auto& c : cases) {
    for (const PassPath path : kPassPaths) {
      SCOPED_TRACE(std::string(c.name) + ", path " + std::to_string(static_cast<int>(path)));
      auto inf = Make(c.csv, RowEndTable(path), Threaded(path));
      EXPECT_EQ(EndedAtRowEnd(*inf, c.names), c.atRowEnd);
    }
  }
}

// Random inputs of the bytes that shape rows agree with the tokenizer fed
// each whole input at once (followRows from a row start), on every path.
TEST_F(InfRowEnd, RandomInputsAgreeWithTheTokenizerFedAtOnce) {
  const std::string alphabet = "a1,\"\r\n";
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 rng(seed);
    std::string data;
    for (std::size_t i = 0, length = rng() % 120; i < length; ++i) {
      data += alphabet[rng() % alphabet.size()];
    }
    for (const bool header : {true, false}) {
      const std::string csv = (header ? "n,t\n" : "") + data;
      const int state = quorvel::followRows(csv.data(), csv.size(), ',', quorvel::kRowStart);
      const bool expected = csv.empty() || state == quorvel::kRowEnd ||
                            state == (quorvel::kRowEnd | quorvel::kAfterCr);
      for (const PassPath path : kPassPaths) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", path " +
                     std::to_string(static_cast<int>(path)) + (header ? ", header row" : ""));
        auto inf = Make(csv, RowEndTable(path), Threaded(path));
        EXPECT_EQ(EndedAtRowEnd(*inf, header ? Names{} : Names{"n", "t"}), expected);
      }
    }
  }
}

}  // namespace

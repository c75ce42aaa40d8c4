// Tests of the classifier's loops beyond what a whole pass shows.
#include "classify/classifier.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "io/input_stream.h"
#include "pass/pass_clock.h"
#include "pass/types_file.h"

namespace {

using quorvel::PassClock;
using quorvel::PassProgress;

// A file of a few bytes, removed at the end of the test.
struct TinyFile {
  std::string path;
  TinyFile() {
    char name[] = "/tmp/quorvel_classifier_test_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "a\n", 2), 2);
    ::close(fd);
    path = name;
  }
  ~TinyFile() { ::unlink(path.c_str()); }
};

// Where the input is read at once and its cells are slow to classify, only
// the rows tell the caller how far the pass has come: each row ticks the
// clock, which calls the hook every 64 rows once its interval has passed.
TEST(ClassifierRows, EachRowTicksTheClockOfThePass) {
  quorvel::PatternTable table;
  table.set({{"int", {"[0-9]+"}}});
  quorvel::Classifier classifier(table, {});
  TinyFile file;
  quorvel::InputStream input(file.path);
  std::vector<std::uint64_t> reported;
  const quorvel::PassHook hook = [&](const PassProgress& progress) {
    reported.push_back(progress.rows);
  };
  PassClock clock(hook, classifier.rows());
  clock.watch(input);
  quorvel::TypesFile typesFile(false, "");

  classifier.startRows(0);
  classifier.startColumns({"a"}, typesFile);
  classifier.headerDone(clock);
  for (int row = 0; row < 62; ++row) classifier.classifyRow({"1"}, typesFile, clock);
  std::this_thread::sleep_for(PassClock::kInterval + std::chrono::milliseconds(10));
  EXPECT_TRUE(reported.empty()) << "no 64th row yet";
  classifier.classifyRow({"2"}, typesFile, clock);
  EXPECT_EQ(reported, std::vector<std::uint64_t>{63});
}

}  // namespace

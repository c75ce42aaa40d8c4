// How many copies of a huge header the engine holds. This binary replaces the
// global operator new to count the live blocks at least as large as the
// header, so it is a binary of its own: the other tests keep the library's
// allocator.
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "inf.h"

namespace {

// Blocks of at least gLargeBytes, judged by the usable size that new and
// delete both see, so that each block is counted in and out alike.
std::atomic<std::size_t> gLargeBytes{std::numeric_limits<std::size_t>::max()};
std::atomic<int> gLiveLarge{0};
std::atomic<int> gPeakLarge{0};

bool isLarge(void* block) { return block != nullptr && malloc_usable_size(block) >= gLargeBytes; }

void noteNew(void* block) {
  if (!isLarge(block)) return;
  const int live = ++gLiveLarge;
  int peak = gPeakLarge.load();
  while (live > peak && !gPeakLarge.compare_exchange_weak(peak, live)) {
  }
}

void noteDelete(void* block) {
  if (isLarge(block)) --gLiveLarge;
}

}  // namespace

// The replacements pair operator new with malloc and operator delete with
// free; where gcc inlines them into a caller it takes the free for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  void* block = std::malloc(std::max<std::size_t>(size, 1));
  if (block == nullptr) throw std::bad_alloc();
  noteNew(block);
  return block;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
  noteDelete(block);
  std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace {

// Not a power of two, so that the field buffer's last doubling leaves a
// block smaller than the header behind, which is not counted.
constexpr std::size_t kHeaderBytes = 3 * (std::size_t{1} << 20) + 12345;

struct Case {
  const char* name;
  const char* afterHeader;  // what follows the header's one huge cell
  bool multithreading;
  bool saveTypesFile;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HeaderCopies : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "header_copies_XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    gLargeBytes = std::numeric_limits<std::size_t>::max();
    std::filesystem::remove_all(dir_);
  }

  std::string dir_;
};

// The parser's field buffer becomes the row's cell, the cell the column's
// name, and the column's tables keep one copy of it: two blocks at most.
TEST_P(HeaderCopies, AtMostTwoCopiesOfTheHeaderLiveDuringAndAfterThePass) {
  const Case& c = GetParam();
  const std::string header(kHeaderBytes, 'h');
  const std::string path = dir_ + "/in.csv";
  std::ofstream(path, std::ios::binary) << header << c.afterHeader;
  quorvel::Inf inf(path, ',', {{"int", {"[0-9]+"}}}, {}, c.multithreading, c.saveTypesFile,
                   dir_ + "/types", 1000);
  inf.setPassThreads(3);
  gLargeBytes = kHeaderBytes;
  gLiveLarge = 0;
  gPeakLarge = 0;
  inf.inferTypes();
  const int peak = gPeakLarge;
  const int kept = gLiveLarge;
  gLargeBytes = std::numeric_limits<std::size_t>::max();
  EXPECT_LE(peak, 2);
  EXPECT_LE(kept, 2);
  EXPECT_EQ(inf.getColNames(), (std::vector<std::string>{header, "b"}));
}

INSTANTIATE_TEST_SUITE_P(Headers, HeaderCopies,
                         testing::Values(Case{"NoLineEnd", ",b", false, false},
                                         Case{"NoLineEndThreads", ",b", true, false},
                                         Case{"TypesFile", ",b", false, true},
                                         Case{"Rows", ",b\n1,2\n3,x\n", false, true},
                                         Case{"RowsThreads", ",b\n1,2\n3,x\n", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

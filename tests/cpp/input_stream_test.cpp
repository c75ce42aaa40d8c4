// Tests of the pass's input: which first bytes count as which compression,
// reading compressed files whole on the reading thread and with the
// decompressor ahead, the column count over compressed input, and a reader
// that waits on a quiet FIFO.
#include "io/input_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filter/lzma.hpp>
#include <boost/iostreams/filter/zstd.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "inf.h"

namespace {

namespace io = boost::iostreams;
using quorvel::Compression;
using quorvel::InputStream;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using namespace std::string_literals;

struct MagicCase {
  const char* name;
  std::string head;
  Compression expected;
};

class CompressionOfCase : public ::testing::TestWithParam<MagicCase> {};

TEST_P(CompressionOfCase, Recognises) {
  const MagicCase& c = GetParam();
  EXPECT_EQ(quorvel::compressionOf(c.head.data(), c.head.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompressionOfCase,
    ::testing::Values(MagicCase{"Gzip", "\x1f\x8b\x08\x00rest"s, Compression::kGzip},
                      MagicCase{"GzipMagicWithoutDeflate", "\x1f\x8b\x07\x00"s, Compression::kNone},
                      MagicCase{"Xz",
                                "\xfd"
                                "7zXZ\0\0\x04"s,
                                Compression::kXz},
                      MagicCase{"XzMagicCutShort",
                                "\xfd"
                                "7zXZ"s,
                                Compression::kNone},
                      MagicCase{"Zstd", "\x28\xb5\x2f\xfd\x04"s, Compression::kZstd},
                      MagicCase{"Bzip2FirstBlock", "BZh91AY&SY\x19"s, Compression::kBzip2},
                      MagicCase{"Bzip2EmptyStream", "BZh9\x17\x72\x45\x38\x50\x90"s,
                                Compression::kBzip2},
                      MagicCase{"TextStartingLikeBzip2", "BZh,BZh9,a\n"s, Compression::kNone},
                      MagicCase{"Bzip2LevelOutOfRange", "BZh01AY&SY"s, Compression::kNone},
                      MagicCase{"Csv", "id,name\n1,x\n"s, Compression::kNone},
                      MagicCase{"Empty", ""s, Compression::kNone}),
    [](const auto& info) { return std::string(info.param.name); });

std::string Compress(Compression compression, const std::string& text) {
  std::string packed;
  io::filtering_ostream out;
  if (compression == Compression::kGzip) out.push(io::gzip_compressor());
  if (compression == Compression::kBzip2) out.push(io::bzip2_compressor());
  if (compression == Compression::kXz) out.push(io::lzma_compressor());
  if (compression == Compression::kZstd) out.push(io::zstd_compressor());
  out.push(io::back_inserter(packed));
  out << text;
  out.reset();
  return packed;
}

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("input_stream_test_" + std::to_string(::getpid()) + "_" + name))
      .string();
}

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Several chunks of text, so that the decompressor ahead fills its ring.
std::string ManyChunks() {
  std::string text;
  for (int i = 0; text.size() < 9 * InputStream::kChunk; ++i) {
    text += std::to_string(i * 7919 % 100003) + ",x" + std::to_string(i) + "\n";
  }
  return text;
}

std::string ReadAll(InputStream& input) {
  std::string all;
  std::string block(InputStream::kChunk, '\0');
  std::istream& in = input.stream();
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    all.append(block.data(), static_cast<std::size_t>(in.gcount()));
  }
  return all;
}

class ReadCase : public ::testing::TestWithParam<std::tuple<Compression, bool>> {};

TEST_P(ReadCase, DeliversTheContentAndCountsTheFileBytes) {
  const auto [compression, aside] = GetParam();
  const std::string text = ManyChunks();
  const std::string packed = compression == Compression::kNone ? text : Compress(compression, text);
  const std::string path = WriteFile("read", packed);
  InputStream input(path, nullptr, aside);
  EXPECT_EQ(input.compression(), compression);
  EXPECT_EQ(ReadAll(input), text);
  EXPECT_EQ(input.bytesRead(), packed.size());
  EXPECT_EQ(input.totalBytes(), packed.size());
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadCase,
    ::testing::Combine(::testing::Values(Compression::kNone, Compression::kGzip,
                                         Compression::kBzip2, Compression::kXz, Compression::kZstd),
                       ::testing::Bool()));

// A row of a plain file may begin with any format's magic, and a byte range
// cut from the file may begin with that row.
struct SignedRow {
  const char* name;
  std::string magic;
  Compression lookalike;
};

const SignedRow kSignedRows[] = {
    {"Gzip", "\x1f\x8b\x08"s, Compression::kGzip},
    {"Bzip2", "BZh91AY&SY"s, Compression::kBzip2},
    {"Xz",
     "\xfd"
     "7zXZ\0"s,
     Compression::kXz},
    {"Zstd", "\x28\xb5\x2f\xfd"s, Compression::kZstd},
};

class RangeCase : public ::testing::TestWithParam<std::tuple<SignedRow, bool>> {};

TEST_P(RangeCase, ARangeThatBeginsWithAMagicIsReadAsItIs) {
  const auto& [row, aside] = GetParam();
  const std::string header = "id,n\n";
  const std::string rows = row.magic + "1,2\n" + row.magic + "3,4\n";
  ASSERT_EQ(quorvel::compressionOf(rows.data(), rows.size()), row.lookalike);
  const std::string path = WriteFile("range", header + rows + "5,6\n");
  InputStream input(quorvel::openRange(path, header.size(), header.size() + rows.size()));
  if (aside) input.decompressAside();
  EXPECT_EQ(input.compression(), Compression::kNone);
  EXPECT_EQ(input.peek(row.magic.size()), row.magic);
  EXPECT_EQ(ReadAll(input), rows);
  EXPECT_EQ(input.bytesRead(), rows.size());
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, RangeCase,
                         ::testing::Combine(::testing::ValuesIn(kSignedRows), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Aside" : "");
                         });

TEST(InputStreamTest, TheColumnCountReadsCompressedInputAsThePassDoes) {
  const std::string path = WriteFile("columns", Compress(Compression::kZstd, "a,b,c\n1,2\n"));
  EXPECT_EQ(quorvel::Inf(path, ',', {}, {}, false, false, "", 1).getNumCols(), 3);
  std::remove(path.c_str());
}

TEST(InputStreamTest, AMissingPathIsNoStream) {
  EXPECT_THAT([] { InputStream input(TempPath("missing")); },
              ThrowsMessage<std::runtime_error>(StrEq("Something is wrong with input stream")));
}

// A FIFO that this test holds open for writing, so that the reader waits for
// data that does not come instead of meeting the end.
class QuietFifo {
 public:
  explicit QuietFifo(const std::string& bytes) : path_(TempPath("fifo")) {
    std::remove(path_.c_str());
    if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    writer_ = ::open(path_.c_str(), O_RDWR);
    if (::write(writer_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write failed");
    }
  }
  ~QuietFifo() {
    ::close(writer_);
    std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int writer_;
};

class QuietFifoCase : public ::testing::TestWithParam<bool> {};

// The hook is how a pass notices Ctrl-C while its input waits; the reader
// must then also be able to go away while its decompressor still waits.
TEST_P(QuietFifoCase, TheHookRunsWhileTheReaderWaitsAndWhatItThrowsEndsTheRead) {
  const bool aside = GetParam();
  // Less than a chunk's worth, so that the reader soon waits for more.
  QuietFifo fifo(Compress(Compression::kGzip, ManyChunks()).substr(0, 100));
  int calls = 0;
  auto reading = std::async(std::launch::async, [&] {
    InputStream input(
        fifo.path(),
        [&](const InputStream&) {
          if (++calls == 3) throw std::range_error("interrupted");
        },
        aside);
    ReadAll(input);
  });
  ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the reader neither ran its hook nor went away";
  EXPECT_THAT([&] { reading.get(); }, ThrowsMessage<std::range_error>(StrEq("interrupted")));
  EXPECT_EQ(calls, 3);
}

INSTANTIATE_TEST_SUITE_P(Modes, QuietFifoCase, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Aside" : "Inline"; });

}  // namespace

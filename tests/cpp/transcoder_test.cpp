// The transcoder against hand-encoded cases, each fed whole and cut at every
// byte; and the sources: ranges, descriptors, a file that shrinks.
#include "io/transcoder.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "io/input_stream.h"

namespace {

using quorvel::Encoding;
using quorvel::Transcoder;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

// U+DC00 + b, the engine's stand-in for an undecodable byte b.
std::string Escaped(std::initializer_list<unsigned char> bytes) {
  std::string out;
  for (const unsigned char b : bytes) {
    out += static_cast<char>(0xED);
    out += static_cast<char>(0xB0 | (b >> 6));
    out += static_cast<char>(0x80 | (b & 0x3F));
  }
  return out;
}

struct Case {
  const char* name;
  Encoding from;
  std::string in;
  std::string utf8;
  std::uint64_t undecodable;
  std::uint64_t firstAt;
};

// Feeds `in` in two calls cut at `cut`, handing back what each call leaves
// unread, as InputStream does.
std::string Transcode(Transcoder& t, const std::string& in, std::size_t cut) {
  std::string out;
  std::string pending;
  for (const auto& [part, last] : {std::pair{in.substr(0, cut), false}, {in.substr(cut), true}}) {
    const std::string text = pending + part;
    std::string room(Transcoder::kMaxGrowth * text.size(), '\0');
    const auto done = t.transcode(text.data(), text.size(), room.data(), last);
    EXPECT_LE(text.size() - done.read, Transcoder::kMaxPending);
    out.append(room.data(), done.written);
    pending = text.substr(done.read);
  }
  EXPECT_EQ(pending, "");
  return out;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"Utf16LeAscii", Encoding::kUtf16Le, std::string("a\0,\0\n\0", 6), "a,\n", 0, 0},
      {"Utf16BeBmp", Encoding::kUtf16Be, std::string("\0a\x20\xAC", 4), "a\xE2\x82\xAC", 0, 0},
      // U+1F600 as a surrogate pair.
      {"Utf16LePair", Encoding::kUtf16Le, std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80", 0,
       0},
      {"Utf16LeLoneHigh", Encoding::kUtf16Le, std::string("\x3D\xD8x\0", 4),
       Escaped({0x3D, 0xD8}) + "x", 1, 0},
      {"Utf16LeLoneLow", Encoding::kUtf16Le, std::string("x\0\x00\xDC", 4),
       "x" + Escaped({0x00, 0xDC}), 1, 2},
      {"Utf16LeHighAtTheEnd", Encoding::kUtf16Le, std::string("x\0\x3D\xD8", 4),
       "x" + Escaped({0x3D, 0xD8}), 1, 2},
      {"Utf16LeOddByte", Encoding::kUtf16Le, std::string("x\0y", 3), "x" + Escaped({'y'}), 1, 2},
      {"Utf32LeAstral", Encoding::kUtf32Le, std::string("\x00\xF6\x01\x00", 4), "\xF0\x9F\x98\x80",
       0, 0},
      {"Utf32BeAscii", Encoding::kUtf32Be, std::string("\0\0\0a\0\0\0\n", 8), "a\n", 0, 0},
      {"Utf32BeTooLarge", Encoding::kUtf32Be, std::string("\0\0\0a\0\x11\0\0", 8),
       "a" + Escaped({0, 0x11, 0, 0}), 1, 4},
      {"Latin1", Encoding::kLatin1, "caf\xE9\x80", "caf\xC3\xA9\xC2\x80", 0, 0},
      {"Cp1252", Encoding::kCp1252, "\x80\x9F\xE9", "\xE2\x82\xAC\xC5\xB8\xC3\xA9", 0, 0},
      {"Cp1252Undefined", Encoding::kCp1252, "a\x81\x8D", "a" + Escaped({0x81}) + Escaped({0x8D}),
       2, 1},
      {"Utf8PassesAsItIs", Encoding::kUtf8, "\xFF\xC3\xA9", "\xFF\xC3\xA9", 0, 0},
  };
  return cases;
}

class TranscoderCase : public ::testing::TestWithParam<Case> {};

TEST_P(TranscoderCase, GivesTheSameUtf8WhereverTheInputIsCut) {
  const Case& c = GetParam();
  for (std::size_t cut = 0; cut <= c.in.size(); ++cut) {
    Transcoder t(c.from);
    EXPECT_EQ(Transcode(t, c.in, cut), c.utf8) << "cut at " << cut;
    EXPECT_EQ(t.undecodable(), c.undecodable) << "cut at " << cut;
    if (c.undecodable > 0) {
      EXPECT_EQ(t.firstUndecodableAt(), c.firstAt) << "cut at " << cut;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TranscoderCase, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

TEST(EncodingNamed, KnowsPythonsNamesOnly) {
  EXPECT_EQ(quorvel::encodingNamed("utf-16-le"), Encoding::kUtf16Le);
  EXPECT_EQ(quorvel::encodingNamed("latin-1"), Encoding::kLatin1);
  EXPECT_EQ(quorvel::encodingNamed("cp1252"), Encoding::kCp1252);
  EXPECT_EQ(quorvel::encodingNamed("utf-16"), std::nullopt);  // the byte order is the package's
  EXPECT_EQ(quorvel::encodingNamed("euc_jp"), std::nullopt);
}

std::string TempFile(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "/quorvel_source_" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string ReadAll(quorvel::ByteSource& source, std::size_t piece = 3) {
  std::string all;
  std::string buffer(piece, '\0');
  for (std::size_t got; (got = source.read(buffer.data(), piece)) > 0;) all.append(buffer, 0, got);
  return all;
}

TEST(ByteSource, ARangeIsItsBytesAndEndsWhereTheFileDoes) {
  const std::string path = TempFile("range", "0123456789");
  struct Range {
    std::uint64_t start, end;
    const char* bytes;
  };
  for (const Range& r : {Range{0, 10, "0123456789"}, Range{2, 5, "234"}, Range{7, 100, "789"},
                         Range{4, 4, ""}, Range{12, 20, ""}}) {
    auto source = quorvel::openRange(path, r.start, r.end);
    EXPECT_EQ(ReadAll(*source), r.bytes) << r.start << ".." << r.end;
    EXPECT_EQ(source->size(), std::string(r.bytes).size());
  }
  EXPECT_THAT([&] { quorvel::openRange(path, 5, 4); },
              ThrowsMessage<std::invalid_argument>(HasSubstr("must not start (5) after")));
  std::remove(path.c_str());
}

TEST(ByteSource, ADescriptorIsReadFromWhereItStandsAndStaysTheCallers) {
  const std::string path = TempFile("fd", "abcdef");
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::lseek(fd, 2, SEEK_SET), 2);
  {
    auto source = quorvel::openDescriptor(fd);
    EXPECT_EQ(source->size(), 4u);
    EXPECT_EQ(ReadAll(*source), "cdef");
    EXPECT_TRUE(source->isFile(path));
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), 0) << "the caller's descriptor was closed";
  ::close(fd);
  EXPECT_THAT([&] { quorvel::openDescriptor(fd); },
              ThrowsMessage<std::runtime_error>(StartsWith("Cannot read file descriptor")));
  std::remove(path.c_str());
}

TEST(ByteSource, AFileThatShrinksWhileReadFailsNamingWhere) {
  const std::string path = TempFile("shrinks", std::string(100, 'x'));
  auto source = quorvel::openPath(path);
  char buffer[40];
  ASSERT_EQ(source->read(buffer, 40), 40u);
  ASSERT_EQ(::truncate(path.c_str(), 50), 0);
  ASSERT_EQ(source->read(buffer, 40), 10u);
  EXPECT_THAT([&] { source->read(buffer, 40); },
              ThrowsMessage<std::runtime_error>(
                  "Cannot read input stream '" + path +
                  "' at byte 50: it ended before its 100 bytes (the file shrank while read)"));
  std::remove(path.c_str());
}

TEST(InputStreamPeek, GivesTheHeadAgainAndDecodesAfterTheMark) {
  const std::string utf16 = std::string("\xFF\xFE", 2) + std::string("a\0,\0\xE9\0\n\0", 8);
  const std::string path = TempFile("peek", utf16);
  quorvel::InputStream input(quorvel::openPath(path));
  EXPECT_EQ(input.peek(4), utf16.substr(0, 4));
  EXPECT_EQ(input.peek(1000), utf16);
  input.decodeAs(Encoding::kUtf16Le, 2);
  std::string all((std::istreambuf_iterator<char>(input.stream())), {});
  EXPECT_EQ(all, "a,\xC3\xA9\n");
  EXPECT_THAT([&] { input.peek(1); }, ThrowsMessage<std::logic_error>(HasSubstr("after")));
  std::remove(path.c_str());
}

}  // namespace

// Text in another encoding turned into UTF-8 while the input is read, so that
// the tokenizer, the patterns and the names all see UTF-8: UTF-16 and UTF-32
// in either byte order, Latin-1 and cp1252.
//
//   Transcoder utf16(Encoding::kUtf16Le);
//   auto [read, written] = utf16.transcode(in, size, out, /*last=*/false);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel {

enum class Encoding { kUtf8, kUtf16Le, kUtf16Be, kUtf32Le, kUtf32Be, kLatin1, kCp1252 };

// The encoding of a codec name as Python's codecs.lookup() normalises it
// ("utf-8", "utf-16-le", "iso8859-1", "cp1252", ...); none for the others,
// which the package decodes itself.
std::optional<Encoding> encodingNamed(std::string_view name);

// Contracts:
//  - transcode() decodes the whole code units at the start of its input and
//    writes at most kMaxGrowth bytes for each byte it reads. It leaves unread
//    at most kMaxPending bytes at the end: a unit, or a surrogate pair, that
//    the input cuts, for the caller to hand in again with what follows. With
//    `last` it reads everything, and a cut unit is undecodable.
//  - An undecodable sequence is never replaced by a character: each of its
//    bytes b becomes the lone surrogate U+DC00 + b in three bytes (which are
//    not valid UTF-8, so the cell matches no sane pattern and Python shows
//    the byte: see the package), and the sequence is counted.
class Transcoder {
 public:
  // A cp1252 byte, or an undecodable byte, becomes three bytes of UTF-8.
  static constexpr std::size_t kMaxGrowth = 3;
  static constexpr std::size_t kMaxPending = 3;

  explicit Transcoder(Encoding from) : from_(from) {}

  struct Result {
    std::size_t read;
    std::size_t written;
  };
  Result transcode(const char* in, std::size_t size, char* out, bool last);

  // Sequences that did not decode, and the offset in the input of the first.
  std::uint64_t undecodable() const { return undecodable_; }
  std::uint64_t firstUndecodableAt() const { return firstUndecodableAt_; }

 private:
  // Decodes the whole units of [in, in + size); returns the bytes used.
  std::size_t decodeUnits(const unsigned char* in, std::size_t size, char*& out, bool last);
  void escape(const unsigned char* in, std::size_t at, std::size_t count, char*& out);

  Encoding from_;
  std::uint64_t consumed_ = 0;  // input bytes read before this call
  std::uint64_t undecodable_ = 0;
  std::uint64_t firstUndecodableAt_ = 0;
};

}  // namespace quorvel

// The decoders of the encodings the engine reads itself, each a loop over
// whole code units, and the carrying of a unit cut between two reads.
#include "io/transcoder.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvel {

namespace {

// cp1252's 0x80..0x9F; 0 marks the five bytes it leaves undefined.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void putUtf8(char32_t c, char*& out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t unit16(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (char32_t{p[0]} << 8 | p[1]) : (char32_t{p[1]} << 8 | p[0]);
}

char32_t unit32(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (char32_t{p[0]} << 24 | char32_t{p[1]} << 16 | char32_t{p[2]} << 8 | p[3])
                   : (char32_t{p[3]} << 24 | char32_t{p[2]} << 16 | char32_t{p[1]} << 8 | p[0]);
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::optional<Encoding> encodingNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, Encoding> kNames[] = {
      {"utf-8", Encoding::kUtf8},        {"utf-16-le", Encoding::kUtf16Le},
      {"utf-16-be", Encoding::kUtf16Be}, {"utf-32-le", Encoding::kUtf32Le},
      {"utf-32-be", Encoding::kUtf32Be}, {"iso8859-1", Encoding::kLatin1},
      {"latin-1", Encoding::kLatin1},    {"cp1252", Encoding::kCp1252},
  };
  for (const auto& [known, encoding] : kNames) {
    if (known == name) return encoding;
  }
  return std::nullopt;
}

// `at` is the sequence's offset in the input of the decodeUnits() call.
void Transcoder::escape(const unsigned char* bytes, std::size_t at, std::size_t count, char*& out) {
  if (undecodable_++ == 0) firstUndecodableAt_ = consumed_ + at;
  for (std::size_t i = 0; i < count; ++i) putUtf8(0xDC00 + bytes[at + i], out);
}

std::size_t Transcoder::decodeUnits(const unsigned char* in, std::size_t size, char*& out,
                                    bool last) {
  const bool big = from_ == Encoding::kUtf16Be || from_ == Encoding::kUtf32Be;
  std::size_t at = 0;
  switch (from_) {
    case Encoding::kUtf8:
      std::memcpy(out, in, size);
      out += size;
      return size;
    case Encoding::kLatin1:
      for (; at < size; ++at) putUtf8(in[at], out);
      return size;
    case Encoding::kCp1252:
      for (; at < size; ++at) {
        const unsigned char byte = in[at];
        const char32_t c = byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
        if (c == 0) {
          escape(in, at, 1, out);
        } else {
          putUtf8(c, out);
        }
      }
      return size;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be:
      while (at + 2 <= size) {
        const char32_t c = unit16(in + at, big);
        if (isHighSurrogate(c)) {
          if (at + 4 > size && !last) break;  // its pair may come with the next read
          const char32_t low = at + 4 <= size ? unit16(in + at + 2, big) : 0;
          if (isLowSurrogate(low)) {
            putUtf8(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), out);
            at += 4;
            continue;
          }
        }
        if (isHighSurrogate(c) || isLowSurrogate(c)) {
          escape(in, at, 2, out);
        } else {
          putUtf8(c, out);
        }
        at += 2;
      }
      break;
    case Encoding::kUtf32Le:
    case Encoding::kUtf32Be:
      for (; at + 4 <= size; at += 4) {
        const char32_t c = unit32(in + at, big);
        if (c > 0x10FFFF || isHighSurrogate(c) || isLowSurrogate(c)) {
          escape(in, at, 4, out);
        } else {
          putUtf8(c, out);
        }
      }
      break;
  }
  if (last && at < size) {
    escape(in, at, size - at, out);
    at = size;
  }
  return at;
}

Transcoder::Result Transcoder::transcode(const char* in, std::size_t size, char* out, bool last) {
  char* const start = out;
  const std::size_t used = decodeUnits(reinterpret_cast<const unsigned char*>(in), size, out, last);
  consumed_ += used;
  return {used, static_cast<std::size_t>(out - start)};
}

}  // namespace quorvel

// The UTF-8 check: a skip over ASCII, SIMD or by words, and a decoder of one
// sequence of other bytes, shared by both.
#include "load/utf8_text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {

namespace {

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The bytes of the well-formed sequence at `at`, by Unicode's table of
// well-formed byte sequences; 0 where none starts there. The second byte's
// range shuts out overlong forms, surrogates and what lies past U+10FFFF.
std::size_t sequenceAt(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() - at < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!isContinuation(byte(i))) return 0;
  }
  return length;
}

std::size_t skipAsciiBytes(std::string_view bytes, std::size_t at) {
  while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) < 0x80) ++at;
  return at;
}

// Where the first byte from `at` on that is not ASCII stands, or the size.
std::size_t skipAsciiWords(std::string_view bytes, std::size_t at) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    // Little-endian: the lowest set bit is the first such byte.
    if (const std::uint64_t high = word & kHighBits) {
      return at + static_cast<std::size_t>(__builtin_ctzll(high)) / 8;
    }
  }
  return skipAsciiBytes(bytes, at);
}

#if defined(__SSE2__)
std::size_t skipAsciiBlocks(std::string_view bytes, std::size_t at) {
  for (; at + 16 <= bytes.size(); at += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + at));
    if (const int high = _mm_movemask_epi8(block)) {
      return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    }
  }
  return skipAsciiWords(bytes, at);
}
#endif

template <std::size_t (*skipAscii)(std::string_view, std::size_t)>
bool isUtf8With(std::string_view bytes) {
  std::size_t at = skipAscii(bytes, 0);
  while (at < bytes.size()) {
    const std::size_t length = sequenceAt(bytes, at);
    if (length == 0) return false;
    at = skipAscii(bytes, at + length);
  }
  return true;
}

}  // namespace

bool isUtf8(std::string_view bytes) {
#if defined(__SSE2__)
  return isUtf8With<skipAsciiBlocks>(bytes);
#else
  return isUtf8With<skipAsciiWords>(bytes);
#endif
}

bool isUtf8Portable(std::string_view bytes) { return isUtf8With<skipAsciiWords>(bytes); }

}  // namespace quorvel

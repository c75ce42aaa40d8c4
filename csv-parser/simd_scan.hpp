// The SIMD searches of the tokenizer: the run of plain bytes of an unquoted
// field, and the separator masks of 64-byte blocks that ChunkTokenizer walks,
// with the path that makes those masks chosen once at run time. Code for AVX2
// is compiled with a target attribute, so that one build runs on any x86-64.
//
//   const csv_detail::SeparatorMasker masker = csv_detail::separator_masker(
//       csv_detail::chosen_scan_path().load());  // null: the state machine alone
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace csv_detail {

#if defined(__SSE2__)
// Bit i set where byte i of the 16 at `p` is a, b or c.
inline unsigned match3_16(const char* p, __m128i a, __m128i b, __m128i c) {
  const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(chunk, a), _mm_cmpeq_epi8(chunk, b)), _mm_cmpeq_epi8(chunk, c));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// Offset of the first byte in [begin, end) equal to a, b or c, or end - begin.
// Most bytes of an unquoted field are ordinary, so the search runs sixteen
// bytes at a time where SSE2 is available.
inline std::size_t find_first_of3(const char* begin, const char* end, char a, char b, char c) {
  const char* p = begin;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; end - p >= 16; p += 16) {
    const unsigned mask = match3_16(p, va, vb, vc);
    if (mask != 0) return static_cast<std::size_t>(p - begin) + __builtin_ctz(mask);
  }
#endif
  for (; p != end; ++p) {
    if (*p == a || *p == b || *p == c) break;
  }
  return static_cast<std::size_t>(p - begin);
}

// The bytes that end an unquoted field: the delimiter and the terminator's
// bytes (CR and LF, or the single terminator twice).
struct SeparatorBytes {
  char delimiter;
  char first_terminator;
  char second_terminator;
};

// Bit i of the result is set where byte i of the 64-byte block is one of
// `bytes`. Every path gives the same masks; they differ only in speed.
using SeparatorMasker = std::uint64_t (*)(const char* block, const SeparatorBytes& bytes);

// How ChunkTokenizer finds the ends of unquoted fields: the state machine
// alone, or 64-byte blocks turned into separator masks with SSE2 or AVX2.
enum class ScanPath : int { kScalar = 0, kSse2 = 1, kAvx2 = 2 };

#if defined(__SSE2__)
inline std::uint64_t separators_sse2(const char* block, const SeparatorBytes& bytes) {
  const __m128i delimiter = _mm_set1_epi8(bytes.delimiter);
  const __m128i first = _mm_set1_epi8(bytes.first_terminator);
  const __m128i second = _mm_set1_epi8(bytes.second_terminator);
  std::uint64_t mask = 0;
  for (int at = 0; at < 64; at += 16) {
    mask |= std::uint64_t{match3_16(block + at, delimiter, first, second)} << at;
  }
  return mask;
}
#endif

#if defined(__x86_64__)
// Compiled for AVX2 whatever the build's target, and called only where the
// processor has it (see scan_path_supported), so that one build runs on any
// x86-64.
__attribute__((target("avx2"))) inline std::uint32_t match3_32(const char* p, __m256i a, __m256i b,
                                                               __m256i c) {
  const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hits =
      _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(chunk, a), _mm256_cmpeq_epi8(chunk, b)),
                      _mm256_cmpeq_epi8(chunk, c));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
}

__attribute__((target("avx2"))) inline std::uint64_t separators_avx2(const char* block,
                                                                     const SeparatorBytes& bytes) {
  const __m256i delimiter = _mm256_set1_epi8(bytes.delimiter);
  const __m256i first = _mm256_set1_epi8(bytes.first_terminator);
  const __m256i second = _mm256_set1_epi8(bytes.second_terminator);
  return std::uint64_t{match3_32(block, delimiter, first, second)} |
         std::uint64_t{match3_32(block + 32, delimiter, first, second)} << 32;
}

// The processor is asked with cpuid itself rather than through
// __builtin_cpu_supports, whose table lives in a runtime library that not
// every toolchain links into a shared module (the wheel's does not).
inline bool cpu_has_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  if ((ecx & bit_AVX) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
  // The operating system must save the upper halves of the registers too.
  std::uint32_t saved_low = 0, saved_high = 0;
  __asm__("xgetbv" : "=a"(saved_low), "=d"(saved_high) : "c"(0));
  constexpr std::uint32_t kSseAndAvxState = 0x6;
  if ((saved_low & kSseAndAvxState) != kSseAndAvxState) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0;
}
#endif

// Whether this build on this processor can take `path`; the processor is
// asked once.
inline bool scan_path_supported(ScanPath path) {
  switch (path) {
    case ScanPath::kScalar:
      return true;
    case ScanPath::kSse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case ScanPath::kAvx2: {
#if defined(__x86_64__)
      static const bool has_avx2 = cpu_has_avx2();
      return has_avx2;
#else
      return false;
#endif
    }
  }
  return false;
}

// The masker of `path`, or null for the state machine alone. `path` must be
// supported.
inline SeparatorMasker separator_masker(ScanPath path) {
  switch (path) {
#if defined(__SSE2__)
    case ScanPath::kSse2:
      return separators_sse2;
#endif
#if defined(__x86_64__)
    case ScanPath::kAvx2:
      return separators_avx2;
#endif
    default:
      return nullptr;
  }
}

inline ScanPath fastest_scan_path() {
  for (const ScanPath path : {ScanPath::kAvx2, ScanPath::kSse2}) {
    if (scan_path_supported(path)) return path;
  }
  return ScanPath::kScalar;
}

// The path that tokenizers take from their next reset() on: the fastest the
// processor supports, unless force_scan_path() chose another.
inline std::atomic<ScanPath>& chosen_scan_path() {
  static std::atomic<ScanPath> path{fastest_scan_path()};
  return path;
}

// For tests and fuzzers, which hold every path to the scalar one. Returns
// false, and changes nothing, where this machine cannot take `path`.
inline bool force_scan_path(ScanPath path) {
  if (!scan_path_supported(path)) return false;
  chosen_scan_path().store(path, std::memory_order_relaxed);
  return true;
}

}  // namespace csv_detail

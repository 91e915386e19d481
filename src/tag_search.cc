#include "tag_search.h"

#include <cstring>

#ifdef PNGCARVE_HAVE_SSE2
#include <immintrin.h>
#endif

namespace pngcarve {

namespace {

bool is_tag(const unsigned char* p) {
  return std::memcmp(p, kIhdrTag, sizeof kIhdrTag) == 0;
}

#ifdef PNGCARVE_HAVE_SSE2
// Returns the lowest set bit's index and clears it.
int pop_lowest(unsigned& mask) {
  int bit = __builtin_ctz(mask);
  mask &= mask - 1;
  return bit;
}
#endif

}  // namespace

const unsigned char* find_ihdr_scalar(const unsigned char* begin,
                                      const unsigned char* end) {
  if (end - begin < 4) return end;
  // memchr for the 'R' at offset 3, then confirm the whole tag. 'R' rather
  // than 'I' keeps runs of 0x49 bytes (common filler) from stopping memchr.
  const unsigned char* p = begin + 3;
  while (p < end) {
    p = static_cast<const unsigned char*>(std::memchr(p, 'R', end - p));
    if (p == nullptr) return end;
    if (is_tag(p - 3)) return p - 3;
    ++p;
  }
  return end;
}

#ifdef PNGCARVE_HAVE_SSE2
const unsigned char* find_ihdr_sse2(const unsigned char* begin,
                                    const unsigned char* end) {
  const __m128i first = _mm_set1_epi8('I');
  const __m128i second = _mm_set1_epi8('H');
  const __m128i third = _mm_set1_epi8('D');
  const __m128i last = _mm_set1_epi8('R');
  const unsigned char* p = begin;
  // Each step tests the 16 starts p .. p+15, reading up to p+18.
  while (end - p >= 16 + 3) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(d, last))));
    if (mask != 0) {
      // Dense candidates (runs of "IR", "IxxR") would make a compare per
      // candidate slow: test the middle bytes for the whole vector first.
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
      mask &= static_cast<unsigned>(_mm_movemask_epi8(
          _mm_and_si128(_mm_cmpeq_epi8(b, second), _mm_cmpeq_epi8(c, third))));
    }
    while (mask != 0) {
      const unsigned char* candidate = p + pop_lowest(mask);
      if (is_tag(candidate)) return candidate;
    }
    p += 16;
  }
  return find_ihdr_scalar(p, end);
}
#endif

#ifdef PNGCARVE_HAVE_AVX2
__attribute__((target("avx2"))) const unsigned char* find_ihdr_avx2(
    const unsigned char* begin, const unsigned char* end) {
  const __m256i first = _mm256_set1_epi8('I');
  const __m256i second = _mm256_set1_epi8('H');
  const __m256i third = _mm256_set1_epi8('D');
  const __m256i last = _mm256_set1_epi8('R');
  const unsigned char* p = begin;
  // Each step tests the 32 starts p .. p+31, reading up to p+34.
  while (end - p >= 32 + 3) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
        _mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(d, last))));
    if (mask != 0) {
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
      __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
      mask &= static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
          _mm256_cmpeq_epi8(b, second), _mm256_cmpeq_epi8(c, third))));
    }
    while (mask != 0) {
      const unsigned char* candidate = p + pop_lowest(mask);
      if (is_tag(candidate)) return candidate;
    }
    p += 32;
  }
  return find_ihdr_sse2(p, end);
}
#endif

bool avx2_supported() {
#ifdef PNGCARVE_HAVE_AVX2
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
#else
  return false;
#endif
}

const unsigned char* find_ihdr(const unsigned char* begin,
                               const unsigned char* end) {
#ifdef PNGCARVE_HAVE_AVX2
  if (avx2_supported()) return find_ihdr_avx2(begin, end);
#endif
#ifdef PNGCARVE_HAVE_SSE2
  return find_ihdr_sse2(begin, end);
#else
  return find_ihdr_scalar(begin, end);
#endif
}

}  // namespace pngcarve

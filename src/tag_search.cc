#include "tag_search.h"

#include <algorithm>
#include <cstring>

#ifdef PNGCARVE_HAVE_SSE2
#include <immintrin.h>
#endif

namespace pngcarve {

namespace {

bool is_tag(const unsigned char* p, const unsigned char* tag) {
  return std::memcmp(p, tag, 4) == 0;
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

const unsigned char* find_tag_scalar(const unsigned char* begin,
                                     const unsigned char* end,
                                     const unsigned char* tag,
                                     const unsigned char* other) {
  if (other != nullptr)
    return std::min(find_tag_scalar(begin, end, tag),
                    find_tag_scalar(begin, end, other));
  if (end - begin < 4) return end;
  // memchr for the tag's last byte, then confirm the whole tag. The last
  // rather than the first keeps runs of 0x49 bytes (common filler, and 'I'
  // begins every tag searched for) from stopping memchr.
  const unsigned char* p = begin + 3;
  while (p < end) {
    p = static_cast<const unsigned char*>(std::memchr(p, tag[3], end - p));
    if (p == nullptr) return end;
    if (is_tag(p - 3, tag)) return p - 3;
    ++p;
  }
  return end;
}

#ifdef PNGCARVE_HAVE_SSE2
namespace {
// For N tags at once (one, or either of two that begin with the same byte), 16
// starts at each step.
template <int N>
const unsigned char* search_sse2(const unsigned char* begin,
                                 const unsigned char* end,
                                 const unsigned char* const (&tags)[N]) {
  const __m128i first = _mm_set1_epi8(static_cast<char>(tags[0][0]));
  __m128i second[N], third[N], last[N];
  for (int k = 0; k < N; ++k) {
    second[k] = _mm_set1_epi8(static_cast<char>(tags[k][1]));
    third[k] = _mm_set1_epi8(static_cast<char>(tags[k][2]));
    last[k] = _mm_set1_epi8(static_cast<char>(tags[k][3]));
  }
  const unsigned char* p = begin;
  // Each step tests the 16 starts p .. p+15, reading up to p+18.
  while (end - p >= 16 + 3) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
    // The tags share their first byte.
    __m128i ends = _mm_cmpeq_epi8(d, last[0]);
    for (int k = 1; k < N; ++k)
      ends = _mm_or_si128(ends, _mm_cmpeq_epi8(d, last[k]));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), ends)));
    if (mask != 0) {
      // Dense candidates (runs of "IR", "IxxR") would make a compare per
      // candidate slow: test the middle bytes for the whole vector first.
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
      __m128i middles = _mm_and_si128(_mm_cmpeq_epi8(b, second[0]),
                                      _mm_cmpeq_epi8(c, third[0]));
      for (int k = 1; k < N; ++k)
        middles =
            _mm_or_si128(middles, _mm_and_si128(_mm_cmpeq_epi8(b, second[k]),
                                                _mm_cmpeq_epi8(c, third[k])));
      mask &= static_cast<unsigned>(_mm_movemask_epi8(middles));
    }
    while (mask != 0) {
      const unsigned char* candidate = p + pop_lowest(mask);
      for (int k = 0; k < N; ++k)
        if (is_tag(candidate, tags[k])) return candidate;
    }
    p += 16;
  }
  return find_tag_scalar(p, end, tags[0], N == 2 ? tags[N - 1] : nullptr);
}
}  // namespace

const unsigned char* find_tag_sse2(const unsigned char* begin,
                                   const unsigned char* end,
                                   const unsigned char* tag,
                                   const unsigned char* other) {
  if (other == nullptr) return search_sse2<1>(begin, end, {tag});
  return search_sse2<2>(begin, end, {tag, other});
}
#endif

#ifdef PNGCARVE_HAVE_AVX2
namespace {
// For N tags at once (one, or either of two that begin with the same byte), 32
// starts at each step.
template <int N>
__attribute__((target("avx2"))) const unsigned char* search_avx2(
    const unsigned char* begin, const unsigned char* end,
    const unsigned char* const (&tags)[N]) {
  const __m256i first = _mm256_set1_epi8(static_cast<char>(tags[0][0]));
  __m256i second[N], third[N], last[N];
  for (int k = 0; k < N; ++k) {
    second[k] = _mm256_set1_epi8(static_cast<char>(tags[k][1]));
    third[k] = _mm256_set1_epi8(static_cast<char>(tags[k][2]));
    last[k] = _mm256_set1_epi8(static_cast<char>(tags[k][3]));
  }
  const unsigned char* p = begin;
  // Each step tests the 32 starts p .. p+31, reading up to p+34.
  while (end - p >= 32 + 3) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3));
    // The tags share their first byte.
    __m256i ends = _mm256_cmpeq_epi8(d, last[0]);
    for (int k = 1; k < N; ++k)
      ends = _mm256_or_si256(ends, _mm256_cmpeq_epi8(d, last[k]));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, first), ends)));
    if (mask != 0) {
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
      __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
      __m256i middles = _mm256_and_si256(_mm256_cmpeq_epi8(b, second[0]),
                                         _mm256_cmpeq_epi8(c, third[0]));
      for (int k = 1; k < N; ++k)
        middles = _mm256_or_si256(
            middles, _mm256_and_si256(_mm256_cmpeq_epi8(b, second[k]),
                                      _mm256_cmpeq_epi8(c, third[k])));
      mask &= static_cast<unsigned>(_mm256_movemask_epi8(middles));
    }
    while (mask != 0) {
      const unsigned char* candidate = p + pop_lowest(mask);
      for (int k = 0; k < N; ++k)
        if (is_tag(candidate, tags[k])) return candidate;
    }
    p += 32;
  }
  return find_tag_sse2(p, end, tags[0], N == 2 ? tags[N - 1] : nullptr);
}
}  // namespace

const unsigned char* find_tag_avx2(const unsigned char* begin,
                                   const unsigned char* end,
                                   const unsigned char* tag,
                                   const unsigned char* other) {
  if (other == nullptr) return search_avx2<1>(begin, end, {tag});
  return search_avx2<2>(begin, end, {tag, other});
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

const unsigned char* find_tag(const unsigned char* begin,
                              const unsigned char* end,
                              const unsigned char* tag,
                              const unsigned char* other) {
#ifdef PNGCARVE_HAVE_AVX2
  if (avx2_supported()) return find_tag_avx2(begin, end, tag, other);
#endif
#ifdef PNGCARVE_HAVE_SSE2
  return find_tag_sse2(begin, end, tag, other);
#else
  return find_tag_scalar(begin, end, tag, other);
#endif
}

}  // namespace pngcarve

// Finding a chunk tag ("IHDR", and for mending "IDAT" and "IEND") in a
// block of bytes.
//
// find_tag() picks the fastest implementation this processor runs, once:
// AVX2 or SSE2 on x86-64, SSE2 as WebAssembly SIMD in the web page's build,
// a portable scalar search elsewhere. The vector searches test the first
// and last bytes of the tag (of each, for two) at 16 or 32 offsets at once,
// test the middle bytes too only for a block that has candidates, confirm
// each candidate with 4-byte compares, and finish the tail with the scalar
// search. All of them return the same result.
#ifndef PNGCARVE_TAG_SEARCH_H_
#define PNGCARVE_TAG_SEARCH_H_

namespace pngcarve {

// The chunk type that begins every PNG image.
constexpr unsigned char kIhdrTag[4] = {'I', 'H', 'D', 'R'};

// Returns a pointer to the first 4-byte `tag`, or `other` when one is
// given, that lies wholly inside [begin, end), or `end` if there is none.
// `other` begins with the same byte as `tag`.
const unsigned char* find_tag(const unsigned char* begin,
                              const unsigned char* end,
                              const unsigned char* tag,
                              const unsigned char* other = nullptr);

// The first "IHDR" in [begin, end), or `end`.
inline const unsigned char* find_ihdr(const unsigned char* begin,
                                      const unsigned char* end) {
  return find_tag(begin, end, kIhdrTag);
}

// The implementations behind find_tag(), with the same contract. The
// vector ones exist only where the processor family has them; the AVX2 one
// must be called only when avx2_supported() is true.
const unsigned char* find_tag_scalar(const unsigned char* begin,
                                     const unsigned char* end,
                                     const unsigned char* tag,
                                     const unsigned char* other = nullptr);
// SSE2 also where the compiler maps it to another vector set, as clang
// does to WebAssembly SIMD with -msimd128 -msse2.
#if defined(__x86_64__) || defined(_M_X64) || \
    (defined(__wasm_simd128__) && defined(__SSE2__))
#define PNGCARVE_HAVE_SSE2 1
const unsigned char* find_tag_sse2(const unsigned char* begin,
                                   const unsigned char* end,
                                   const unsigned char* tag,
                                   const unsigned char* other = nullptr);
#endif
#if defined(__x86_64__) && !defined(_WIN32) && \
    (defined(__GNUC__) || defined(__clang__))
// Left out on Windows, where the 16-byte stack alignment of the platform's
// ABI makes GCC's spills of 32-byte vectors unsafe.
#define PNGCARVE_HAVE_AVX2 1
const unsigned char* find_tag_avx2(const unsigned char* begin,
                                   const unsigned char* end,
                                   const unsigned char* tag,
                                   const unsigned char* other = nullptr);
#endif

// Returns true if find_tag_avx2() can run on this processor.
bool avx2_supported();

}  // namespace pngcarve

#endif  // PNGCARVE_TAG_SEARCH_H_

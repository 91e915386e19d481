// Finding the "IHDR" chunk tag in a block of bytes.
#ifndef PNGCARVE_TAG_SEARCH_H_
#define PNGCARVE_TAG_SEARCH_H_

namespace pngcarve {

// The chunk type that begins every PNG image.
constexpr unsigned char kIhdrTag[4] = {'I', 'H', 'D', 'R'};

// Returns a pointer to the first "IHDR" that lies wholly inside
// [begin, end), or `end` if there is none.
const unsigned char* find_ihdr(const unsigned char* begin,
                               const unsigned char* end);

}  // namespace pngcarve

#endif  // PNGCARVE_TAG_SEARCH_H_

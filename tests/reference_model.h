// A deliberately plain model of the extractor, for differential tests: it
// reads an in-memory input one byte at a time, exactly as the algorithm is
// described, and shares no code with the real extractor.
#ifndef PNGCARVE_TESTS_REFERENCE_MODEL_H_
#define PNGCARVE_TESTS_REFERENCE_MODEL_H_

#include <string>
#include <utility>
#include <vector>

namespace testutil {

struct Carving {
  std::vector<std::pair<std::string, std::string>> images;  // name, bytes
  std::string console;
  std::vector<unsigned long long> offsets;  // of each image's "IHDR" tag
  // Each image's place after the tag: the input bytes it holds after its
  // 16 constant ones, and whether a standard IEND chunk closes it.
  std::vector<std::pair<unsigned long long, bool>> places;
};

// Returns the images and console text for `input` named `path`.
Carving model_carve(const std::string& input, const std::string& path);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_REFERENCE_MODEL_H_

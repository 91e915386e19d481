// Runs the real extractor on an in-memory input, and compares carvings.
#ifndef PNGCARVE_TESTS_CARVE_HARNESS_H_
#define PNGCARVE_TESTS_CARVE_HARNESS_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "png_extract.h"
#include "reference_model.h"

namespace testutil {

// Returns a stdio stream that reads `bytes`; an empty string gives a stream
// already at its end. REQUIRES: `bytes` outlives the stream.
std::FILE* open_memory(const std::string& bytes);

// Carves the open stream `in` with the real extractor, naming the outputs
// after `path` (which must lie in a writable folder), reads the outputs back
// and removes them. Returns the images and console text, like model_carve(),
// with a line added to the console text when the bytes the extractor told
// its hook differ from those it wrote, and stores the extractor's result in `*result` when it is given.
Carving real_carve_stream(std::FILE* in, const std::string& path,
                          pngcarve::ExtractResult* result = nullptr);

// The same for an in-memory input.
Carving real_carve(const std::string& input, const std::string& path,
                   pngcarve::ExtractResult* result = nullptr);

// Carves `input` with the images inside others' runs carved too (as
// pngcarve-report --all does), every one written, and holds them to the
// model: the extractor's images and console are the model's, each nested
// image is the model's first image of the input from its tag, named after
// its parent, and every IHDR tag began an image or was told not carved.
// Returns "" or what differs first.
std::string nested_difference(const std::string& input,
                              const std::string& path);

// Returns "" when `a` and `b` are the same, else what differs first.
std::string difference(const Carving& a, const Carving& b);

// Returns a structured random input for `seed`: real PNG images cut and
// spliced, chunk headers with odd lengths, stray and near-miss tags, and
// random bytes.
std::string random_input(uint64_t seed);

// Returns a smaller input for which `fails` is still true, found by
// removing pieces of `input` while the failure persists.
template <typename Fails>
std::string minimize(std::string input, Fails fails) {
  for (size_t piece = input.size() / 2; piece > 0; piece /= 2) {
    for (size_t at = 0; at + piece <= input.size();) {
      std::string shorter = input.substr(0, at) + input.substr(at + piece);
      if (fails(shorter)) {
        input = shorter;
      } else {
        at += piece;
      }
    }
  }
  return input;
}

// Returns `bytes` as hexadecimal, for failure messages.
std::string hex(const std::string& bytes);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_CARVE_HARNESS_H_

// Test helpers for mending: a disk of 4 KiB clusters with a PNG laid on it
// in pieces, read at will, and its tags indexed as a carve would.
#ifndef PNGCARVE_TESTS_DISK_H_
#define PNGCARVE_TESTS_DISK_H_

#include <cstddef>
#include <string>
#include <vector>

#include "reader.h"
#include "record.h"
#include "tag_index.h"

namespace testutil {

constexpr size_t kCluster = 4096;

struct Disk {
  std::string bytes;
  uint64_t ihdr_tag = 0;
  std::vector<pngcarve::Piece> truth;  // the PNG's pieces from the IHDR data
};

// A disk of `clusters` clusters of `fill` (filler() when empty), with `png`
// laid in pieces: piece k (a run of whole clusters of the file, in file
// order, piece_clusters[k] of them but for the last) at cluster places[k].
Disk lay(const std::string& png, size_t clusters,
         const std::vector<size_t>& places,
         const std::vector<size_t>& piece_clusters, std::string fill = "");

// Reads `bytes`, which must outlive it.
pngcarve::ReadAt reader(const std::string& bytes);

// The tags of `bytes`, pushed `step` bytes at a time, done.
pngcarve::TagIndex index_of(const std::string& bytes, size_t step = 1 << 20);

// The raw rows of a PNG: its IDAT data, inflated.
std::string rows_of(const std::string& png);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_DISK_H_

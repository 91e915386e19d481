// An input as evidence comes: a file (a raw image, a device, a pipe), a raw
// image split in segments ("disk.001", "disk.002", ... or "disk.aa",
// "disk.ab", ...) joined in order, or an EWF image ("disk.E01", "disk.E02",
// ...) read through libewf where the build has it. Each is read forward
// once by the carve, and where it can be, again at any offset by mending;
// its offsets are the media's, as for a raw image.
//
// An EWF image is told by its signature, not its name. A split image is
// told by its first segment's name (".000" or ".001", or ".aa") and the
// next segment beside it. A segment missing after others, or shorter than
// the first segment though others follow it, ends what is read there:
// read() then fails, and failure() names the segment. A last segment
// missing can't be told, since nothing follows it.
#ifndef PNGCARVE_REPORT_EVIDENCE_H_
#define PNGCARVE_REPORT_EVIDENCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pngcarve {

// The hashes an EWF image stores of its media, when acquired with them.
struct StoredHashes {
  std::string md5;  // lower-case hexadecimal, or "" when none is stored
  std::string sha1;
};

class Evidence {
 public:
  virtual ~Evidence() = default;

  // "raw", "split raw" or "EWF".
  virtual const char* container() const = 0;
  // The files it is read from, in order.
  const std::vector<std::string>& segments() const { return segments_; }
  // Reads the next bytes, up to `n`, into `buf`: the number read, 0 at
  // the end, -1 when reading failed (failure() says why, when it knows).
  virtual long read(void* buf, size_t n) = 0;
  // Whether read_at() can be used: false for a pipe.
  virtual bool can_read_at() const = 0;
  // Up to `n` bytes at `offset` into `buf`, fewer only at the end of what
  // can be read; SIZE_MAX when the read failed. Safe on several threads.
  virtual size_t read_at(uint64_t offset, void* buf, size_t n) = 0;
  // What read() failed on, or "".
  const std::string& failure() const { return failure_; }
  virtual StoredHashes stored() const { return {}; }
  // Once read to its end, what the container found wrong in the bytes it
  // gave (an EWF chunk whose checksum failed), each said whole.
  virtual std::vector<std::string> faults() { return {}; }

 protected:
  std::vector<std::string> segments_;
  std::string failure_;
};

// Whether this build opens EWF images.
bool opens_ewf();

// Opens `path` as what it holds. Returns null, with `*error` saying why,
// when it can't be opened ("could not be opened: ...", "is a folder, not a
// file", what libewf said).
std::unique_ptr<Evidence> open_evidence(const std::string& path,
                                        std::string* error);

// The name of the segment after `name` in a split raw image ("disk.002"
// after "disk.001", "disk.ab" after "disk.aa", "disk.ba" after "disk.az"),
// or "" when its suffix counts no further.
std::string next_segment(const std::string& name);

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_EVIDENCE_H_

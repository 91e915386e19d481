// Buffered forward reading of an input stream, and the copy helpers the
// extractor is built on.
//
// An Input owns one fixed-size buffer over an already open stdio stream. The
// tag search looks at whole blocks of that buffer, and fcopy() writes chunk
// data straight out of it, so every input byte is read once, forward, with no
// seeking and in constant memory. A read error ends the input like its end
// does, and is remembered in `failed` so that it can be reported: once the
// stream yields nothing, or fails, the Input stays exhausted.
#ifndef PNGCARVE_STREAM_COPY_H_
#define PNGCARVE_STREAM_COPY_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace pngcarve {

// Size of the input buffer. Large enough that a refill costs one system call
// per 256 KiB, small enough to stay in the L2 cache.
constexpr size_t kInputBufferSize = 256 * 1024;

// Told each piece of bytes, in order.
using Tap = std::function<void(const unsigned char* data, size_t n)>;

// Reads up to `n` bytes of an input into `buf`, returning as soon as some
// are there: the number read, 0 at the input's end, or -1 on a read error.
// For an input that is no one stdio stream (an evidence container, say).
using ReadSome = std::function<long(void* buf, size_t n)>;

struct Input {
  std::FILE* file = nullptr;       // not owned
  ReadSome read;                   // when set, read instead of `file`
  std::vector<unsigned char> buf;  // kInputBufferSize bytes
  size_t pos = 0;                  // next unread byte in buf
  size_t end = 0;                  // one past the last valid byte in buf
  uint64_t base = 0;               // offset in the stream of buf[0]
  bool exhausted = false;          // the stream has ended or failed
  bool failed = false;             // ...and it was a read error
  Tap seen;  // when set, shown every byte of the stream as it is read
  // When set, shown every byte once the reader is done with it (before a
  // refill moves it out, or at input_tell()), in order; `told` is where in
  // buf the bytes not yet shown begin.
  Tap gone;
  size_t told = 0;
};

// Prepares `in` to read from `file`, which must be open for binary reading.
// REQUIRES: nothing has been read from `file` yet through stdio.
void input_open(Input& in, std::FILE* file);
// Prepares `in` to read through `read`.
void input_open(Input& in, ReadSome read);

// Makes at least `want` bytes (at most kInputBufferSize) available in
// in.buf[in.pos, in.end) unless the stream ends first; the unread bytes are
// moved to the front of the buffer so they stay contiguous.
// Returns the number of unread bytes now available.
size_t input_fill(Input& in, size_t want);

// Shows `gone` the bytes read past since it was last shown some.
void input_tell(Input& in);

// Reads up to `n` bytes into `dst`. Returns the number read, which is less
// than `n` only at the end of the input (or after a read error).
size_t input_read(Input& in, void* dst, size_t n);

// Returns the smaller of `a` and `b` (b when b <= a).
uint32_t min(uint32_t a, uint32_t b);

// Returns `x` with its four bytes in reverse order.
uint32_t swap_endian(uint32_t x);

// Returns the big-endian 32-bit number stored in the four bytes at `p`,
// on any host.
uint32_t load_be32(const unsigned char* p);

// Copies `count` bytes from `src` to `dst` in large blocks, and shows each
// block to `tap` when it is set; with no `dst`, only to `tap`. Stops early
// and in silence when the source runs out.
// Returns false if a write to `dst` failed (the copy stops there).
bool fcopy(std::FILE* dst, Input& src, uint32_t count,
           const Tap& tap = nullptr);

}  // namespace pngcarve

#endif  // PNGCARVE_STREAM_COPY_H_

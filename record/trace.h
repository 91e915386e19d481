// What is known of one carved image from its bytes as they go by, in
// constant memory: its size, its IHDR's width and height, its SHA-256 and
// MD5 (unless told to stop), and the IHDR tags inside it after the one it was found by (how
// many, and where the first kHiddenListed lie in the input). pngcarve-report
// and the web page's carving worker both trace each image with it.
//
//   trace.start(offset, &record);  // offset: of the image's IHDR tag
//   trace.push(data, n);           // each piece of its bytes, in order
//   trace.end(&record);            // the fields above filled in
#ifndef PNGCARVE_RECORD_TRACE_H_
#define PNGCARVE_RECORD_TRACE_H_

#include <cstddef>
#include <cstdint>

#include "digest.h"
#include "png_extract.h"
#include "record.h"

namespace pngcarve {

// In an image: the signature, then IHDR's length and tag.
constexpr size_t kWidthAt = sizeof kSignature + sizeof kIhdrHeader;

class ImageTrace {
 public:
  void start(uint64_t offset, ImageRecord* record);
  void push(const unsigned char* data, size_t n);
  // Whether its IHDR's 13 bytes and CRC, after its tag, have all come,
  // and they.
  bool tail_whole() const { return record_->size >= sizeof head_; }
  const unsigned char* tail() const { return head_ + kWidthAt; }
  // Hashes none of its bytes from here on: it is not written, and its
  // record gives no hashes (a chance tag's run of gigabytes is not worth
  // them).
  void stop_hashing() { hashing_ = false; }
  // False when the hashes could not be had (out of memory).
  bool end(ImageRecord* record);

 private:
  void hidden_at(uint64_t at);  // at: where in the image a tag begins

  ImageRecord* record_ = nullptr;
  Digests digests_;
  unsigned char head_[kWidthAt + kIhdrTail];
  unsigned char tail_[3];  // the last bytes seen, for a tag across pieces
  size_t tail_size_ = 0;
  bool hashing_ = true;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_TRACE_H_

// Handoff: carries what the carve sees of each image (where it begins, its
// bytes, how it ends) from the carving thread to a second thread, which
// tells `sink` in the same order. Images inside others' runs are carved
// while those are, so each event names the slot of the image it is of:
// 0 for the extractor's, 1 + its NestedCarves slot for a nested one. So the
// image's hashes are computed, and its record written, while the carve reads
// and writes the next bytes. The bytes in flight are copies, at most
// kHandoffBytes of them besides the batch being made: past that the carve
// waits. Where the C++ library has no threads (MinGW-w64's win32 thread model),
// `sink` is told at once, on the carving thread.
//
//   Handoff handoff(sink);
//   handoff.start(slot, input, output, parent, offset);
//   handoff.push(slot, data, n); ...
//   handoff.end(slot, how);
//   handoff.drain();  // returns once `sink` has been told all of it
#ifndef PNGCARVE_REPORT_HANDOFF_H_
#define PNGCARVE_REPORT_HANDOFF_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#if !defined(__GLIBCXX__) || defined(_GLIBCXX_HAS_GTHREADS)
#define PNGCARVE_HANDOFF_THREAD 1
#include <condition_variable>
#include <mutex>
#include <thread>
#else
#define PNGCARVE_HANDOFF_THREAD 0
#endif

namespace pngcarve {

// The events go over in batches of at most kHandoffBatchBytes bytes and
// kHandoffEvents events, so that the threads meet once a batch, not once an
// image; and at most kHandoffBatches batches and kHandoffBytes bytes are in
// flight, besides the batch being made.
constexpr size_t kHandoffBatchBytes = 64 * 1024;
constexpr size_t kHandoffEvents = 1024;
constexpr size_t kHandoffBatches = 4;
constexpr size_t kHandoffBytes = kHandoffBatches * kHandoffBatchBytes;

// How an image ended, as the carving thread knows it. The strings live as
// long as the program does.
struct ImageEnd {
  uint64_t run_length = 0;
  bool iend = false;
  const char* check = "";        // "ok", "cut", ...
  const char* not_written = "";  // why no output was made for it, or ""
  uint64_t not_carved = 0;       // tags in its run that began no image
};

// What is told of each image, in order, on the second thread. `parent`:
// the output of the image whose run held it, or "".
class ImageSink {
 public:
  virtual ~ImageSink() = default;
  virtual void start(size_t slot, const std::string& input,
                     const std::string& output, const std::string& parent,
                     uint64_t offset) = 0;
  virtual void push(size_t slot, const unsigned char* data, size_t n) = 0;
  virtual void end(size_t slot, const ImageEnd& how) = 0;
};

class Handoff {
 public:
  explicit Handoff(ImageSink* sink);
  ~Handoff();  // drains, then ends the second thread
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  void start(size_t slot, const std::string& input, const std::string& output,
             const std::string& parent, uint64_t offset);
  void push(size_t slot, const unsigned char* data, size_t n);
  void end(size_t slot, const ImageEnd& how);
  void drain();

 private:
  enum class Kind { kStart, kBytes, kEnd };
  struct Event {
    Kind kind = Kind::kStart;
    size_t slot = 0;
    uint64_t number = 0;  // the offset, or how many bytes
    ImageEnd how;
    std::string input, output, parent;
  };
  // Events, and the bytes of its kBytes events one after another.
  struct Batch {
    std::vector<Event> events;
    std::vector<unsigned char> bytes;
  };

  void post(Event event);
  // Tells `sink` of one event; `bytes`: a kBytes event's.
  void tell(const Event& event, const unsigned char* bytes);

  ImageSink* sink_;
#if PNGCARVE_HANDOFF_THREAD
  void send();  // hands the batch being made over
  void run();

  Batch making_;  // on the carving thread

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch> batches_;
  std::vector<Batch> spare_;  // told, their memory kept for the carve's next
  size_t bytes_ = 0;          // of the batches handed over and not yet told
  size_t untold_ = 0;         // batches handed over and not yet told whole
  bool closing_ = false;
  std::thread thread_;
#endif
};

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_HANDOFF_H_

#include "handoff.h"

#include <utility>

namespace pngcarve {

void Handoff::start(size_t slot, const std::string& input,
                    const std::string& output, const std::string& parent,
                    uint64_t offset) {
  Event event;
  event.kind = Kind::kStart;
  event.slot = slot;
  event.number = offset;
  event.input = input;
  event.output = output;
  event.parent = parent;
  post(std::move(event));
}

void Handoff::end(size_t slot, const ImageEnd& how) {
  Event event;
  event.kind = Kind::kEnd;
  event.slot = slot;
  event.how = how;
  post(std::move(event));
}

void Handoff::tell(const Event& event, const unsigned char* bytes) {
  switch (event.kind) {
    case Kind::kStart:
      sink_->start(event.slot, event.input, event.output, event.parent,
                   event.number);
      break;
    case Kind::kBytes:
      sink_->push(event.slot, bytes, event.number);
      break;
    case Kind::kEnd:
      sink_->end(event.slot, event.how);
      break;
  }
}

#if PNGCARVE_HANDOFF_THREAD

Handoff::Handoff(ImageSink* sink) : sink_(sink), thread_(&Handoff::run, this) {
  making_.events.reserve(kHandoffEvents);
  making_.bytes.reserve(kHandoffBatchBytes);
}

Handoff::~Handoff() {
  drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Handoff::push(size_t slot, const unsigned char* data, size_t n) {
  // In pieces that fill a batch at most, so that none grows past its size.
  while (n > 0) {
    const size_t room = kHandoffBatchBytes - making_.bytes.size();
    const size_t part = n < room ? n : room;
    Event event;
    event.kind = Kind::kBytes;
    event.slot = slot;
    event.number = part;
    making_.bytes.insert(making_.bytes.end(), data, data + part);
    post(std::move(event));
    data += part;
    n -= part;
  }
}

void Handoff::post(Event event) {
  making_.events.push_back(std::move(event));
  if (making_.bytes.size() >= kHandoffBatchBytes ||
      making_.events.size() >= kHandoffEvents) {
    send();
  }
}

void Handoff::send() {
  if (making_.events.empty()) return;
  const size_t size = making_.bytes.size();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return bytes_ + size <= kHandoffBytes &&
             batches_.size() < kHandoffBatches;
    });
    bytes_ += size;
    ++untold_;
    batches_.push_back(std::move(making_));
    // The next batch in the memory of one told, if there is one: a batch
    // of its own each time cost the carve a fresh allocation, and the
    // kernel its pages, for each.
    if (spare_.empty()) {
      making_ = Batch();
    } else {
      making_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  changed_.notify_all();
  making_.events.reserve(kHandoffEvents);
  making_.bytes.reserve(kHandoffBatchBytes);
}

// Counted by batches told, not by bytes: a batch of no bytes (an end
// alone, after a batch filled exactly) is still being told once it has left
// `batches_`.
void Handoff::drain() {
  send();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return untold_ == 0; });
}

void Handoff::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !batches_.empty() || closing_; });
    if (batches_.empty()) return;  // closing, with all told
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    lock.unlock();
    const unsigned char* bytes = batch.bytes.data();
    for (const Event& event : batch.events) {
      tell(event, bytes);
      if (event.kind == Kind::kBytes) bytes += event.number;
    }
    const size_t size = batch.bytes.size();
    batch.events.clear();  // its strings freed here, not on the carve's
    batch.bytes.clear();
    lock.lock();
    bytes_ -= size;
    --untold_;
    spare_.push_back(std::move(batch));
    changed_.notify_all();
  }
}

#else

Handoff::Handoff(ImageSink* sink) : sink_(sink) {}
Handoff::~Handoff() = default;
void Handoff::push(size_t slot, const unsigned char* data, size_t n) {
  sink_->push(slot, data, n);
}
void Handoff::post(Event event) { tell(event, nullptr); }
void Handoff::drain() {}

#endif

}  // namespace pngcarve

#include "source_hash.h"

#include <utility>

#include "record.h"

namespace pngcarve {

void SourceHash::start(bool sha1) {
  const bool md5 = md5_.start();
  started_ = sha256_.start() && md5;
  sha1_on_ = sha1 && sha1_.start();
}

void SourceHash::hash(const unsigned char* data, size_t n) {
  if (slow_) slow_();
  md5_.push(data, n);
}

SourceHash::Hex SourceHash::end() {
#if PNGCARVE_HANDOFF_THREAD
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return blocks_.empty() && !busy_; });
  }
#endif
  Hex hex;
  unsigned char bytes[kSha256Size];  // the largest
  auto take = [&](Hash& hash, std::string* out) {
    if (hash.end(bytes))
      *out = pngcarve::hex(bytes, hash.size());
    else
      hex.ok = false;
  };
  if (started_) {
    take(md5_, &hex.md5);
    take(sha256_, &hex.sha256);
  } else {
    hex.ok = false;
  }
  if (sha1_on_) take(sha1_, &hex.sha1);
  return hex;
}

#if PNGCARVE_HANDOFF_THREAD

SourceHash::SourceHash(std::function<void()> slow)
    : slow_(std::move(slow)), thread_(&SourceHash::run, this) {}

SourceHash::~SourceHash() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void SourceHash::push(const unsigned char* data, size_t n) {
  if (n == 0) return;
  sha256_.push(data, n);
  if (sha1_on_) sha1_.push(data, n);
  std::vector<unsigned char> block;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return blocks_.size() < kSourceBlocks; });
    if (!spare_.empty()) {
      block = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  block.assign(data, data + n);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back(std::move(block));
  }
  changed_.notify_all();
}

void SourceHash::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !blocks_.empty(); });
    if (blocks_.empty()) return;  // closing, with all hashed
    std::vector<unsigned char> block = std::move(blocks_.front());
    blocks_.pop_front();
    busy_ = true;
    lock.unlock();
    changed_.notify_all();  // room for one more
    hash(block.data(), block.size());
    lock.lock();
    busy_ = false;
    spare_.push_back(std::move(block));
    changed_.notify_all();
  }
}

#else

SourceHash::SourceHash(std::function<void()> slow) : slow_(std::move(slow)) {}
SourceHash::~SourceHash() = default;

void SourceHash::push(const unsigned char* data, size_t n) {
  sha256_.push(data, n);
  if (sha1_on_) sha1_.push(data, n);
  hash(data, n);
}

#endif

}  // namespace pngcarve

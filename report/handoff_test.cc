#include "handoff.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace pngcarve {
namespace {

// Writes down all it is told, as text, and checks it is told on one thread.
class Log : public ImageSink {
 public:
  void start(size_t, const std::string& input, const std::string& output,
             const std::string&, uint64_t offset) override {
    seen(std::this_thread::get_id());
    text +=
        "start " + input + " " + output + " " + std::to_string(offset) + "\n";
  }
  void push(size_t, const unsigned char* data, size_t n) override {
    seen(std::this_thread::get_id());
    text.append(reinterpret_cast<const char*>(data), n);
  }
  void end(size_t, const ImageEnd& how) override {
    seen(std::this_thread::get_id());
    text += "\nend " + std::to_string(how.run_length) +
            (how.iend ? " iend " : " cut ") + how.check + "\n";
  }

  std::string text;

 private:
  void seen(std::thread::id id) {
    if (thread == std::thread::id()) thread = id;
    EXPECT_EQ(thread, id);
  }
  std::thread::id thread;
};

// Every event arrives, in order, whether it is smaller than a batch, many
// to a batch, or larger than all the bytes allowed in flight; and drain()
// returns with all of it told, as between two inputs.
TEST(Handoff, TellsEverythingInOrderAndDrains) {
  Log log;
  std::string expected;
  {
    Handoff handoff(&log);
    for (int input = 0; input < 2; ++input) {
      const std::string name = "in" + std::to_string(input);
      for (int image = 0; image < 1000; ++image) {
        // Images of 0 bytes up to twice the bytes allowed in flight, in
        // pieces of up to a batch and a half.
        const size_t size =
            image % 97 == 0 ? 2 * kHandoffBytes : image * 37 % 5000;
        handoff.start(0, name, name + "." + std::to_string(image), "",
                      image * 10);
        expected += "start " + name + " " + name + "." + std::to_string(image) +
                    " " + std::to_string(image * 10) + "\n";
        std::string bytes(size, static_cast<char>('a' + image % 26));
        for (size_t at = 0; at < size;) {
          size_t n = std::min(size - at, kHandoffBatchBytes * 3 / 2);
          handoff.push(
              0, reinterpret_cast<const unsigned char*>(bytes.data() + at), n);
          at += n;
        }
        expected += bytes;
        handoff.end(0, {size, image % 2 == 0, image % 3 ? "ok" : "crc"});
        expected += "\nend " + std::to_string(size) +
                    (image % 2 ? " cut " : " iend ") +
                    (image % 3 ? "ok" : "crc") + "\n";
      }
      handoff.drain();
      EXPECT_EQ(log.text, expected);
    }
    // Left undrained: the destructor tells the rest before it returns.
    handoff.start(0, "last", "last.0", "", 1);
    handoff.end(0, {0, false, "cut"});
  }
  EXPECT_EQ(log.text, expected + "start last last.0 1\n\nend 0 cut cut\n");
}

// A sink whose end is slow, so that an image's end is still being told
// well after its batch has left the queue.
class SlowEnd : public ImageSink {
 public:
  void start(size_t, const std::string&, const std::string&, const std::string&,
             uint64_t) override {}
  void push(size_t, const unsigned char*, size_t) override {}
  void end(size_t, const ImageEnd&) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ++ended;  // unguarded: read after drain(), which must order it
  }
  int ended = 0;
};

// A batch filled exactly by one image's bytes leaves its end to a batch of
// no bytes at all; drain() still waits until that end has been told, as
// pngcarve-report waits before it closes the record.
TEST(Handoff, DrainWaitsForAnEndThatCameAlone) {
  SlowEnd sink;
  Handoff handoff(&sink);
  const std::string bytes(kHandoffBatchBytes, 'x');
  for (int image = 1; image <= 10; ++image) {
    handoff.start(0, "in", "in.0", "", 0);
    handoff.push(0, reinterpret_cast<const unsigned char*>(bytes.data()),
                 bytes.size());
    handoff.end(0, {bytes.size(), true, "ok"});
    handoff.drain();
    ASSERT_EQ(sink.ended, image);
  }
}

}  // namespace
}  // namespace pngcarve

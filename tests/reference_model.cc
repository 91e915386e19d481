#include "reference_model.h"

#include <cstdio>

namespace testutil {

namespace {

struct Reader {
  const std::string& data;
  size_t pos = 0;
  // One byte, or -1 at the end.
  int get() { return pos < data.size() ? (unsigned char)data[pos++] : -1; }
  // Up to n bytes into out; returns how many.
  size_t read(std::string& out, size_t n) {
    out.clear();
    while (out.size() < n) {
      int c = get();
      if (c < 0) break;
      out += (char)c;
    }
    return out.size();
  }
};

void copy(std::string& out, Reader& in, unsigned count) {
  std::string block;
  while (count > 0) {
    size_t got = in.read(block, count < 4096 ? count : 4096);
    if (got == 0) return;
    out += block;
    count -= (unsigned)got;
  }
}

}  // namespace

Carving model_carve(const std::string& input, const std::string& path) {
  Carving result;
  Reader in{input};
  long long counter = 0;
  std::string window;
  for (;;) {
    // Search: four bytes, then slide one byte at a time.
    if (in.read(window, 4) < 4) break;
    bool found = true;
    while (window != "IHDR") {
      int c = in.get();
      if (c < 0) {
        found = false;
        break;
      }
      window = window.substr(1) + (char)c;
    }
    if (!found) break;
    result.offsets.push_back(in.pos - 4);

    char name[64];
    std::snprintf(name, sizeof name, ".%04lld.png", counter);
    result.console +=
        "\rExtracting: " + path + " -> " + std::to_string(counter);
    std::string out("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    copy(out, in, 17);
    bool idat_seen = false;
    bool ended = false;
    std::string length, tag;
    for (;;) {
      if (in.read(length, 4) < 4) break;
      if (in.read(tag, 4) < 4) break;
      if (idat_seen && tag != "IDAT") {
        ended = true;
        break;
      }
      if (tag == "IDAT") idat_seen = true;
      out += length + tag;
      unsigned l = ((unsigned)(unsigned char)length[0] << 24) |
                   ((unsigned)(unsigned char)length[1] << 16) |
                   ((unsigned)(unsigned char)length[2] << 8) |
                   (unsigned)(unsigned char)length[3];
      copy(out, in, l + 4u);
    }
    result.places.emplace_back(out.size() - 16, ended);
    if (ended) out += std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    result.images.emplace_back(path + name, out);
    if (!ended) break;
    ++counter;
  }
  result.console += "\n";
  return result;
}

}  // namespace testutil

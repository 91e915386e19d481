#include "carve_harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "nested.h"
#include "png_builder.h"

namespace testutil {

std::FILE* open_memory(const std::string& bytes) {
  // fmemopen needs a size of at least 1: an empty string lends its
  // terminating null, read past at once.
  std::FILE* f = fmemopen(const_cast<char*>(bytes.data()),
                          bytes.empty() ? 1 : bytes.size(), "rb");
  if (bytes.empty()) fgetc(f);
  return f;
}

namespace {

// An image carved inside another's run: where its tag was, its name and
// its parent's, and its bytes as told.
struct NestedImage {
  uint64_t offset = 0;
  std::string name, parent, told;
};

// `nested`, when given, has the images inside others' runs carved too.
Carving carve_stream(std::FILE* in, const std::string& path,
                     pngcarve::ExtractResult* result,
                     std::vector<NestedImage>* nested, size_t* not_carved) {
  char* text = nullptr;
  size_t text_size = 0;
  FILE* console = open_memstream(&text, &text_size);
  // Where each image lies, and its bytes as the sink was told them.
  struct Told : pngcarve::CarveSink {
    Carving* c;
    std::vector<std::string> bytes_told;
    explicit Told(Carving* carving) : c(carving) {}
    void start(uint64_t offset) override {
      c->offsets.push_back(offset);
      bytes_told.emplace_back();
    }
    void bytes(const unsigned char* data, size_t n) override {
      bytes_told.back().append(reinterpret_cast<const char*>(data), n);
    }
    void end(uint64_t run_length, bool iend) override {
      c->places.emplace_back(run_length, iend);
    }
    std::vector<NestedImage>* nested = nullptr;
    size_t* uncarved = nullptr;
    std::vector<size_t> open = std::vector<size_t>(pngcarve::kMaxNested);
    bool nests() const override { return nested != nullptr; }
    void nested_start(size_t slot, uint64_t offset, const std::string& name,
                      const std::string& parent) override {
      open[slot] = nested->size();
      nested->push_back({offset, name, parent, ""});
    }
    void nested_bytes(size_t slot, const unsigned char* data,
                      size_t n) override {
      (*nested)[open[slot]].told.append(reinterpret_cast<const char*>(data), n);
    }
    void not_carved(uint64_t, const std::string&) override { ++*uncarved; }
  };
  Carving c;
  Told sink(&c);
  sink.nested = nested;
  sink.uncarved = not_carved;
  std::vector<std::string>& told = sink.bytes_told;
  pngcarve::ExtractResult r =
      pngcarve::png_extract_stream(in, path, console, false, &sink);
  if (result) *result = r;
  fclose(console);
  c.console.assign(text, text_size);
  free(text);
  for (int64_t i = 0;; ++i) {
    std::string name = pngcarve::output_name(path, i);
    if (!std::filesystem::exists(name)) break;
    c.images.emplace_back(name, read_file(name));
    std::filesystem::remove(name);
  }
  // What the hook was told is what was written, or the carving can't match.
  for (size_t i = 0; i < c.images.size() && i < told.size(); ++i) {
    if (told[i] != c.images[i].second)
      c.console += "\n[the bytes told of image " + std::to_string(i) +
                   " are not those written]";
  }
  return c;
}

}  // namespace

Carving real_carve_stream(std::FILE* in, const std::string& path,
                          pngcarve::ExtractResult* result) {
  return carve_stream(in, path, result, nullptr, nullptr);
}

std::string nested_difference(const std::string& input,
                              const std::string& path) {
  std::vector<NestedImage> nested;
  size_t not_carved = 0;
  FILE* in = open_memory(input);
  Carving c = carve_stream(in, path, nullptr, &nested, &not_carved);
  fclose(in);
  std::string diff = difference(c, model_carve(input, path));
  if (!diff.empty()) return "carving nested images too: " + diff;
  std::vector<std::string> names;  // of every image, its parent's first
  for (const auto& image : c.images) names.push_back(image.first);
  for (const NestedImage& image : nested) {
    std::string written;
    if (std::filesystem::exists(image.name)) {
      written = read_file(image.name);
      std::filesystem::remove(image.name);
    }
    const Carving alone = model_carve(input.substr(image.offset), "x");
    const std::string& expected = alone.images.at(0).second;
    if (written != expected || image.told != expected)
      return "nested image " + image.name + " at " +
             std::to_string(image.offset) + ":\n  " + hex(written) + "\n  " +
             hex(expected);
    if (std::find(names.begin(), names.end(), image.parent) == names.end() ||
        image.name.rfind(image.parent.substr(0, image.parent.size() - 4) + "+",
                         0) != 0)
      return image.name + " is not named after a parent carved before it, " +
             image.parent;
    names.push_back(image.name);
  }
  size_t tags = 0;
  for (size_t at = input.find("IHDR"); at != std::string::npos;
       at = input.find("IHDR", at + 1))
    ++tags;
  if (tags != c.images.size() + nested.size() + not_carved)
    return std::to_string(tags) + " tags, but " +
           std::to_string(c.images.size()) + " images, " +
           std::to_string(nested.size()) + " nested and " +
           std::to_string(not_carved) + " not carved";
  return "";
}

Carving real_carve(const std::string& input, const std::string& path,
                   pngcarve::ExtractResult* result) {
  FILE* in = open_memory(input);
  Carving c = real_carve_stream(in, path, result);
  fclose(in);
  return c;
}

std::string difference(const Carving& a, const Carving& b) {
  if (a.console != b.console)
    return "console text differs:\n  " + hex(a.console) + "\n  " +
           hex(b.console);
  if (a.offsets != b.offsets) return "the images' offsets differ";
  if (a.places != b.places) return "the images' places differ";
  if (a.images.size() != b.images.size())
    return "image count " + std::to_string(a.images.size()) + " vs " +
           std::to_string(b.images.size());
  for (size_t i = 0; i < a.images.size(); ++i) {
    if (a.images[i].first != b.images[i].first)
      return "name " + a.images[i].first + " vs " + b.images[i].first;
    if (a.images[i].second != b.images[i].second)
      return "bytes of " + a.images[i].first + " differ:\n  " +
             hex(a.images[i].second) + "\n  " + hex(b.images[i].second);
  }
  return "";
}

std::string random_input(uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return static_cast<size_t>(rng() % n); };
  static const char* const kTags[] = {"IHDR", "IDAT", "IEND", "tEXt", "PLTE",
                                      "ihdr", "idat", "IHDx", "IDAt", "iEND"};
  std::string out;
  size_t pieces = 1 + pick(12);
  for (size_t i = 0; i < pieces; ++i) {
    switch (pick(7)) {
      case 0: {  // a real image, maybe cut
        PngShape s =
            sized(1 + pick(20), 1 + pick(20), static_cast<uint32_t>(rng()),
                  1 + static_cast<int>(pick(4)));
        static const int kColorTypes[] = {0, 2, 3, 4, 6};
        s.color_type = kColorTypes[pick(5)];
        if (pick(3) == 0) s.after_idat = {chunk("tEXt", "k")};
        std::string png = make_png(s);
        size_t from = pick(3) == 0 ? pick(png.size()) : pick(2) * 8;
        size_t to =
            pick(3) == 0 ? from + pick(png.size() - from + 1) : png.size();
        out += png.substr(from, to - from);
        break;
      }
      case 1: {  // a chunk header with an odd length
        uint32_t lengths[] = {
            0,           13,          1 + static_cast<uint32_t>(pick(64)),
            0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu,
            0xFFFFFFFFu, 0x7FFFFFFFu, static_cast<uint32_t>(rng())};
        out += be32(lengths[pick(9)]) + kTags[pick(10)];
        break;
      }
      case 2:  // a stray tag
        out += kTags[pick(10)];
        break;
      case 3: {  // random bytes, mostly tag letters
        size_t n = pick(40);
        for (size_t k = 0; k < n; ++k)
          out +=
              pick(2) ? "IHDRATEN\0\xff"[pick(10)] : static_cast<char>(rng());
        break;
      }
      case 4:  // a whole small chunk
        out += chunk(kTags[pick(10)], std::string(pick(30), 'd'));
        break;
      case 5:  // an empty IDAT, which keeps a run going cheaply
        out += chunk("IDAT", "");
        break;
      default:  // the 17 bytes an IHDR tag is followed by
        out += "IHDR" + std::string(17, static_cast<char>(pick(256)));
        break;
    }
  }
  return out;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < bytes.size() && i < 400; ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  if (bytes.size() > 400)
    s += "... (" + std::to_string(bytes.size()) + " bytes)";
  return s;
}

}  // namespace testutil

#include "png_extract.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "carve_harness.h"
#include "png_builder.h"
#include "stream_copy.h"

namespace fs = std::filesystem;
using namespace testutil;
using pngcarve::ExtractResult;

namespace {

const std::string kSig("\x89PNG\r\n\x1a\n", 8);
const std::string kIhdrHead("\0\0\0\x0dIHDR", 8);
const std::string kIend("\0\0\0\0IEND\xae\x42\x60\x82", 12);

struct Carve {
  std::string console;
  std::vector<std::string> images;  // in.bin.0000.png, 0001, ... as found
  std::vector<unsigned long long> offsets;  // of each one's tag
  ExtractResult result;
};

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }

  // Carves `input` with the outputs named after `name` (inside the test's
  // folder unless it is absolute), and collects the numbered outputs.
  Carve run(const std::string& input, const std::string& name = "in.bin") {
    prefix_ = name[0] == '/' ? name : (dir_ / name).string();
    return collect(real_carve(input, prefix_, &result_));
  }

  Carve collect(const Carving& carving) const {
    Carve c;
    c.console = carving.console;
    c.offsets = carving.offsets;
    for (const auto& image : carving.images) c.images.push_back(image.second);
    c.result = result_;
    return c;
  }

  std::string progress(int n) const {
    return "\rExtracting: " + prefix_ + " -> " + std::to_string(n);
  }

  fs::path dir_;
  std::string prefix_;
  ExtractResult result_ = ExtractResult::kOk;
};

// Finding the tag ----------------------------------------------------------

TEST_F(ExtractTest, InputsWithoutTagPrintOnlyLineFeed) {
  for (const std::string& input :
       {std::string(), std::string("IHD"), std::string("ihdr IHDx IHD"),
        filler(100000, 7), std::string("IIHD"), std::string("HDR IHD")}) {
    Carve c = run(input);
    EXPECT_EQ(c.console, "\n");
    EXPECT_TRUE(c.images.empty());
    EXPECT_EQ(c.result, ExtractResult::kOk);
  }
}

TEST_F(ExtractTest, TagAloneGivesSignatureAndHeaderOnly) {
  Carve c = run("IHDR");
  EXPECT_EQ(c.console, progress(0) + "\n");
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], kSig + kIhdrHead);
}

TEST_F(ExtractTest, RealImageAtStartOfInput) {
  std::string png = make_png({});
  Carve c = run(png.substr(12));  // begins with the tag
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], carved(png));
  EXPECT_TRUE(decodes(c.images[0]));
}

TEST_F(ExtractTest, MissingOrDamagedSignatureIsRebuilt) {
  std::string png = make_png({});
  std::string damaged = png;
  // Signature and IHDR length damaged; the tag itself intact.
  damaged.replace(0, 12, "garbage!\xff\xff\xff\xff", 12);
  for (const std::string& input : {png.substr(8), damaged}) {
    Carve c = run(filler(33, 2) + input + filler(5, 3));
    ASSERT_EQ(c.images.size(), 1u);
    EXPECT_EQ(c.images[0], carved(png));
    EXPECT_TRUE(decodes(c.images[0]));
  }
}

TEST_F(ExtractTest, TagStraddlingBufferRefillsIsFound) {
  std::string png = make_png({});
  const size_t boundary = pngcarve::kInputBufferSize;
  for (size_t k = boundary - 20; k <= boundary + 4; ++k) {
    // The tag starts at offset k.
    Carve c = run(filler(k - 12, 5) + png + filler(10, 6));
    ASSERT_EQ(c.images.size(), 1u) << "tag at " << k;
    EXPECT_EQ(c.images[0], carved(png)) << "tag at " << k;
    EXPECT_EQ(c.offsets, std::vector<unsigned long long>{k});
  }
}

TEST_F(ExtractTest, TagInsideDataThatIsNoPngStillBeginsImage) {
  // After the tag: 17 bytes, then a "chunk" of length 2 and type abcd,
  // then an IDAT of length 0, then a header that ends the run.
  std::string tail = std::string(17, 'x') +
                     std::string(
                         "\0\0\0\x02"
                         "abcd",
                         8) +
                     "zz" + "CRC!" + std::string("\0\0\0\0IDAT", 8) + "crc0" +
                     "\x01\x02\x03\x04"
                     "junk"
                     "rest";
  Carve c = run("noise IHDR" + tail);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0],
            kSig + kIhdrHead + tail.substr(0, 17 + 14 + 12) + kIend);
}

// Walking the chunks -------------------------------------------------------

TEST_F(ExtractTest, ImagesOfManyShapesComeOutByteExact) {
  const int shapes[][2] = {{0, 1}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                           {3, 2}, {3, 4}, {3, 8},  {4, 8}, {6, 8},  {6, 16}};
  uint32_t seed = 1;
  for (auto [type, depth] : shapes) {
    for (uint32_t w : {1u, 7u, 300u}) {
      PngShape s;
      s.color_type = type;
      s.bit_depth = depth;
      s.width = w;
      s.height = w == 300 ? 200 : 5;
      s.seed = ++seed;
      s.idat_pieces = static_cast<int>(seed % 4) + 1;
      s.before_idat = {chunk("gAMA", std::string("\0\0\xb1\x8f", 4))};
      s.after_idat = {chunk("tEXt", std::string("Comment\0after", 13))};
      std::string png = make_png(s);
      Carve c = run(filler(seed, seed) + png);
      ASSERT_EQ(c.images.size(), 1u);
      EXPECT_EQ(c.images[0], carved(png)) << type << "/" << depth << " " << w;
      uint32_t dw = 0, dh = 0;
      EXPECT_TRUE(decodes(c.images[0], &dw, &dh));
      EXPECT_EQ(dw, s.width);
      EXPECT_EQ(dh, s.height);
    }
  }
}

TEST_F(ExtractTest, BrokenIdatRunEndsImageAndLaterIdatIsSearchedAsBytes) {
  PngShape s;
  s.idat_pieces = 3;
  std::string png = make_png(s);
  // Put a tEXt chunk between the first and the second IDAT.
  size_t first_idat = png.find("IDAT") - 4;
  uint32_t len = static_cast<unsigned char>(png[first_idat + 3]);
  size_t cut = first_idat + 12 + len;
  std::string text = chunk("tEXt", std::string("k\0v", 3));
  std::string broken = png.substr(0, cut) + text + png.substr(cut);
  Carve c = run(broken);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], png.substr(0, cut) + kIend);
}

TEST_F(ExtractTest, IhdrHeaderEndingRunIsConsumedAndStartsNoImage) {
  std::string png = make_png({});
  std::string ihdr_chunk = png.substr(8, 25);
  std::string body = png.substr(0, png.size() - 12);  // without IEND
  Carve c = run(body + ihdr_chunk + filler(20, 9));
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], carved(png));
  // The same header followed by a second real image finds that one.
  c = run(body + ihdr_chunk + png);
  ASSERT_EQ(c.images.size(), 2u);
  EXPECT_EQ(c.images[1], carved(png));
}

TEST_F(ExtractTest, WithoutIdatChunksAreCopiedToTheEndWithoutIend) {
  std::string head = make_png({}).substr(0, 33);  // signature and IHDR
  std::string rest =
      chunk("tEXt", "a") + chunk("IEND", "") + chunk("zzzz", "q");
  Carve c = run(head + rest);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], head + rest);
  EXPECT_EQ(c.console, progress(0) + "\n");
}

TEST_F(ExtractTest, WrappedLengthsCopyZeroToThreeBytes) {
  std::string png = make_png({});
  std::string head = png.substr(0, 33);
  std::string idats = png.substr(33, png.size() - 33 - 12);
  for (unsigned extra = 0; extra < 4; ++extra) {
    // Length FF FF FF FC + extra: L + 4 wraps to `extra` bytes.
    std::string odd = std::string("\xff\xff\xff", 3) +
                      static_cast<char>(0xFC + extra) + "abcd" +
                      std::string(extra, '#');
    Carve c = run(head + odd + idats + chunk("IEND", ""));
    ASSERT_EQ(c.images.size(), 1u);
    EXPECT_EQ(c.images[0], head + odd + idats + kIend) << extra;
  }
}

TEST_F(ExtractTest, LengthPastTheEndCopiesToEndWithoutIend) {
  std::string head = make_png({}).substr(0, 33);
  std::string tail = std::string("\x00\x10\x00\x00IDAT", 8) + "only a little";
  Carve c = run(head + tail);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], head + tail);
}

TEST_F(ExtractTest, InputCutAnywhereGivesPrefixOfTheWholeImage) {
  PngShape s;
  s.idat_pieces = 2;
  s.before_idat = {chunk("tIME", std::string(7, '\x01'))};
  std::string png = make_png(s);
  std::string whole = carved(png);
  for (size_t cut = 16; cut < png.size(); ++cut) {
    Carve c = run(png.substr(0, cut));
    bool complete = cut >= png.size() - 4;  // the IEND header is read whole
    ASSERT_EQ(c.images.size(), 1u) << cut;
    if (complete) {
      EXPECT_EQ(c.images[0], whole) << cut;
    } else {
      EXPECT_EQ(whole.compare(0, c.images[0].size(), c.images[0]), 0) << cut;
      EXPECT_LE(c.images[0].size(), cut) << cut;
      EXPECT_NE(c.images[0].substr(c.images[0].size() - 12), kIend) << cut;
    }
    EXPECT_EQ(c.console, progress(0) + "\n");
  }
}

// Naming and console text --------------------------------------------------

TEST_F(ExtractTest, ImagesAreNumberedInOrderWithOneProgressLineEach) {
  std::string a = make_png(sized(4, 3, 1));
  std::string b = make_png(sized(9, 3, 2));
  Carve c = run(a + b + filler(3, 1) + a);
  ASSERT_EQ(c.images.size(), 3u);
  EXPECT_EQ(c.images[0], carved(a));
  EXPECT_EQ(c.images[1], carved(b));
  EXPECT_EQ(c.images[2], carved(a));
  EXPECT_EQ(c.console, progress(0) + progress(1) + progress(2) + "\n");
}

TEST_F(ExtractTest, OutputNamesPadToFourDigitsAndNeverCut) {
  EXPECT_EQ(pngcarve::output_name("a.bin", 0), "a.bin.0000.png");
  EXPECT_EQ(pngcarve::output_name("dir/x.pak", 42), "dir/x.pak.0042.png");
  EXPECT_EQ(pngcarve::output_name("a", 10000), "a.10000.png");
  EXPECT_EQ(pngcarve::output_name("a", 5000000000), "a.5000000000.png");
  std::string long_path(5000, 'p');
  EXPECT_EQ(pngcarve::output_name(long_path, 1), long_path + ".0001.png");
}

TEST_F(ExtractTest, NamesOnATerminalShowControlCharactersAsQuestionMarks) {
  const std::pair<std::string, std::string> kCases[] = {
      {"game/data.pak", "game/data.pak"},
      {"a\x1b]0;PWNED\x07\x1b[2J.pak", "a?]0;PWNED??[2J.pak"},
      {"\x01\t\n\r\x1f \x7e\x7f", "????? ~?"},
      {"\xc2\x80\xc2\x9b\xc2\x9f", "???"},  // C1, as UTF-8 encodes it
      // Not controls: other characters, and invalid UTF-8, stay.
      {"\xc2\xa0\xc3\xa9\xe2\x80\x8b", "\xc2\xa0\xc3\xa9\xe2\x80\x8b"},
      {"\x9b\x80 \xc2\xc2", "\x9b\x80 \xc2\xc2"},
      {"\xc2\x1b", "\xc2?"},
  };
  for (const auto& [path, shown] : kCases)
    EXPECT_EQ(pngcarve::terminal_safe(path), shown) << path;
}

TEST_F(ExtractTest, ExistingOutputIsOverwritten) {
  write_file(dir_ / "in.bin.0000.png", std::string(100000, 'z'));
  std::string png = make_png({});
  Carve c = run(png);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0], carved(png));
}

// With no outputs written, the images' bytes are told all the same, and
// no file is made, even where one could not be.
TEST_F(ExtractTest, WithoutWritingEveryImageIsToldAsItWouldBeWritten) {
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    std::string input = random_input(seed);
    Carve written = run(input);
    // A sink that wants the bytes and no files.
    struct DryRun : pngcarve::CarveSink {
      std::vector<std::string> told;
      void start(uint64_t) override { told.emplace_back(); }
      void bytes(const unsigned char* data, size_t n) override {
        told.back().append(reinterpret_cast<const char*>(data), n);
      }
      bool writes() const override { return false; }
    } sink;
    std::FILE* in = open_memory(input);
    std::FILE* console = std::tmpfile();
    ExtractResult r = pngcarve::png_extract_stream(
        in, (dir_ / "no such folder" / "in.bin").string(), console, false,
        &sink);
    std::fclose(in);
    std::fclose(console);
    EXPECT_EQ(r, ExtractResult::kOk) << seed;
    EXPECT_EQ(sink.told, written.images) << seed;
    EXPECT_TRUE(fs::is_empty(dir_)) << seed;
  }
}

// Failures -------------------------------------------------------------------

}  // namespace

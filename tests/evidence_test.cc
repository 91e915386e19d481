// End-to-end tests of pngcarve-report on evidence as it comes: an E01 made
// by ewfacquire and a split raw image of one disk give the raw disk's
// record and images, mended ones too; a damaged or missing segment is
// named, with exit status 1, and what could be read is still carved.
#include "evidence.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "disk.h"
#include "png_builder.h"
#include "report_runner.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

// `text` with each `from` as `to`.
std::string renamed(std::string text, const std::string& from,
                    const std::string& to) {
  return std::regex_replace(
      text, std::regex(std::regex_replace(from, std::regex("\\."), "\\.")), to);
}

// The files under `dir`, by path inside it, with their bytes.
std::map<std::string, std::string> files_in(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file())
      files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  return files;
}

class EvidenceTest : public TempDirTest {
 protected:
  // A disk of 640 clusters (2.5 MiB) with a PNG in three pieces, which
  // mending rebuilds, and a whole one; and its record and images, from
  // the raw disk, in raw/.
  void SetUp() override {
    TempDirTest::SetUp();
    const std::string png = make_png(sized(200, 150, 7, 30));
    Disk disk = lay(png, 640, {20, 300, 500}, {3, 2});
    const std::string whole = make_png(sized(16, 16, 2));
    disk.bytes.replace(600 * kCluster, whole.size(), whole);
    write_file(dir_ / "disk.raw", disk.bytes);
    raw_ = report(dir_, {"--csv", "-o", "case", "disk.raw"});
    ASSERT_EQ(raw_.status, 0) << raw_.err;
    fs::rename(dir_ / "case", dir_ / "raw");
    ASSERT_NE(raw_.out.find(".mended.png"), std::string::npos) << raw_.out;
  }
  // The record and images of the disk as `input`.
  void expect_raw_record(const std::string& input, const std::string& name) {
    Result r = report(dir_, {"--csv", "-o", "case", input});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(renamed(r.out, name, "disk.raw"), raw_.out);
    // The input's own record, beside its images.
    const std::string source =
        read_file(dir_ / "case" / (name + ".source.csv"));
    EXPECT_NE(source.find("," + hash_of("md5sum", dir_ / "disk.raw") + ","),
              std::string::npos)
        << source;
    std::map<std::string, std::string> want = files_in(dir_ / "raw"), got;
    for (const auto& [path, bytes] : files_in(dir_ / "case"))
      if (path.find(".source.csv") == std::string::npos)
        got[renamed(path, name, "disk.raw")] = bytes;
    want.erase("disk.raw.source.csv");
    EXPECT_TRUE(got == want) << got.size() << " files, not " << want.size();
    fs::remove_all(dir_ / "case");
  }
  Result raw_;
};

TEST_F(EvidenceTest, SplitRawGivesTheRawRecordAndNamesWhatIsMissing) {
  const std::string disk = read_file(dir_ / "disk.raw");
  constexpr size_t kSegment = 1 << 20;
  for (size_t k = 0; k * kSegment < disk.size(); ++k)
    write_file(dir_ / ("disk.00" + std::to_string(k + 1)),
               disk.substr(k * kSegment, kSegment));
  expect_raw_record("disk.001", "disk.001");
  // The source's record: its own hashes, those of the raw disk.
  Result r = report(dir_, {"-n", "disk.001"});
  EXPECT_NE(r.out.find("<hashdigest type=\"md5\">" +
                       hash_of("md5sum", dir_ / "disk.raw") + "</hashdigest>"),
            std::string::npos)
      << r.out;
  // Its segments named after it are read with it, not again alone.
  r = report(dir_, {"--csv", "-n", "disk.001", "disk.002", "disk.003"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(csv_rows(r.out).size(), csv_rows(raw_.out).size());
  EXPECT_NE(r.err.find("disk.003: is a segment of an image given before it"),
            std::string::npos)
      << r.err;
  // The second missing, the third there: its bytes are zeros, and the
  // whole image after it is still carved.
  fs::remove(dir_ / "disk.002");
  r = report(dir_, {"--csv", "-n", "disk.001"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("disk.001: disk.002 is missing, though disk.003 is "
                       "there: 1048576 bytes from offset 1048576 were carved "
                       "as zeros"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("disk.001.0001.png,2457612"), std::string::npos)
      << r.out;
}

TEST_F(EvidenceTest, E01GivesTheRawRecordVerifiedAndNamesWhatIsWrong) {
  if (!pngcarve::opens_ewf()) {
    // A build without libewf says so of an E01, rather than carve its
    // compressed bytes as if they were the disk's.
    write_file(dir_ / "x.E01", std::string("EVF\x09\x0d\x0a\xff\x00", 8) +
                                   std::string(100, 'x'));
    Result r = report(dir_, {"--csv", "x.E01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("can't open"), std::string::npos) << r.err;
    GTEST_SKIP() << "this build opens no EWF image";
  }
  if (output_of("command -v ewfacquire").empty())
    GTEST_SKIP() << "no ewfacquire to make an E01 with (ewf-tools)";
  // Three segments of 1 MiB, uncompressed, with MD5 and SHA-1 stored.
  output_of("cd '" + dir_.string() +
            "' && ewfacquire -u -q -c none -S 1MiB -d sha1 -t disk disk.raw "
            ">/dev/null 2>&1");
  ASSERT_TRUE(fs::exists(dir_ / "disk.E03"));
  expect_raw_record("disk.E01", "disk.E01");
  Result r = report(dir_, {"-n", "disk.E01"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("<pngcarve:verification>verified: md5 sha1"
                       "</pngcarve:verification>"),
            std::string::npos)
      << r.out;
  write_file(dir_ / "disk.xml", r.out);
  EXPECT_EQ(output_of("xmllint --noout --schema '" PNGCARVE_DFXML_SCHEMA "' '" +
                      (dir_ / "disk.xml").string() + "' 2>&1 >/dev/null"),
            dir_.string() + "/disk.xml validates\n");

  // A byte changed in the second segment's data: named, exit 1, and
  // every image still carved.
  std::string changed = read_file(dir_ / "disk.E02");
  changed[changed.size() / 2] ^= 0x10;
  write_file(dir_ / "disk.E02", changed);
  r = report(dir_, {"--csv", "-n", "disk.E01"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("disk.E01: its bytes are not those acquired: their "
                       "md5 sha1 is not the one the image stores"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(csv_rows(r.out).size(), csv_rows(raw_.out).size());
  // The second missing: named, exit 1.
  fs::remove(dir_ / "disk.E02");
  r = report(dir_, {"--csv", "-n", "disk.E01"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("disk.E02 is missing, though disk.E03 is there"),
            std::string::npos)
      << r.err;
}

}  // namespace

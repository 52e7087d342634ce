#include "fwflash/Packager.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "PackageWriter.h"
#include "fwflash/ModuleInfo.h"

using namespace fwflash;
using namespace fwflash::testing;

namespace {

// The package in memory, every piece the reader writes recorded.
struct Recorder : Packager::Callback {
  explicit Recorder(std::vector<uint8_t> p) : package(std::move(p)) {}
  int read(uint32_t position, uint8_t* destination, int length) override {
    if (readError) return readError;
    if (position >= package.size()) return 0;
    const size_t n = std::min(size_t(length), package.size() - position);
    std::memcpy(destination, package.data() + position, n);
    return int(n);
  }
  int write(const uint8_t* source, int length) override {
    pieces.push_back(length);
    if (writeError) return writeError;
    const int taken = shortBy ? std::max(0, length - shortBy) : length;
    out.insert(out.end(), source, source + taken);
    return taken;
  }
  std::vector<uint8_t> package;
  std::vector<uint8_t> out;
  std::vector<int> pieces;
  int readError = 0;
  int writeError = 0;
  int shortBy = 0;
};

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(gen());
  return v;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
  return {v.begin() + long(from), v.begin() + long(from + n)};
}

// Extracts the single entry of a package holding `stream` as LZ4 data.
int extractStream(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out = nullptr) {
  PackageWriter writer;
  writer.add({.tag = tagOf("data"), .data = stream, .compression = 1, .raw = true});
  Recorder recorder(writer.bytes());
  Packager packager(recorder);
  const int rc = packager.extractEntry(0);
  if (out) *out = recorder.out;
  return rc;
}

// The three-entry package of the acceptance: stored "boot" with 8 extension
// bytes, LZ4 "data", LZ4 "midd" whose XML takes three linked blocks.
struct ThreeEntries {
  std::vector<uint8_t> bytes;
  size_t boot = 0, data = 0, midd = 0;
  std::vector<uint8_t> bootData = randomBytes(1500, 1);
  std::vector<uint8_t> dataData;
  std::string xml;
  ThreeEntries() {
    for (int i = 0; i < 100; ++i)
      dataData.insert(dataData.end(), bootData.begin(), bootData.begin() + 37);
    std::string verbose;
    for (int i = 0; i < 40; ++i) verbose += "line " + std::to_string(i) + " of the release notes; ";
    xml = moduleXml("2.4.1", "kn-main", "rev-c", verbose);
    PackageWriter w;
    boot = w.add({.tag = tagOf("boot"), .data = bootData, .extension = {1, 2, 3, 4, 5, 6, 7, 8}});
    data = w.add({.tag = tagOf("data"), .data = dataData, .compression = 1});
    midd = w.add({.tag = tagOf("midd"), .data = bytesOf(xml), .compression = 1});
    bytes = w.bytes();
  }
};

}  // namespace

TEST(PackageReader, ThreeEntryPackageGivesModuleValuesAndEachEntry) {
  ThreeEntries p;
  ASSERT_GT(p.xml.size(), 1024u);
  ASSERT_LE(p.xml.size(), 1536u);  // three blocks

  ModuleInfo info;
  ASSERT_TRUE(readModuleInfo(p.bytes, &info));
  EXPECT_EQ("2.4.1", info.version);
  EXPECT_EQ("kn-main", info.target);
  EXPECT_EQ("rev-c", info.subTarget);
  EXPECT_EQ(0u, info.verbose.find("line 0 of the release notes; "));
  EXPECT_NE(std::string::npos, info.verbose.find("line 39 of the release notes; "));

  Recorder r(p.bytes);
  Packager packager(r);
  uint64_t offset = 0;
  ASSERT_EQ(0, packager.findEntry(kModuleInfoTag, p.bytes.size(), &offset));
  EXPECT_EQ(p.midd, offset);

  struct Case {
    size_t offset;
    std::vector<uint8_t> expected;
    int maxPiece;
  } cases[] = {{p.boot, p.bootData, kInputBufferSize},
               {p.data, p.dataData, kOutputBufferSize},
               {p.midd, bytesOf(p.xml), kOutputBufferSize}};
  for (const Case& c : cases) {
    Recorder each(p.bytes);
    Packager reader(each);
    EXPECT_EQ(int(c.expected.size()), reader.extractEntry(c.offset)) << c.offset;
    EXPECT_EQ(c.expected, each.out) << c.offset;
    for (int piece : each.pieces) EXPECT_LE(piece, c.maxPiece) << c.offset;
  }
}

// The writer's double buffer lets a short block refer to the older tail of
// the buffer it reuses; the reader must see that same window.
TEST(PackageReader, ShortLastBlockRepeatingTheReusedBufferTail) {
  for (int blocks : {3, 5}) {
    std::vector<std::vector<uint8_t>> pieces;
    for (int i = 0; i + 1 < blocks; ++i) pieces.push_back(randomBytes(512, uint32_t(10 + i)));
    // The last block goes to the same buffer as pieces[blocks - 3]; copy from
    // the part of it the short block does not overwrite.
    const std::vector<uint8_t>& reused = pieces[size_t(blocks - 3)];
    pieces.push_back(slice(reused, 300, 120));
    std::vector<int> sizes;
    std::vector<uint8_t> stream = lz4BlockStream(pieces, &sizes);
    ASSERT_LT(sizes.back(), 40) << "the last block should be a reference, not literals";

    std::vector<uint8_t> expected;
    for (auto& piece : pieces) expected.insert(expected.end(), piece.begin(), piece.end());
    std::vector<uint8_t> out;
    EXPECT_EQ(int(expected.size()), extractStream(stream, &out)) << blocks;
    EXPECT_EQ(expected, out) << blocks;
  }
}

TEST(PackageReader, EmptyBlocksAndEmptyEntries) {
  std::vector<std::vector<uint8_t>> pieces{
      randomBytes(512, 3), {}, slice(randomBytes(512, 3), 0, 200)};
  std::vector<uint8_t> stream = lz4BlockStream(pieces);
  std::vector<uint8_t> out;
  EXPECT_EQ(712, extractStream(stream, &out));
  EXPECT_EQ(slice(randomBytes(512, 3), 0, 200), slice(out, 512, 200));

  for (uint8_t compression : {0, 1}) {
    PackageWriter w;
    w.add({.tag = tagOf("none"), .compression = compression, .raw = true});
    Recorder e(w.bytes());
    Packager packager(e);
    EXPECT_EQ(0, packager.extractEntry(0));
    EXPECT_TRUE(e.pieces.empty());
  }
}

namespace {

std::vector<uint8_t> block(const std::vector<uint8_t>& lz4) {
  std::vector<uint8_t> out(2 + lz4.size());
  out[0] = uint8_t(lz4.size());
  out[1] = uint8_t(lz4.size() >> 8);
  std::copy(lz4.begin(), lz4.end(), out.begin() + 2);
  return out;
}

std::vector<uint8_t> compressOnce(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(size_t(LZ4_compressBound(int(data.size()))));
  const int n =
      LZ4_compress_default(reinterpret_cast<const char*>(data.data()),
                           reinterpret_cast<char*>(out.data()), int(data.size()), int(out.size()));
  out.resize(size_t(n));
  return out;
}

}  // namespace

TEST(PackageReader, CorruptionTable) {
  ThreeEntries good;
  std::vector<uint8_t> goodStream = lz4BlockStream(good.dataData);

  // Block stream faults, each in an entry of its own.
  std::vector<uint8_t> long600{0x58, 0x02};
  long600.resize(602, 0);
  std::vector<uint8_t> oneShort(goodStream.begin(), goodStream.end() - 1);
  // 10 literal bytes, then a block that copies from 50 bytes back.
  std::vector<uint8_t> before = block({0xA0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'});
  std::vector<uint8_t> ref{0x14, 'x', 50, 0, 0x50, 'v', 'w', 'x', 'y', 'z'};
  std::vector<uint8_t> refBlock = block(ref);
  before.insert(before.end(), refBlock.begin(), refBlock.end());
  std::vector<uint8_t> over512 = block(compressOnce(std::vector<uint8_t>(513, 'q')));

  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> make;
    int header;   // readEntryHeader at 0
    int extract;  // extractEntry at 0
  };
  auto entry = [](EntryFields fields) {
    PackageWriter w;
    w.add(fields);
    return w.bytes();
  };
  auto flip = [&](size_t at) {
    std::vector<uint8_t> b = good.bytes;
    b[at] ^= 0x01;
    return b;
  };
  const Case cases[] = {
      {"header CRC byte", [&] { return flip(0); }, kMalformed, kMalformed},
      {"extension byte", [&] { return flip(24 + 3); }, kMalformed, kMalformed},
      {"byte 16 set", [&] { return entry({.tag = 1, .data = {1}, .flag16 = 1}); }, 0, kMalformed},
      {"byte 17 set", [&] { return entry({.tag = 1, .data = {1}, .flag17 = 1}); }, 0, kMalformed},
      {"compression 2",
       [&] { return entry({.tag = 1, .data = {1}, .compression = 2, .raw = true}); }, 0,
       kMalformed},
      {"short header", [&] { return slice(good.bytes, 0, 23); }, kMalformed, kMalformed},
      {"extension cut", [&] { return slice(good.bytes, 0, 30); }, kMalformed, kMalformed},
      {"stored data cut", [&] { return slice(good.bytes, 0, good.data - 1); }, 0, kMalformed},
      {"block length 600",
       [&] { return entry({.tag = 1, .data = long600, .compression = 1, .raw = true}); }, 0,
       kBadLz4},
      {"stream one byte short",
       [&] { return entry({.tag = 1, .data = oneShort, .compression = 1, .raw = true}); }, 0,
       kBadLz4},
      {"half a length",
       [&] { return entry({.tag = 1, .data = {5}, .compression = 1, .raw = true}); }, 0, kBadLz4},
      {"reference before buffer 0",
       [&] { return entry({.tag = 1, .data = before, .compression = 1, .raw = true}); }, 0,
       kBadLz4},
      {"block decoding to 513",
       [&] { return entry({.tag = 1, .data = over512, .compression = 1, .raw = true}); }, 0,
       kBadLz4},
  };
  for (const Case& c : cases) {
    Recorder r(c.make());
    Packager packager(r);
    PackageEntryHeader h;
    EXPECT_EQ(c.header, packager.readEntryHeader(0, &h)) << c.name;
    EXPECT_EQ(c.extract, packager.extractEntry(0)) << c.name;
    ModuleInfo info;
    EXPECT_FALSE(readModuleInfo(r.package, &info)) << c.name;
  }

  // The reference case is fine once the distance fits inside what was decoded.
  std::vector<uint8_t> fits = block({0xA0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'});
  std::vector<uint8_t> near = ref;
  near[2] = 8;
  std::vector<uint8_t> nearBlock = block(near);
  fits.insert(fits.end(), nearBlock.begin(), nearBlock.end());
  std::vector<uint8_t> out;
  ASSERT_EQ(10 + 9 + 5, extractStream(fits, &out));
  EXPECT_EQ("abcdefghijxdefghijxvwxyz", std::string(out.begin(), out.end()));
}

TEST(PackageReader, WalkStopsOnWrappingOrPastTheEndLengths) {
  // 24 + D wraps a 32-bit offset back to 0: the walk would find this header
  // again for ever.
  PackageWriter w;
  w.add({.tag = tagOf("boot"), .data = {1, 2, 3}, .dataLength = 0xFFFFFFE8u});
  w.add({.tag = tagOf("midd"), .data = bytesOf(moduleXml("1", "2", "3", "4"))});
  Recorder r(w.bytes());
  Packager packager(r);
  uint64_t offset = 0;
  EXPECT_EQ(kMalformed, packager.findEntry(kModuleInfoTag, r.package.size(), &offset));

  // A length that points one byte past the package.
  PackageWriter past;
  past.add({.tag = tagOf("boot"), .data = {1, 2, 3}, .dataLength = 4});
  Recorder p(past.bytes());
  Packager pastReader(p);
  EXPECT_EQ(kMalformed, pastReader.findEntry(kModuleInfoTag, p.package.size(), &offset));
}

TEST(PackageReader, CallbackFailuresArePassedOn) {
  ThreeEntries p;
  {
    Recorder r(p.bytes);
    r.shortBy = 1;
    Packager packager(r);
    EXPECT_EQ(kShortWrite, packager.extractEntry(p.data));
  }
  {
    Recorder r(p.bytes);
    r.writeError = -7;
    Packager packager(r);
    EXPECT_EQ(-7, packager.extractEntry(p.boot));
  }
  {
    Recorder r(p.bytes);
    r.readError = -5;
    Packager packager(r);
    PackageEntryHeader h;
    EXPECT_EQ(-5, packager.readEntryHeader(0, &h));
    uint64_t offset = 0;
    EXPECT_EQ(-5, packager.findEntry(kModuleInfoTag, p.bytes.size(), &offset));
  }
}

TEST(PackageReader, InvalidModuleInformation) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<a>";
  for (int i = 0; i < 10000; ++i) deep += "</a>";
  const struct {
    const char* name;
    std::string xml;
    bool present;
  } cases[] = {
      {"empty midd", "", true},
      {"no midd", "", false},
      {"no Verbose",
       "<Module><Version>1</Version><Target>t</Target><SubTarget>s</SubTarget></Module>", true},
      {"no Module", "<Other><Version>1</Version></Other>", true},
      {"not XML", "<Module><Version>1</Target>", true},
      {"10 000 nested", "<Module>" + deep + "</Module>", true},
  };
  for (const auto& c : cases) {
    PackageWriter w;
    w.add({.tag = tagOf("boot"), .data = randomBytes(100, 5)});
    if (c.present) w.add({.tag = tagOf("midd"), .data = bytesOf(c.xml), .compression = 1});
    ModuleInfo info;
    EXPECT_FALSE(readModuleInfo(w.bytes(), &info)) << c.name;
  }

  // Elements without text give empty values; bytes over 127 are kept as they are.
  PackageWriter w;
  w.add({.tag = tagOf("midd"),
         .data = bytesOf("<Module><Version/><Target>\xE9t\xE9</Target><SubTarget></SubTarget>"
                         "<Verbose>v</Verbose></Module>")});
  ModuleInfo info;
  ASSERT_TRUE(readModuleInfo(w.bytes(), &info));
  EXPECT_EQ("", info.version);
  EXPECT_EQ("\xE9t\xE9", info.target);
  EXPECT_EQ((std::u16string{0xE9, u't', 0xE9}), widenBytes(info.target));
}

TEST(PackageReader, ModuleInformationOverItsCapIsInvalid) {
  std::string filler(kMaxModuleInfoSize, ' ');
  PackageWriter w;
  w.add({.tag = tagOf("midd"),
         .data = bytesOf(moduleXml("1", "2", "3", "4") + filler),
         .compression = 1});
  ModuleInfo info;
  EXPECT_FALSE(readModuleInfo(w.bytes(), &info));
}

TEST(PackageFile, OnlyReadableRegularFilesUnderTheCap) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("fwflash-pkg-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
       std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  const std::vector<uint8_t> package = simplePackage("1.0", "t", "s", "v");
  {
    std::ofstream(dir / "good.xpk", std::ios::binary)
        .write(reinterpret_cast<const char*>(package.data()), std::streamsize(package.size()));
  }
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(loadPackageFile((dir / "good.xpk").string(), &bytes));
  EXPECT_EQ(package, bytes);

  {
    std::ofstream big(dir / "big.xpk", std::ios::binary);
    big.seekp(std::streamoff(kMaxPackageSize));
    big.put('x');
  }
  EXPECT_FALSE(loadPackageFile((dir / "big.xpk").string(), &bytes));
  EXPECT_FALSE(loadPackageFile("/dev/zero", &bytes));
  EXPECT_FALSE(loadPackageFile(dir.string(), &bytes));
  EXPECT_FALSE(loadPackageFile((dir / "missing.xpk").string(), &bytes));
  EXPECT_FALSE(loadPackageFile("", &bytes));
  EXPECT_EQ(package, bytes) << "a failed load leaves the previous bytes alone";
  std::filesystem::remove_all(dir);
}

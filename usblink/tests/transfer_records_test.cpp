// Transfer records, the link descriptor, and the small parsers around them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceIds.h"
#include "MediaLibrary.h"
#include "MsOs20.h"
#include "TransferRecords.h"

namespace usblink {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes record(size_t n, uint8_t fill) {
  Bytes r(1 + n, fill);
  r[0] = uint8_t(n);
  return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Feeds reads into a splitter and collects the frames.
struct Receiver {
  explicit Receiver(size_t readLength) : splitter(readLength) {}
  void read(const Bytes& bytes) {
    ASSERT_LE(bytes.size(), splitter.readLength());
    std::memcpy(splitter.readSpace(), bytes.data(), bytes.size());
    splitter.consume(bytes.size(),
                     [this](uint8_t* f, uint16_t n) { frames.emplace_back(f, f + n); });
  }
  RecordSplitter splitter;
  std::vector<Bytes> frames;
};

TEST(RecordSplitter, SkipsEmptyRecordsAndDeliversTheRest) {
  Receiver r(64);
  r.read(concat({record(5, 0xA5), record(0, 0), record(3, 0x33)}));
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[0], Bytes(5, 0xA5));
  EXPECT_EQ(r.frames[1], Bytes(3, 0x33));
  EXPECT_EQ(r.splitter.kept(), 0u);
}

TEST(RecordSplitter, FrameCutByTheEndOfAReadIsDeliveredOnceWhole) {
  // A 40-byte frame whose record starts 10 bytes before the end of a read.
  Bytes frame(40);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
  Bytes rec = concat({Bytes{40}, frame});
  Bytes first = concat({record(53, 1), Bytes(rec.begin(), rec.begin() + 10)});
  ASSERT_EQ(first.size(), 64u);
  Receiver r(64);
  r.read(first);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.splitter.kept(), 10u);
  r.read(Bytes(rec.begin() + 10, rec.end()));
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_EQ(r.frames[1], frame);
  EXPECT_EQ(r.splitter.kept(), 0u);
}

TEST(RecordSplitter, RecordLongerThanARead) {
  // A device whose transfer size is below its longest record: the carry
  // never fills the buffer, so the record completes over several reads.
  Receiver r(64);
  Bytes rec = record(200, 0x5A);
  for (size_t at = 0; at < rec.size(); at += 64)
    r.read(Bytes(rec.begin() + long(at), rec.begin() + long(std::min(at + 64, rec.size()))));
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], Bytes(200, 0x5A));
}

TEST(RecordSplitter, LengthByteAloneAtTheEnd) {
  Receiver r(16);
  r.read(Bytes{3});
  EXPECT_TRUE(r.frames.empty());
  EXPECT_EQ(r.splitter.kept(), 1u);
  r.read(Bytes{7, 8, 9});
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0], (Bytes{7, 8, 9}));
}

TEST(RecordSplitter, CalleeMayRewriteTheFrameInPlace) {
  RecordSplitter s(16);
  const Bytes in = concat({record(2, 0x11), record(2, 0x22)});
  std::memcpy(s.readSpace(), in.data(), in.size());
  std::vector<Bytes> seen;
  s.consume(in.size(), [&](uint8_t* f, uint16_t n) {
    seen.emplace_back(f, f + n);
    f[0] = 0xFF;  // the server clears bits in the control byte
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], (Bytes{0x22, 0x22}));
}

struct PackCase {
  const char* name;
  uint16_t transferSize;
  uint16_t frameLength;  // every frame offered
  size_t frames;         // frames packed into one transfer
  bool full;
};

class PackTransfer : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackTransfer, PacksWhileAMaximalRecordStillFits) {
  const PackCase& c = GetParam();
  const LinkDescriptor d{c.transferSize};
  Bytes buffer(c.transferSize);
  std::vector<int> modes;
  std::vector<uint16_t> rooms;
  PackResult r = packTransfer(buffer.data(), c.transferSize, d.frameLimit(), false,
                              [&](uint8_t* dst, uint16_t* length, int mode) {
                                modes.push_back(mode);
                                rooms.push_back(*length);
                                std::memset(dst, 0x42, c.frameLength);
                                *length = c.frameLength;
                              });
  EXPECT_EQ(modes.size(), c.frames);
  EXPECT_EQ(r.length, c.frames * (1u + c.frameLength));
  EXPECT_EQ(r.full, c.full);
  EXPECT_FALSE(r.overrun);
  ASSERT_FALSE(modes.empty());
  EXPECT_EQ(modes[0], kMediaTxFirst);
  for (size_t i = 1; i < modes.size(); ++i) EXPECT_EQ(modes[i], kMediaTxFurther);
  for (uint16_t room : rooms) EXPECT_EQ(room, d.frameLimit() - 1);
  for (size_t i = 0; i < c.frames; ++i) EXPECT_EQ(buffer[i * (1u + c.frameLength)], c.frameLength);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PackTransfer,
                         ::testing::Values(PackCase{"S64_OneFramePerTransfer", 64, 10, 1, true},
                                           PackCase{"S64_MaximalFrame", 64, 63, 1, true},
                                           // S = 1024: L = 256, records packed while l <= 768.
                                           PackCase{"S1024_MaximalFrames", 1024, 255, 4, true},
                                           PackCase{"S1024_SmallFrames", 1024, 10, 70, true},
                                           PackCase{"S4_Smallest", 4, 3, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PackTransferModes, StopsAtTheFirstEmptyAnswer) {
  Bytes buffer(1024);
  int calls = 0;
  PackResult r =
      packTransfer(buffer.data(), 1024, 256, false,
                   [&](uint8_t* dst, uint16_t* length, int) { *length = ++calls <= 2 ? 7 : 0; });
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(r.length, 16u);
  EXPECT_FALSE(r.full);
}

TEST(PackTransferModes, IdleAsksForExactlyOneFrame) {
  Bytes buffer(1024);
  std::vector<int> modes;
  PackResult r =
      packTransfer(buffer.data(), 1024, 256, true, [&](uint8_t*, uint16_t* length, int mode) {
        modes.push_back(mode);
        *length = 1;
      });
  EXPECT_EQ(modes, std::vector<int>{kMediaTxIdle});
  EXPECT_EQ(r.length, 2u);
  EXPECT_FALSE(r.full);
}

TEST(PackTransferModes, FrameLongerThanTheRoomIsRefused) {
  Bytes buffer(64 + 1024);
  PackResult r = packTransfer(buffer.data(), 64, 64, false,
                              [](uint8_t*, uint16_t* length, int) { *length = 64; });
  EXPECT_TRUE(r.overrun);
  EXPECT_EQ(r.length, 0u);
}

struct DescriptorCase {
  const char* name;
  Bytes bytes;
  bool ok;
  uint16_t transferSize;
};

class LinkDescriptorParse : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(LinkDescriptorParse, ChecksMagicAndSize) {
  const DescriptorCase& c = GetParam();
  LinkDescriptor d;
  EXPECT_EQ(parseLinkDescriptor(c.bytes.data(), c.bytes.size(), &d), c.ok);
  if (c.ok) {
    EXPECT_EQ(d.transferSize, c.transferSize);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkDescriptorParse,
    ::testing::Values(DescriptorCase{"S1024", {6, 0x80, 0x1F, 0xAC, 0x00, 0x04}, true, 1024},
                      DescriptorCase{"S64", {0, 0, 0x1F, 0xAC, 64, 0}, true, 64},
                      DescriptorCase{"S4", {0, 0, 0x1F, 0xAC, 4, 0}, true, 4},
                      DescriptorCase{"WrongMagic", {6, 0x80, 0x21, 0xAC, 0x00, 0x04}, false, 0},
                      DescriptorCase{"SizeBelow4", {6, 0x80, 0x1F, 0xAC, 3, 0}, false, 0},
                      DescriptorCase{"SizeZero", {6, 0x80, 0x1F, 0xAC, 0, 0}, false, 0},
                      DescriptorCase{"Short", {6, 0x80, 0x1F, 0xAC, 0x00}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinkDescriptorLimit, FrameLimitIsTheSmallerOfSizeAnd256) {
  EXPECT_EQ(LinkDescriptor{64}.frameLimit(), 64);
  EXPECT_EQ(LinkDescriptor{256}.frameLimit(), 256);
  EXPECT_EQ(LinkDescriptor{1024}.frameLimit(), 256);
}

TEST(Packets, ReadsAreWholePacketsAndFullWritesGetAZeroLengthPacket) {
  EXPECT_EQ(wholePackets(1024, 512), 1024u);
  EXPECT_EQ(wholePackets(100, 64), 128u);
  EXPECT_EQ(wholePackets(1, 512), 512u);
  EXPECT_TRUE(needsZeroLengthPacket(512, 512));
  EXPECT_TRUE(needsZeroLengthPacket(1024, 512));
  EXPECT_FALSE(needsZeroLengthPacket(511, 512));
  EXPECT_FALSE(needsZeroLengthPacket(0, 512));
}

// ---- MS OS 2.0 ----

Bytes utf16(const std::string& s, bool terminate) {
  Bytes out;
  for (char c : s) {
    out.push_back(uint8_t(c));
    out.push_back(0);
  }
  if (terminate) out.insert(out.end(), {0, 0});
  return out;
}

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

Bytes bosWithMsOs20(uint8_t vendorCode, uint16_t setLength) {
  Bytes cap = {28,   0x10, 0x05, 0x00, 0xDF, 0x60, 0xDD,       0xD8, 0x89, 0x45,
               0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E,       0x64, 0x8A, 0x9F,
               0x00, 0x00, 0x03, 0x06, 0,    0,    vendorCode, 0};
  put16(cap, 24, setLength);
  // A USB 2.0 extension capability first, then the platform one.
  Bytes bos = {5, 0x0F, 0, 0, 2, 7, 0x10, 0x02, 0x02, 0, 0, 0};
  bos.insert(bos.end(), cap.begin(), cap.end());
  put16(bos, 2, uint16_t(bos.size()));
  return bos;
}

Bytes registryProperty(const std::string& name, const std::string& value, bool multi) {
  Bytes n = utf16(name, true);
  Bytes v = utf16(value, true);
  if (multi) v.insert(v.end(), {0, 0});
  Bytes d(8);
  put16(d, 2, 0x04);
  put16(d, 4, multi ? 7 : 1);
  put16(d, 6, uint16_t(n.size()));
  d.insert(d.end(), n.begin(), n.end());
  d.push_back(uint8_t(v.size()));
  d.push_back(uint8_t(v.size() >> 8));
  d.insert(d.end(), v.begin(), v.end());
  put16(d, 0, uint16_t(d.size()));
  return d;
}

Bytes descriptorSet(std::initializer_list<Bytes> parts) {
  Bytes set = {10, 0, 0, 0, 0, 0, 0x03, 0x06, 0, 0};
  for (const Bytes& p : parts) set.insert(set.end(), p.begin(), p.end());
  put16(set, 8, uint16_t(set.size()));
  return set;
}

Bytes functionSubset(uint8_t firstInterface, const Bytes& body) {
  Bytes f = {8, 0, 0x02, 0, firstInterface, 0, 0, 0};
  f.insert(f.end(), body.begin(), body.end());
  put16(f, 6, uint16_t(f.size()));
  return f;
}

TEST(MsOs20, FindsThePlatformCapability) {
  const Bytes bos = bosWithMsOs20(0x21, 0xB2);
  MsOs20Request r;
  ASSERT_TRUE(findMsOs20Capability(bos.data(), bos.size(), &r));
  EXPECT_EQ(r.vendorCode, 0x21);
  EXPECT_EQ(r.setLength, 0xB2);
  Bytes other = bos;
  other[10 + 4 + 2] ^= 1;  // another platform's UUID
  EXPECT_FALSE(findMsOs20Capability(other.data(), other.size(), &r));
  Bytes cut(bos.begin(), bos.end() - 3);
  EXPECT_FALSE(findMsOs20Capability(cut.data(), cut.size(), &r));
}

TEST(MsOs20, MatchesTheLinkInterfaceClass) {
  const std::string guid = "{9dc6d3e6-17f0-4eec-ac69-9b024168a5cf}";  // case ignored
  uint8_t itf = 99;
  Bytes whole = descriptorSet({registryProperty("DeviceInterfaceGUIDs", guid, true)});
  EXPECT_TRUE(msOs20NamesInterfaceClass(whole.data(), whole.size(), kLinkInterfaceClass, &itf));
  EXPECT_EQ(itf, 0);

  Bytes single = descriptorSet({registryProperty("DeviceInterfaceGUID", guid, false)});
  EXPECT_TRUE(msOs20NamesInterfaceClass(single.data(), single.size(), kLinkInterfaceClass, &itf));

  // The property name is a registry value name: its case does not matter.
  for (const char* name : {"DeviceInterfaceGuids", "deviceinterfaceguid"}) {
    Bytes spelled = descriptorSet({registryProperty(name, guid, true)});
    EXPECT_TRUE(
        msOs20NamesInterfaceClass(spelled.data(), spelled.size(), kLinkInterfaceClass, &itf))
        << name;
  }

  Bytes function = descriptorSet(
      {functionSubset(0, registryProperty("DeviceInterfaceGUIDs",
                                          "{00000000-0000-0000-0000-000000000000}", true)),
       functionSubset(2, registryProperty("DeviceInterfaceGUIDs", guid, true))});
  EXPECT_TRUE(
      msOs20NamesInterfaceClass(function.data(), function.size(), kLinkInterfaceClass, &itf));
  EXPECT_EQ(itf, 2);

  Bytes other = descriptorSet(
      {registryProperty("DeviceInterfaceGUIDs", "{11111111-0000-0000-0000-000000000000}", true)});
  EXPECT_FALSE(msOs20NamesInterfaceClass(other.data(), other.size(), kLinkInterfaceClass, &itf));
  Bytes wrongName = descriptorSet({registryProperty("SomethingElse", guid, true)});
  EXPECT_FALSE(
      msOs20NamesInterfaceClass(wrongName.data(), wrongName.size(), kLinkInterfaceClass, &itf));

  // A descriptor that claims to run past the set.
  Bytes cut = whole;
  put16(cut, 10, uint16_t(cut.size()));
  EXPECT_FALSE(msOs20NamesInterfaceClass(cut.data(), cut.size(), kLinkInterfaceClass, &itf));
}

// ---- the VID:PID list and the media description ----

TEST(UsbIds, ParsesVendorAndProduct) {
  UsbId id{};
  EXPECT_TRUE(parseUsbId("1234:ABCD", &id));
  EXPECT_EQ(id, (UsbId{0x1234, 0xABCD}));
  EXPECT_TRUE(parseUsbId(" 1d6b:2 ", &id));
  EXPECT_EQ(id, (UsbId{0x1D6B, 0x0002}));
  for (const char* bad : {"", "1234", "1234:", ":5678", "12345:1", "12G4:1", "1234-5678"})
    EXPECT_FALSE(parseUsbId(bad, &id)) << bad;
}

TEST(MediaDescription, FormatsIntoExactly512Bytes) {
  char16_t text[256];
  std::fill(std::begin(text), std::end(text), u'x');
  describeMedia("USB Media", "1.8.0", text, 511);
  EXPECT_EQ(text[0], u'x');  // another size: untouched
  describeMedia("", "1.8.0", text, 512);
  EXPECT_EQ(text[0], u'x');  // no version block: untouched
  describeMedia("USB Media", "1.8.0", text, 512);
  EXPECT_EQ(std::u16string(text), u"USB Media (1.8.0)");
  describeMedia("Gerät", "2", text, 512);
  EXPECT_EQ(std::u16string(text), u"Gerät (2)");
  describeMedia("USB Media", "", text, 512);
  EXPECT_EQ(std::u16string(text), u"Gerät (2)");  // no version: untouched
  // 252 + " (1)" is 256 characters; with the terminator 514 bytes: zeroed.
  describeMedia(std::string(252, 'a'), "1", text, 512);
  for (char16_t c : text) ASSERT_EQ(c, 0);
  describeMedia(std::string(251, 'a'), "1", text, 512);  // 255 characters and the terminator
  EXPECT_EQ(std::u16string(text).size(), 255u);
}

}  // namespace
}  // namespace usblink

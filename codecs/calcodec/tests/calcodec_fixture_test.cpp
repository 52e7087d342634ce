// The codec against records built independently from the format
// (fixtures/make_fixtures.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CalcodecTestSupport.h"
#include "codeccommon/Crc32Variant.h"

using namespace caltest;

namespace {

Handle mainHandle() {
  Handle h = makeHandle();
  EXPECT_TRUE(addDefinition(h.get(), readFixture("main_definition_a.xml")))
      << CalcodecGetLastError(h.get());
  EXPECT_TRUE(addDefinition(h.get(), readFixture("main_definition_b.xml")))
      << CalcodecGetLastError(h.get());
  EXPECT_TRUE(mergeDataSet(h.get(), readFixture("main_dataset.xml")))
      << CalcodecGetLastError(h.get());
  return h;
}

}  // namespace

TEST(CalcodecRecord, ForwardBuildsTheIndependentlyComputedRecord) {
  Handle h = mainHandle();
  ASSERT_TRUE(mergeDataValue(h.get(), readFixture("main_values_1.xml")))
      << CalcodecGetLastError(h.get());
  ASSERT_TRUE(mergeDataValue(h.get(), readFixture("main_values_2.xml")))
      << CalcodecGetLastError(h.get());
  EXPECT_EQ(writeRecord(h.get()), readFixture("main_record.bin"));
}

TEST(CalcodecRecord, ReverseRestoresEveryValueAndRoundTrips) {
  Handle h = mainHandle();
  ASSERT_TRUE(readRecord(h.get(), readFixture("main_record.bin"))) << CalcodecGetLastError(h.get());
  std::string xml = valuesXml(h.get());
  EXPECT_EQ(xml, readFixture("main_values_expected.xml"));
  EXPECT_TRUE(parsesWithRoot(xml, "Datavalue"));

  // The values XML written again gives the same bytes.
  Handle again = mainHandle();
  ASSERT_TRUE(mergeDataValue(again.get(), xml)) << CalcodecGetLastError(again.get());
  EXPECT_EQ(writeRecord(again.get()), readFixture("main_record.bin"));
}

TEST(CalcodecRecord, RefusesDamagedRecords) {
  struct Case {
    const char* file;
    const char* error;
  } cases[] = {
      {"bad_check.bin", "Invalid CRC on recovered data"},
      {"one_byte_too_many.bin", "Recovered data size mismatch"},
      {"cut_in_check.bin", "Recovered data size mismatch"},
      {"unknown_name.bin", "Entry not found while recovering: Unknown idx 3"},
      {"unknown_index.bin", "Entry not found while recovering: Gain idx 7"},
      {"duplicate_block.bin", "Duplicated entry found: Gain idx 5"},
      {"text_past_end.bin", "Out of input data"},
      {"text_reserved_field.bin", "Unsupported record: Label idx 1"},
      {"seed_only.bin", "Out of input data"},
  };
  for (const auto& c : cases) {
    Handle h = mainHandle();
    EXPECT_FALSE(readRecord(h.get(), readFixture(c.file))) << c.file;
    EXPECT_STREQ(CalcodecGetLastError(h.get()), c.error) << c.file;
  }
}

TEST(CalcodecRecord, EmptyRecordRestoresNothing) {
  for (const std::string& bytes : {readFixture("no_blocks.bin"), std::string()}) {
    Handle h = mainHandle();
    if (bytes.empty()) {
      EXPECT_FALSE(readRecord(h.get(), bytes));
      EXPECT_STREQ(CalcodecGetLastError(h.get()), "Out of input data");
      continue;
    }
    ASSERT_TRUE(readRecord(h.get(), bytes)) << CalcodecGetLastError(h.get());
    EXPECT_EQ(valuesXml(h.get()),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\n"
              "<Datavalue>\n</Datavalue>\n");
  }
}

// Some entries only, another seed, a mandatory bit that disagrees with the
// data set, and a text that carries a zero byte.
TEST(CalcodecRecord, PartialRecordShowsOnlyWhatItHolds) {
  Handle h = mainHandle();
  ASSERT_TRUE(readRecord(h.get(), readFixture("partial_record.bin")))
      << CalcodecGetLastError(h.get());
  std::string xml = valuesXml(h.get());
  EXPECT_EQ(xml, readFixture("partial_values_expected.xml"));
  EXPECT_TRUE(parsesWithRoot(xml, "Datavalue"));
}

// The header's name field is 19 bytes; a name that fills it has no zero
// byte, and the value bytes after it are not part of it.
TEST(CalcodecRecord, NineteenCharacterNameIsReadButNotWritten) {
  Handle h = makeHandle();
  ASSERT_TRUE(addDefinition(h.get(), readFixture("name19_definition.xml")));
  ASSERT_TRUE(mergeDataSet(h.get(), readFixture("name19_dataset.xml")));
  ASSERT_TRUE(readRecord(h.get(), readFixture("name19_record.bin")))
      << CalcodecGetLastError(h.get());
  EXPECT_EQ(valuesXml(h.get()), readFixture("name19_values_expected.xml"));

  Handle writer = makeHandle();
  ASSERT_TRUE(addDefinition(writer.get(), readFixture("name19_definition.xml")));
  ASSERT_TRUE(mergeDataSet(writer.get(), readFixture("name19_dataset.xml")));
  void* data = reinterpret_cast<void*>(0x1);
  int length = -7;
  EXPECT_FALSE(CalcodecOutToStdRecord(writer.get(), &data, &length));
  EXPECT_STREQ(CalcodecGetLastError(writer.get()), "Name string too long: CalibrationConstant");
  EXPECT_EQ(data, reinterpret_cast<void*>(0x1)) << "out-parameters stay untouched on failure";
  EXPECT_EQ(length, -7);
}

TEST(CalcodecRecord, SeedFingerprintsTheDefinitionsGiven) {
  std::string a = readFixture("main_definition_a.xml");
  std::string b = readFixture("main_definition_b.xml");
  uint32_t afterA = codec::crc32Variant(codec::kCalibrationSeed, a.c_str(), a.size() + 1);
  uint32_t afterB = codec::crc32Variant(afterA, b.c_str(), b.size() + 1);
  auto seedOf = [](const std::string& record) {
    return uint32_t(uint8_t(record[0])) | uint32_t(uint8_t(record[1])) << 8 |
           uint32_t(uint8_t(record[2])) << 16 | uint32_t(uint8_t(record[3])) << 24;
  };

  Handle one = makeHandle();
  ASSERT_TRUE(addDefinition(one.get(), a));
  ASSERT_TRUE(mergeDataSet(one.get(), "<Dataset/>"));
  std::string empty = writeRecord(one.get());
  ASSERT_EQ(empty.size(), 8u);
  EXPECT_EQ(seedOf(empty), afterA);
  EXPECT_EQ(empty.substr(0, 4), empty.substr(4)) << "no blocks: the check is the seed";
  EXPECT_EQ(seedOf(readFixture("main_record.bin")), afterB);
}

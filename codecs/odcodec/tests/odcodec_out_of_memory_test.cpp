// The exports when memory runs out: NULL means success, so a failure must
// still come back as a text the caller can free. This program stands in for
// malloc (ahead of the C library, as the dynamic linker resolves it) so that
// it can refuse every allocation for the length of one call; not built with
// the sanitizers, which have their own malloc.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "odcodec/odcodec.h"

extern "C" void* __libc_malloc(size_t size);

namespace {
std::atomic<bool> refuseMemory{false};
}

extern "C" void* malloc(size_t size) {
  return refuseMemory.load(std::memory_order_relaxed) ? nullptr : __libc_malloc(size);
}

namespace {

template <typename Call>
const char* withoutMemory(Call call) {
  refuseMemory = true;
  const char* result = call();
  refuseMemory = false;
  return result;
}

}  // namespace

// Memory runs out for a whole call: the text kept for that is handed out,
// and the next call that finds memory keeps another.
TEST(OdcodecOutOfMemory, AFailureIsReportedEvenWhenItsTextCannotBeMade) {
  const uint8_t version2[] = {2, 0};
  const char badXml[] = "<ObjectDictionary>";
  auto failsWithItsOwnText = [&] {
    char* xml = nullptr;
    const char* error = OdcodecToXML(version2, 2, &xml);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "Object dictionary file version unsupported: 2");
    std::free(const_cast<char*>(error));
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    char* xml = reinterpret_cast<char*>(uintptr_t(1));
    const char* toXml = withoutMemory([&] { return OdcodecToXML(version2, 2, &xml); });
    ASSERT_NE(toXml, nullptr) << "a failure must not read as success";
    EXPECT_STREQ(toXml, "Exception error");
    EXPECT_EQ(xml, reinterpret_cast<char*>(uintptr_t(1))) << "out-parameter untouched";
    std::free(const_cast<char*>(toXml));
    failsWithItsOwnText();

    void* data = reinterpret_cast<void*>(uintptr_t(1));
    int length = -7;
    const char* fromXml =
        withoutMemory([&] { return OdcodecFromXML(badXml, sizeof badXml, &data, &length); });
    ASSERT_NE(fromXml, nullptr);
    EXPECT_STREQ(fromXml, "Exception error");
    EXPECT_EQ(data, reinterpret_cast<void*>(uintptr_t(1)));
    EXPECT_EQ(length, -7);
    std::free(const_cast<char*>(fromXml));
    failsWithItsOwnText();
  }
}

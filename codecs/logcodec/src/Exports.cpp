// The library's flat exports, over LogViewerHandle.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogEntry.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"
#include "logcodec/logcodec.h"

struct LogViewerHandle {
  // The copies of every image whose entries are held; entries point into them.
  std::vector<std::vector<uint8_t>> images;
  // Where the entries live; the list orders them.
  logcodec::EntryStore store;
  std::vector<logcodec::LogTree*> entries;
  // False after a failed call left unsorted entries behind.
  bool sorted = true;
  std::string lastError;
};

namespace {

using logcodec::LogTree;

bool keyLess(const LogTree* a, const LogTree* b) { return a->getKey() < b->getKey(); }

void decodeImage(LogViewerHandle& h, const uint8_t* data, size_t length) {
  h.images.emplace_back(data, data + length);
  const std::vector<uint8_t>& image = h.images.back();
  const size_t firstNew = h.entries.size();
  const bool earlierSorted = h.sorted;
  // Entries point into the image: it stays while any of them does.
  struct DropUnusedImage {
    LogViewerHandle& h;
    size_t firstNew;
    ~DropUnusedImage() {
      if (h.entries.size() == firstNew) h.images.pop_back();
    }
  } dropUnused{h, firstNew};

  svcwire::ByteReader in(image.data(), image.size());
  logcodec::DecodeScratch scratch;
  uint64_t previousKey = 0;
  while (in.remaining() != 0) {
    if (in.remaining() == 1) codec::fail("Read file error");
    const uint16_t version = in.u16();
    LogTree* entry = nullptr;
    if (version == 1)
      entry = h.store.make<logcodec::LogEntry1>();
    else if (version == 2)
      entry = h.store.make<logcodec::LogEntry2>();
    else
      codec::fail("Unmanaged entry version " + std::to_string(version));
    const size_t bodyOffset = in.position();
    // A faulty entry is left unused in the store until the handle goes.
    if (!entry->decode(in, h.store, scratch))
      codec::fail("Error while decoding entry version at " + std::to_string(bodyOffset));
    // Keys grow strictly within one image; a timestamp that does not gets the
    // previous one plus 1 ns, held at the largest value rather than wrapping.
    if (previousKey < entry->getKey()) {
      previousKey = entry->getKey();
    } else {
      if (previousKey != std::numeric_limits<uint64_t>::max()) ++previousKey;
      entry->setKey(previousKey);
    }
    h.entries.push_back(entry);
    h.sorted = false;
  }

  // The new entries are in key order already; merge them unless an earlier
  // failure left the older ones unsorted.
  auto middle = h.entries.begin() + std::ptrdiff_t(firstNew);
  if (earlierSorted)
    std::inplace_merge(h.entries.begin(), middle, h.entries.end(), keyLess);
  else
    std::stable_sort(h.entries.begin(), h.entries.end(), keyLess);
  h.sorted = true;
}

uint64_t inputBytes(const LogViewerHandle& h) {
  uint64_t total = 0;
  for (const auto& image : h.images) total += image.size();
  return total;
}

// Runs write(sink) once to measure and once into the malloc'ed result. Text
// lines are padded to the entry's widest snapshot, so a small hostile log
// could ask for gigabytes: a result out of all proportion to the images
// fails like an allocation.
template <typename Write>
void render(const LogViewerHandle& h, char** out, Write write) {
  logcodec::TextSink counter;
  write(counter);
  const size_t size = counter.size();
  if (codec::resultTooLarge(size, inputBytes(h))) throw std::bad_alloc();
  char* text = static_cast<char*>(codec::mallocResult(size + 1));
  if (!text) throw std::bad_alloc();
  try {
    logcodec::TextSink sink(text, size);
    write(sink);
    if (sink.size() != size) throw std::logic_error("rendering fell short of its measured size");
  } catch (...) {
    std::free(text);
    throw;
  }
  text[size] = '\0';
  *out = text;
}

}  // namespace

extern "C" {

LOGCODEC_API LogViewerHandle* LogViewerCreateHandle(void) {
  return new (std::nothrow) LogViewerHandle();
}

LOGCODEC_API void LogViewerDestroyHandle(LogViewerHandle* handle) { delete handle; }

LOGCODEC_API const char* LogViewerGetLastError(LogViewerHandle* handle) {
  return handle ? handle->lastError.c_str() : "";
}

LOGCODEC_API bool LogViewerDecodeAndAdd(LogViewerHandle* handle, const void* data,
                                        unsigned int length) {
  if (!handle) return false;
  return codec::guardExport(handle->lastError, [&] {
    if (!data && length != 0) codec::fail("Read file error");
    decodeImage(*handle, static_cast<const uint8_t*>(data), data ? length : 0);
  });
}

LOGCODEC_API bool LogViewerGetPlainText(LogViewerHandle* handle, char** text) {
  if (!handle || !text) return false;
  return codec::guardExport(handle->lastError, [&] {
    render(*handle, text, [&](logcodec::TextSink& out) {
      for (const auto& entry : handle->entries) entry->writeText(out);
    });
  });
}

LOGCODEC_API bool LogViewerGetXML(LogViewerHandle* handle, char** xml) {
  if (!handle || !xml) return false;
  return codec::guardExport(handle->lastError, [&] {
    render(*handle, xml, [&](logcodec::TextSink& out) {
      out.append(codec::kXmlDeclaration);
      out.append("<Events>");
      for (const auto& entry : handle->entries) entry->writeXml(out);
      out.append("</Events>\n");
    });
  });
}

}  // extern "C"

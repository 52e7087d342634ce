// The library's flat exports, over LogViewerHandle.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "LogEntry.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"
#include "logcodec/logcodec.h"

struct LogViewerHandle {
  // The copies of every image whose entries are held; entries point into them.
  std::vector<std::vector<uint8_t>> images;
  // In key order, unless a failed call left them unsorted.
  std::vector<logcodec::EntryRef> entries;
  // False after a failed call left unsorted entries behind.
  bool sorted = true;
  std::string lastError;
};

namespace {

using logcodec::EntryRef;

bool keyLess(const EntryRef& a, const EntryRef& b) { return a.key < b.key; }

// An entry's body decoded again for rendering; it was whole when added.
const logcodec::Event& decodeAgain(const EntryRef& entry, logcodec::DecodeScratch& scratch,
                                   logcodec::Event& event) {
  base::ByteReader in(entry.body, entry.bodyLength);
  if (!logcodec::decodeEvent(in, scratch, event))
    throw std::logic_error("a checked entry no longer decodes");
  event.timestamp = entry.key;
  return event;
}

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

  base::ByteReader in(image.data(), image.size());
  logcodec::DecodeScratch scratch;
  logcodec::Event event;
  uint64_t previousKey = 0;
  while (in.remaining() != 0) {
    if (in.remaining() == 1) codec::fail("Read file error");
    const uint16_t version = in.u16();
    if (version != 1 && version != 2)
      codec::fail("Unmanaged entry version " + std::to_string(version));
    const size_t bodyOffset = in.position();
    uint64_t key = 0;
    const bool whole = version == 1 ? logcodec::decodeEvent(in, scratch, event)
                                    : logcodec::decodeTimestamp(in, key);
    if (!whole) codec::fail("Error while decoding entry version at " + std::to_string(bodyOffset));
    if (version == 1) key = event.timestamp;
    // Keys grow strictly within one image; a timestamp that does not gets the
    // previous one plus 1 ns, held at the largest value rather than wrapping.
    if (previousKey < key) {
      previousKey = key;
    } else {
      if (previousKey != std::numeric_limits<uint64_t>::max()) ++previousKey;
      key = previousKey;
    }
    if (version != 1) continue;
    // Measured now, so that rendering XML decodes each entry once, not twice.
    event.timestamp = key;
    logcodec::TextSink counter;
    logcodec::writeXml(event, counter);
    if (counter.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    h.entries.push_back(EntryRef{key, image.data() + bodyOffset,
                                 uint32_t(in.position() - bodyOffset), uint32_t(counter.size())});
    h.sorted = false;
  }

  // The new entries are in key order already; merge them unless an earlier
  // failure left the older ones unsorted.
  auto middle = h.entries.begin() + std::ptrdiff_t(firstNew);
  if (earlierSorted)
    std::inplace_merge(h.entries.begin(), middle, h.entries.end(), keyLess);
  else
    std::stable_sort(h.entries.begin(), h.entries.end(), keyLess);
  // Growth by doubling may have left up to as much room again unused, which
  // would stay for as long as the handle.
  h.entries.shrink_to_fit();
  h.sorted = true;
}

uint64_t inputBytes(const LogViewerHandle& h) {
  uint64_t total = 0;
  for (const auto& image : h.images) total += image.size();
  return total;
}

// Makes the malloc'ed result of `size` bytes (as measured) and runs
// write(sink) into it. Text lines are padded to the entry's widest snapshot,
// so a small hostile log could ask for gigabytes: a result out of all
// proportion to the images fails like an allocation.
template <typename Write>
void render(const LogViewerHandle& h, char** out, size_t size, Write write) {
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
    logcodec::DecodeScratch scratch;
    logcodec::Event event;
    // Plain text is measured here, by a counting pass of its own.
    logcodec::TextSink counter;
    for (const EntryRef& entry : handle->entries)
      logcodec::writeText(decodeAgain(entry, scratch, event), counter);
    render(*handle, text, counter.size(), [&](logcodec::TextSink& out) {
      for (const EntryRef& entry : handle->entries)
        logcodec::writeText(decodeAgain(entry, scratch, event), out);
    });
  });
}

LOGCODEC_API bool LogViewerGetXML(LogViewerHandle* handle, char** xml) {
  if (!handle || !xml) return false;
  return codec::guardExport(handle->lastError, [&] {
    const std::string_view head = codec::kXmlDeclaration;
    constexpr std::string_view kOpen = "<Events>", kClose = "</Events>\n";
    uint64_t size = head.size() + kOpen.size() + kClose.size();
    for (const EntryRef& entry : handle->entries) size += entry.xmlBytes;
    if (size > std::numeric_limits<size_t>::max() - 1) throw std::bad_alloc();
    logcodec::DecodeScratch scratch;
    logcodec::Event event;
    render(*handle, xml, size_t(size), [&](logcodec::TextSink& out) {
      out.append(head);
      out.append(kOpen);
      for (const EntryRef& entry : handle->entries)
        logcodec::writeXml(decodeAgain(entry, scratch, event), out);
      out.append(kClose);
    });
  });
}

}  // extern "C"

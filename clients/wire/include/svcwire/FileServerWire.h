// The file server service (protocol id 3): request and reply codes, record
// layouts and size rules, shared by the client library and the emulated
// device.
//
// Requests (host to device), every one a message of its own:
//   [2]  volume NUL name NUL int16 attributes   download: the host sends a file
//   [6]  volume NUL name NUL                    unlink
//   [16] volume NUL name NUL                    upload: the device sends a file
//   [18] volume NUL                             listing
// Replies (device to host) are [code, int32 value], exactly 5 bytes, the code
// the request's + 1. Their first value: -11 busy (ask again), other negative
// a failure, 0 or more accepted (for an upload, the file's size).
//   Download: the file follows as one message in pieces; the device answers
//   with acknowledgements [3 or 32, int32 position] (bytes it has stored, or a
//   negative failure), one within every kWindow bytes and one at the last
//   fragment, then the final [3, 0].
//   Upload: the file's bytes follow as one message, then the final [17, value].
//   Listing: one message of entries [name NUL][int32 size][int16 attributes],
//   optionally ended by an empty name, then the final [19, number of entries].
//   Unlink: the first reply is the result.
// Every field is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace svcwire::filesrv {

enum Code : uint8_t {
  kDownloadRequest = 2,
  kDownloadReply = 3,
  kUnlinkRequest = 6,
  kUnlinkReply = 7,
  kUploadRequest = 16,
  kUploadReply = 17,
  kDirRequest = 18,
  kDirReply = 19,
  kAcknowledge = 32,  // a download acknowledgement may carry this code too
};

constexpr size_t kReplyLength = 5;
// The longest volume name and file name a request carries (each followed by
// one NUL); a listing name must be shorter than kNameField.
constexpr size_t kMaxVolume = 7;
constexpr size_t kMaxName = 31;
constexpr size_t kNameField = 32;
// File data moves in pieces of at most this many bytes, and a download never
// has more than this many bytes unacknowledged.
constexpr size_t kWindow = 1024;
// Bytes of one listing entry after its name and NUL.
constexpr size_t kEntryTail = 6;

constexpr int32_t kBusy = -11;

inline void putI32(std::vector<uint8_t>& out, int32_t v) {
  const uint32_t u = uint32_t(v);
  out.push_back(uint8_t(u));
  out.push_back(uint8_t(u >> 8));
  out.push_back(uint8_t(u >> 16));
  out.push_back(uint8_t(u >> 24));
}

inline void putI16(std::vector<uint8_t>& out, int16_t v) {
  const uint16_t u = uint16_t(v);
  out.push_back(uint8_t(u));
  out.push_back(uint8_t(u >> 8));
}

inline int32_t getI32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

inline int16_t getI16(const uint8_t* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

inline std::vector<uint8_t> encodeReply(uint8_t code, int32_t value) {
  std::vector<uint8_t> out{code};
  putI32(out, value);
  return out;
}

struct Reply {
  uint8_t code = 0;
  int32_t value = 0;
};

// A reply is exactly kReplyLength bytes; anything else is refused.
inline bool parseReply(const uint8_t* data, size_t length, Reply* reply) {
  if (length != kReplyLength) return false;
  reply->code = data[0];
  reply->value = getI32(data + 1);
  return true;
}

struct Entry {
  std::string name;
  int32_t size = 0;
  int16_t attributes = 0;
};

inline void appendEntry(std::vector<uint8_t>& out, std::string_view name, int32_t size,
                        int16_t attributes) {
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  putI32(out, size);
  putI16(out, attributes);
}

// Reads the entries of a listing message until it ends or a name is empty.
// False for a name of kNameField bytes or more, an entry cut short, or bytes
// after the empty name.
inline bool parseListing(const uint8_t* data, size_t length, std::vector<Entry>* entries) {
  size_t pos = 0;
  while (pos < length) {
    size_t end = pos;
    while (end < length && data[end] != 0) ++end;
    if (end == length) return false;  // no terminator
    const size_t nameLength = end - pos;
    if (nameLength == 0) return end + 1 == length;
    if (nameLength >= kNameField) return false;
    if (length - (end + 1) < kEntryTail) return false;
    Entry e;
    e.name.assign(reinterpret_cast<const char*>(data + pos), nameLength);
    e.size = getI32(data + end + 1);
    e.attributes = getI16(data + end + 5);
    entries->push_back(std::move(e));
    pos = end + 1 + kEntryTail;
  }
  return true;
}

// The request a host sends: the code, the volume cut to kMaxVolume bytes and
// (but for a listing) the name cut to kMaxName, each with one NUL, and for a
// download the attributes.
inline std::vector<uint8_t> encodeRequest(uint8_t code, std::string_view volume,
                                          std::string_view name = {}, int16_t attributes = 0) {
  std::vector<uint8_t> out{code};
  volume = volume.substr(0, kMaxVolume);
  out.insert(out.end(), volume.begin(), volume.end());
  out.push_back(0);
  if (code != kDirRequest) {
    name = name.substr(0, kMaxName);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
  }
  if (code == kDownloadRequest) putI16(out, attributes);
  return out;
}

struct Request {
  uint8_t code = 0;
  std::string volume;
  std::string name;
  int16_t attributes = 0;
};

// The device's reading of a request: false for an unknown code, a missing
// NUL, or bytes missing or left over. The lengths of the names are not
// limited here.
inline bool parseRequest(const uint8_t* data, size_t length, Request* request) {
  if (length < 1) return false;
  request->code = data[0];
  size_t pos = 1;
  auto text = [&](std::string* out) {
    size_t end = pos;
    while (end < length && data[end] != 0) ++end;
    if (end == length) return false;
    out->assign(reinterpret_cast<const char*>(data + pos), end - pos);
    pos = end + 1;
    return true;
  };
  switch (request->code) {
    case kDirRequest:
      return text(&request->volume) && pos == length;
    case kUnlinkRequest:
    case kUploadRequest:
      return text(&request->volume) && text(&request->name) && pos == length;
    case kDownloadRequest:
      if (!text(&request->volume) || !text(&request->name) || length - pos != 2) return false;
      request->attributes = getI16(data + pos);
      return true;
    default:
      return false;
  }
}

}  // namespace svcwire::filesrv

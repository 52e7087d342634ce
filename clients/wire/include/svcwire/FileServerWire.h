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

#include "base/ByteReader.h"

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

inline std::vector<uint8_t> encodeReply(uint8_t code, int32_t value) {
  base::ByteWriter w;
  w.u8(code).i32(value);
  return w.take();
}

struct Reply {
  uint8_t code = 0;
  int32_t value = 0;
};

// A reply is exactly kReplyLength bytes; anything else is refused.
inline bool parseReply(const uint8_t* data, size_t length, Reply* reply) {
  base::ByteReader r(data, length);
  reply->code = r.u8();
  reply->value = r.i32();
  return r.done();
}

struct Entry {
  std::string name;
  int32_t size = 0;
  int16_t attributes = 0;
};

inline void appendEntry(std::vector<uint8_t>& out, std::string_view name, int32_t size,
                        int16_t attributes) {
  base::ByteWriter w;
  w.cstring(name).i32(size).i16(attributes);
  out.insert(out.end(), w.data().begin(), w.data().end());
}

// Reads the entries of a listing message until it ends or a name is empty.
// False for a name of kNameField bytes or more, an entry cut short, or bytes
// after the empty name.
inline bool parseListing(const uint8_t* data, size_t length, std::vector<Entry>* entries) {
  base::ByteReader r(data, length);
  while (!r.atEnd()) {
    std::string_view name;
    if (!r.cstring(&name, kNameField - 1)) return false;
    if (name.empty()) return r.atEnd();
    Entry e;
    e.name.assign(name);
    e.size = r.i32();
    e.attributes = r.i16();
    if (r.failed()) return false;
    entries->push_back(std::move(e));
  }
  return true;
}

// The request a host sends: the code, the volume cut to kMaxVolume bytes and
// (but for a listing) the name cut to kMaxName, each with one NUL, and for a
// download the attributes.
inline std::vector<uint8_t> encodeRequest(uint8_t code, std::string_view volume,
                                          std::string_view name = {}, int16_t attributes = 0) {
  base::ByteWriter w;
  w.u8(code).cstring(volume.substr(0, kMaxVolume));
  if (code != kDirRequest) w.cstring(name.substr(0, kMaxName));
  if (code == kDownloadRequest) w.i16(attributes);
  return w.take();
}

struct Request {
  uint8_t code = 0;
  std::string volume;
  std::string name;
  int16_t attributes = 0;
};

// The device's reading of a request: false for an unknown code, a missing
// NUL, or bytes missing or left over. Names are read up to kMaxRequestText.
inline bool parseRequest(const uint8_t* data, size_t length, Request* request) {
  constexpr size_t kMaxRequestText = 4096;
  base::ByteReader r(data, length);
  request->code = r.u8();
  std::string_view volume, name;
  switch (request->code) {
    case kDirRequest:
      r.cstring(&volume, kMaxRequestText);
      break;
    case kUnlinkRequest:
    case kUploadRequest:
      if (r.cstring(&volume, kMaxRequestText)) r.cstring(&name, kMaxRequestText);
      break;
    case kDownloadRequest:
      if (r.cstring(&volume, kMaxRequestText)) r.cstring(&name, kMaxRequestText);
      request->attributes = r.i16();
      break;
    default:
      return false;
  }
  request->volume.assign(volume);
  request->name.assign(name);
  return r.done();
}

}  // namespace svcwire::filesrv

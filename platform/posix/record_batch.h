// One recvmmsg/sendmmsg call's headers over the callers' record buffers,
// shared by the channel pipes and the vbus sockets.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstring>

namespace plat::batch {

inline constexpr size_t kLimit = 64;  // records per system call

struct Headers {
  iovec iov[kLimit];
  mmsghdr msgs[kLimit];
  size_t count = 0;
};

// Points the headers at records[0..count) (cut to kLimit): `capacity` bytes
// of `data` each. False when a record has no room: an empty record reads as
// the peer's close, and sent would look like one.
template <typename Record>
bool point(Headers& h, Record* records, size_t count) {
  h.count = count < kLimit ? count : kLimit;
  std::memset(h.msgs, 0, sizeof(mmsghdr) * h.count);
  for (size_t i = 0; i < h.count; ++i) {
    if (records[i].capacity == 0) return false;
    h.iov[i] = {const_cast<void*>(static_cast<const void*>(records[i].data)), records[i].capacity};
    h.msgs[i].msg_hdr.msg_iov = &h.iov[i];
    h.msgs[i].msg_hdr.msg_iovlen = 1;
  }
  return true;
}

}  // namespace plat::batch

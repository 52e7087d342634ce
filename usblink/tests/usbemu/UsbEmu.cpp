#include "UsbEmu.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "devsim/BenchEchoService.h"
#include "devsim/Device.h"
#include "devsim/FrameTransport.h"
#include "plat/threadsafety.h"

namespace usbemu {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr uint16_t kPacket = 512;
constexpr uint8_t kMsVendorCode = 0x20;
constexpr const char* kLinkClass = "{9DC6D3E6-17F0-4EEC-AC69-9B024168A5CF}";
constexpr const char* kOtherClass = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
// Records waiting for the host past which the device's sends block.
constexpr size_t kBacklog = 64 * 1024;
// libusb polls the node without pause (it is a plain file, always ready).
// Once the device has been quiet for a while a reap that finds nothing is
// answered a little later, so an idle link does not burn a core.
constexpr auto kQuietAfter = std::chrono::milliseconds(20);
constexpr guint kParkMs = 2;

// The fixture lock: URB lists, device state, counters. A leaf.
plat::Mutex& fixtureMutex() {
  static plat::Mutex m;
  return m;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void putUtf16(std::vector<uint8_t>& v, const std::string& s) {
  for (char c : s) put16(v, uint8_t(c));
}

std::vector<uint8_t> deviceDescriptor(const DeviceSpec& s) {
  std::vector<uint8_t> d = {18, 1};
  put16(d, s.matching == Matching::kIdOnly ? 0x0200 : 0x0210);
  d.insert(d.end(), {0, 0, 0, 64});
  put16(d, s.vendor);
  put16(d, s.product);
  put16(d, 0x0100);
  d.insert(d.end(), {0, 0, 0, 1});
  return d;
}

std::vector<uint8_t> configDescriptor(const DeviceSpec& s) {
  const uint8_t endpoints = s.bulkIn ? 2 : 1;
  std::vector<uint8_t> c = {9, 2};
  put16(c, uint16_t(9 + 9 + 7 * endpoints));
  c.insert(c.end(), {1, 1, 0, 0x80, 50});
  c.insert(c.end(), {9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0});
  if (s.bulkIn) {
    c.insert(c.end(), {7, 5, kInEndpoint, 2});
    put16(c, kPacket);
    c.push_back(0);
  }
  c.insert(c.end(), {7, 5, kOutEndpoint, 2});
  put16(c, kPacket);
  c.push_back(0);
  return c;
}

// Header, compatible id, and the DeviceInterfaceGUIDs property.
std::vector<uint8_t> msOs20Set(const DeviceSpec& s) {
  const std::string name = std::string("DeviceInterfaceGUIDs") + '\0';
  const std::string value =
      std::string(s.matching == Matching::kOtherClass ? kOtherClass : kLinkClass) + '\0' + '\0';
  std::vector<uint8_t> property;
  put16(property, uint16_t(10 + 2 * name.size() + 2 * value.size()));
  put16(property, 4);
  put16(property, 7);  // REG_MULTI_SZ
  put16(property, uint16_t(2 * name.size()));
  putUtf16(property, name);
  put16(property, uint16_t(2 * value.size()));
  putUtf16(property, value);
  std::vector<uint8_t> compat = {20, 0, 3, 0, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0};
  compat.resize(20, 0);
  std::vector<uint8_t> set;
  put16(set, 10);
  put16(set, 0);
  set.insert(set.end(), {0x00, 0x00, 0x03, 0x06});
  put16(set, uint16_t(10 + compat.size() + property.size()));
  set.insert(set.end(), compat.begin(), compat.end());
  set.insert(set.end(), property.begin(), property.end());
  if (s.matching == Matching::kMalformedSet) {
    // The property claims two bytes more than the set holds.
    const size_t at = set.size() - property.size();
    const uint16_t claimed = uint16_t(property.size() + 2);
    set[at] = uint8_t(claimed);
    set[at + 1] = uint8_t(claimed >> 8);
  }
  return set;
}

std::vector<uint8_t> bos(const DeviceSpec& s) {
  static const uint8_t kUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                    0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
  std::vector<uint8_t> b = {5, 0x0F};
  put16(b, 5 + 28);
  b.push_back(1);
  b.insert(b.end(), {28, 0x10, 0x05, 0});
  b.insert(b.end(), kUuid, kUuid + 16);
  b.insert(b.end(), {0x00, 0x00, 0x03, 0x06});
  put16(b, uint16_t(msOs20Set(s).size()));
  b.push_back(kMsVendorCode);
  b.push_back(0);
  return b;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string devnodeOf(int devnum) {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
  return node;
}

struct Urb {
  UMockdevIoctlData* urb = nullptr;     // the resolved struct usbdevfs_urb, one reference
  UMockdevIoctlData* buffer = nullptr;  // its resolved buffer, one reference, or null
  uint8_t type = 0;
  uint8_t endpoint = 0;
  int length = 0;
  int status = 0;
  int actual = 0;
  bool discarded = false;  // a held-back cancel: out until the hold ends
};

void release(Urb& u) {
  if (u.buffer) g_object_unref(u.buffer);
  if (u.urb) g_object_unref(u.urb);
  u.buffer = u.urb = nullptr;
}

}  // namespace

// One plugged-in device: its descriptors, the devsim device behind them and
// what goes to and from the host.
struct EmulatedDevice::State final : devsim::FrameTransport {
  DeviceSpec spec;
  std::string syspath;
  std::shared_ptr<devsim::CoreState> core;
  std::unique_ptr<devsim::Device> device;

  // Guarded by fixtureMutex():
  bool gone GUARDED_BY(fixtureMutex()) = false;
  Fault fault GUARDED_BY(fixtureMutex()) = Fault::kNone;
  bool holdCancels GUARDED_BY(fixtureMutex()) = false;
  std::deque<uint8_t> toHost GUARDED_BY(fixtureMutex());  // records for bulk IN
  std::vector<uint8_t> carry GUARDED_BY(fixtureMutex());  // a host record cut by its transfer's end
  std::vector<OutUrb> outUrbs GUARDED_BY(fixtureMutex());
  int opens GUARDED_BY(fixtureMutex()) = 0;
  int busyClaims GUARDED_BY(fixtureMutex()) = 0;    // left of spec.busyClaims
  Node* node GUARDED_BY(fixtureMutex()) = nullptr;  // where it is plugged
  plat::CondVar drained;

  void sendFrame(const uint8_t* frame, size_t length) override {
    if (length == 0 || length > 255) return;
    plat::UniqueLock lock(fixtureMutex());
    drained.wait(lock, [&]() REQUIRES(fixtureMutex()) { return gone || toHost.size() < kBacklog; });
    if (gone) return;
    toHost.push_back(uint8_t(length));
    toHost.insert(toHost.end(), frame, frame + length);
  }

  // The frames of one bulk OUT transfer; lock held.
  void splitOut(const uint8_t* data, size_t length, std::vector<std::vector<uint8_t>>* frames)
      REQUIRES(fixtureMutex()) {
    carry.insert(carry.end(), data, data + length);
    size_t p = 0;
    while (p < carry.size()) {
      const size_t n = carry[p];
      if (p + 1 + n > carry.size()) break;
      if (n > 0) frames->emplace_back(carry.begin() + long(p + 1), carry.begin() + long(p + 1 + n));
      p += 1 + n;
    }
    carry.erase(carry.begin(), carry.begin() + long(p));
  }
};

struct Testbed::Bed {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
};

struct Client {
  std::shared_ptr<EmulatedDevice::State> state;  // null: nothing was plugged at open
  std::deque<Urb> flying;
  std::deque<Urb> done;
};

// One device node with its ioctl handler, attached once and kept for the
// life of the test bed; the device behind it changes with plugs.
struct Node {
  int devnum = 0;
  std::string devnode;
  UMockdevIoctlBase* handler = nullptr;
  // Guarded by fixtureMutex():
  std::shared_ptr<EmulatedDevice::State> current GUARDED_BY(fixtureMutex());
  std::map<UMockdevIoctlClient*, Client> clients GUARDED_BY(fixtureMutex());
  Clock::time_point lastActivity GUARDED_BY(fixtureMutex()) = Clock::now();

  // Every handle the host opens on the node; one reference is held on the
  // client until it is seen closed.
  static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* node = static_cast<Node*>(self);
    plat::LockGuard lock(fixtureMutex());
    node->prune();
    g_object_ref(client);
    Client& c = node->clients[client];
    c.state = node->current;
    if (c.state && !c.state->gone) ++c.state->opens;
  }

  // This umockdev signals no close: a client whose connection has ended is
  // found by asking. Lock held.
  void prune() REQUIRES(fixtureMutex()) {
    for (auto it = clients.begin(); it != clients.end();) {
      if (umockdev_ioctl_client_get_connected(it->first)) {
        ++it;
        continue;
      }
      for (Urb& u : it->second.flying) release(u);
      for (Urb& u : it->second.done) release(u);
      g_object_unref(it->first);
      it = clients.erase(it);
    }
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<Node*>(self)->handle(client) ? TRUE : FALSE;
  }

  bool handle(UMockdevIoctlClient* client);
  void submit(UMockdevIoctlClient* client, Client& c, UMockdevIoctlData* arg)
      REQUIRES(fixtureMutex());
  bool reapOne(Client& c, std::vector<std::vector<uint8_t>>* frames, Urb* out)
      REQUIRES(fixtureMutex());
  void answerControl(EmulatedDevice::State& s, Urb& u) REQUIRES(fixtureMutex());
};

void Node::answerControl(EmulatedDevice::State& s, Urb& u) {
  // The buffer is the 8-byte setup and then the data stage.
  u.status = -EPIPE;
  u.actual = 0;
  if (!u.buffer || u.length < 8) return;
  uint8_t* b = u.buffer->data;
  const uint8_t requestType = b[0], request = b[1];
  const uint16_t value = uint16_t(b[2] | b[3] << 8), index = uint16_t(b[4] | b[5] << 8);
  const size_t room = std::min<size_t>(uint16_t(b[6] | b[7] << 8), size_t(u.length - 8));
  std::vector<uint8_t> answer;
  bool known = false;
  if (requestType == 0x80 && request == 6 && value == 0x8000 && index == 0) {
    answer = {6,
              0x80,
              uint8_t(s.spec.linkMagic),
              uint8_t(s.spec.linkMagic >> 8),
              uint8_t(s.spec.transferSize),
              uint8_t(s.spec.transferSize >> 8)};
    known = true;
  } else if (requestType == 0x80 && request == 6 && value == 0x0F00 &&
             s.spec.matching != Matching::kIdOnly) {
    answer = bos(s.spec);
    known = true;
  } else if (requestType == 0xC0 && request == kMsVendorCode && index == 7 &&
             s.spec.matching != Matching::kIdOnly && s.spec.matching != Matching::kSetStalls) {
    answer = msOs20Set(s.spec);
    known = true;
  } else if (requestType == 0x80 && request == 6 && value == 0x0100) {
    answer = deviceDescriptor(s.spec);
    known = true;
  }
  if (!known) return;
  const size_t n = std::min(room, answer.size());
  std::memcpy(b + 8, answer.data(), n);
  u.status = 0;
  u.actual = int(n);
}

void Node::submit(UMockdevIoctlClient* client, Client& c, UMockdevIoctlData* arg) {
  EmulatedDevice::State& s = *c.state;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (!data) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
  Urb u;
  u.urb = data;
  u.type = urb->type;
  u.endpoint = urb->endpoint;
  u.length = urb->buffer_length;
  if (u.length < 0 || (u.type != USBDEVFS_URB_TYPE_CONTROL && u.type != USBDEVFS_URB_TYPE_BULK)) {
    release(u);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  if (u.length > 0 && urb->buffer) {
    u.buffer = umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                           size_t(u.length), nullptr);
    if (!u.buffer) {
      release(u);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
  }
  lastActivity = Clock::now();
  if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
    answerControl(s, u);
    c.done.push_back(u);
  } else if (u.endpoint == kOutEndpoint) {
    s.outUrbs.push_back({u.length, urb->buffer == nullptr});
    c.flying.push_back(u);
  } else if (u.endpoint == kInEndpoint && s.spec.bulkIn) {
    c.flying.push_back(u);
  } else {
    release(u);
    umockdev_ioctl_client_complete(client, -1, ENOENT);
    return;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

// Moves what the device state lets complete to the done list and takes the
// first done URB. Lock held.
bool Node::reapOne(Client& c, std::vector<std::vector<uint8_t>>* frames, Urb* out) {
  EmulatedDevice::State& s = *c.state;
  if (!s.gone) {
    // A cancel held back keeps its URB out, whatever else the device does.
    if (!s.holdCancels) {
      for (auto it = c.flying.begin(); it != c.flying.end();) {
        if (!it->discarded) {
          ++it;
          continue;
        }
        it->status = -ENOENT;
        it->actual = 0;
        c.done.push_back(*it);
        it = c.flying.erase(it);
      }
    }
    if (s.fault == Fault::kOutError) {
      for (auto it = c.flying.begin(); it != c.flying.end();) {
        if (it->endpoint != kOutEndpoint || it->discarded) {
          ++it;
          continue;
        }
        it->status = -EPROTO;
        it->actual = 0;
        c.done.push_back(*it);
        it = c.flying.erase(it);
      }
    } else if (s.fault == Fault::kStall || s.fault == Fault::kTransferError) {
      const int status = s.fault == Fault::kStall ? -EPIPE : -EPROTO;
      for (auto it = c.flying.begin(); it != c.flying.end();) {
        if (it->discarded) {
          ++it;
          continue;
        }
        it->status = status;
        it->actual = 0;
        c.done.push_back(*it);
        it = c.flying.erase(it);
      }
    } else if (s.fault == Fault::kNone) {
      for (auto it = c.flying.begin(); it != c.flying.end();) {
        Urb& u = *it;
        if (u.discarded) {
          ++it;
          continue;
        }
        if (u.endpoint == kOutEndpoint) {
          // An empty transfer is the zero-length packet that ends a transfer
          // of whole packets: it carries no frames.
          if (u.length > 0 && u.buffer) s.splitOut(u.buffer->data, size_t(u.length), frames);
          u.status = 0;
          u.actual = u.length;
        } else if (!s.toHost.empty() && u.buffer) {
          // One device transfer: what is waiting, at most the transfer size.
          const size_t n =
              std::min({size_t(u.length), s.toHost.size(), size_t(s.spec.transferSize)});
          std::copy(s.toHost.begin(), s.toHost.begin() + long(n), u.buffer->data);
          s.toHost.erase(s.toHost.begin(), s.toHost.begin() + long(n));
          s.drained.notify_all();
          u.status = 0;
          u.actual = int(n);
        } else {
          ++it;
          continue;
        }
        c.done.push_back(u);
        it = c.flying.erase(it);
      }
    }
  }
  if (c.done.empty()) return false;
  *out = c.done.front();
  c.done.pop_front();
  return true;
}

bool Node::handle(UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::vector<std::vector<uint8_t>> frames;
  std::shared_ptr<EmulatedDevice::State> state;
  {
    plat::LockGuard lock(fixtureMutex());
    auto it = clients.find(client);
    Client* c = it == clients.end() ? nullptr : &it->second;
    state = c ? c->state : nullptr;
    const bool noDevice = !state || state->fault == Fault::kNoDevice;
    const bool gone = !state || state->gone;
    switch (request) {
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        Urb u;
        if (noDevice || !reapOne(*c, &frames, &u)) {
          if (noDevice || gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
          } else if (Clock::now() - lastActivity > kQuietAfter) {
            g_object_ref(client);
            GSource* later = g_timeout_source_new(kParkMs);
            g_source_set_callback(
                later,
                [](gpointer p) -> gboolean {
                  auto* parked = static_cast<UMockdevIoctlClient*>(p);
                  umockdev_ioctl_client_complete(parked, -1, EAGAIN);
                  g_object_unref(parked);
                  return G_SOURCE_REMOVE;
                },
                client, nullptr);
            g_source_attach(later, g_main_context_get_thread_default());
            g_source_unref(later);
          } else {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
          }
          break;
        }
        lastActivity = Clock::now();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        urb->status = u.status;
        urb->actual_length = u.actual;
        UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (where) {
          umockdev_ioctl_data_set_ptr(where, 0, u.urb);
          umockdev_ioctl_client_complete(client, 0, 0);
          g_object_unref(where);
        } else {
          umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
        release(u);
        break;
      }
      case USBDEVFS_SUBMITURB:
        if (gone || noDevice)
          umockdev_ioctl_client_complete(client, -1, ENODEV);
        else
          submit(client, *c, arg);
        break;
      case USBDEVFS_DISCARDURB: {
        if (gone || noDevice) {
          umockdev_ioctl_client_complete(client, -1, ENODEV);
          break;
        }
        // The argument is the URB's address itself.
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
        auto found = std::find_if(c->flying.begin(), c->flying.end(), [&](const Urb& u) {
          return u.urb->client_addr == address && !u.discarded;
        });
        if (found == c->flying.end()) {
          umockdev_ioctl_client_complete(client, -1, EINVAL);
          break;
        }
        if (state->holdCancels) {
          found->discarded = true;
          umockdev_ioctl_client_complete(client, 0, 0);
          break;
        }
        found->status = -ENOENT;
        found->actual = 0;
        c->done.push_back(*found);
        c->flying.erase(found);
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
      }
      case USBDEVFS_GET_CAPABILITIES: {
        if (gone || noDevice) {
          umockdev_ioctl_client_complete(client, -1, ENODEV);
          break;
        }
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        if (!caps) {
          umockdev_ioctl_client_complete(client, -1, EFAULT);
          break;
        }
        *reinterpret_cast<guint32*>(caps->data) =
            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(caps);
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:
        if (gone || noDevice) {
          umockdev_ioctl_client_complete(client, -1, ENODEV);
        } else if (state->busyClaims > 0) {
          --state->busyClaims;
          umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
          umockdev_ioctl_client_complete(client, 0, 0);
        }
        break;
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
        if (gone || noDevice)
          umockdev_ioctl_client_complete(client, -1, ENODEV);
        else
          umockdev_ioctl_client_complete(client, 0, 0);
        break;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, (gone || noDevice) ? ENODEV : ENODATA);
        break;
      default:
        std::fprintf(stderr, "usbemu: usbfs request %#lx not emulated\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        break;
    }
  }
  for (const auto& f : frames) state->device->receiveFrame(f.data(), f.size());
  return true;
}

void runUnderPreload(char** argv) {
  const char* had = std::getenv("LD_PRELOAD");
  if (had && std::strstr(had, "libumockdev-preload")) return;
  std::string preload = "libumockdev-preload.so.0";
  if (had && *had) preload += std::string(":") + had;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "usbemu: cannot run under the preload: %s\n", std::strerror(errno));
}

// ---- EmulatedDevice ----

const DeviceSpec& EmulatedDevice::spec() const { return state_->spec; }

void EmulatedDevice::setFault(Fault fault) {
  plat::LockGuard lock(fixtureMutex());
  state_->fault = fault;
}

void EmulatedDevice::holdCancels(bool hold) {
  plat::LockGuard lock(fixtureMutex());
  state_->holdCancels = hold;
}

std::vector<OutUrb> EmulatedDevice::outUrbs() const {
  plat::LockGuard lock(fixtureMutex());
  return state_->outUrbs;
}

int EmulatedDevice::openClients() const {
  plat::LockGuard lock(fixtureMutex());
  state_->node->prune();
  int n = 0;
  for (auto& [client, c] : state_->node->clients)
    if (c.state == state_) ++n;
  return n;
}

int EmulatedDevice::opens() const {
  plat::LockGuard lock(fixtureMutex());
  return state_->opens;
}

int EmulatedDevice::urbsOut() const {
  plat::LockGuard lock(fixtureMutex());
  state_->node->prune();
  int n = 0;
  for (auto& [client, c] : state_->node->clients)
    if (c.state == state_) n += int(c.flying.size() + c.done.size());
  return n;
}

devsim::CoreState& EmulatedDevice::core() { return *state_->core; }

// ---- Testbed ----

namespace {

// Asking a closed client whether it is connected trips an assertion inside
// GIO (its stream is gone) before it answers no; that one is expected.
void quietClosedStreams(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  if (message && std::strstr(message, "g_io_stream_is_closed")) return;
  g_log_default_handler(domain, level, message, nullptr);
}

}  // namespace

Testbed::Testbed() : bed_(std::make_unique<Bed>()) {
  static const guint quiet =
      g_log_set_handler("GLib-GIO", G_LOG_LEVEL_CRITICAL, quietClosedStreams, nullptr);
  (void)quiet;
  bed_->testbed = umockdev_testbed_new();
  if (!bed_->testbed) return;
  gchar* root = umockdev_testbed_get_root_dir(bed_->testbed);
  bed_->root = root ? root : "";
  g_free(root);
  ok_ = !bed_->root.empty();
}

Testbed::~Testbed() {
  for (auto& d : devices_) {
    if (!d) continue;
    std::shared_ptr<EmulatedDevice::State> s = d->state_;
    {
      plat::LockGuard lock(fixtureMutex());
      s->gone = true;
      s->drained.notify_all();
    }
    s->device->stop();
  }
  if (bed_->testbed) g_object_unref(bed_->testbed);
  plat::LockGuard lock(fixtureMutex());
  for (auto& [devnum, node] : nodes_) {
    for (auto& [client, c] : node->clients) {
      for (Urb& u : c.flying) release(u);
      for (Urb& u : c.done) release(u);
      g_object_unref(client);
    }
    node->clients.clear();
    if (node->handler) g_object_unref(node->handler);
  }
}

std::vector<std::string> Testbed::childEnvironment() const {
  return {"UMOCKDEV_DIR=" + bed_->root, "LD_PRELOAD=libumockdev-preload.so.0"};
}

Node* Testbed::nodeFor(int devnum) {
  auto it = nodes_.find(devnum);
  if (it != nodes_.end()) return it->second.get();
  auto node = std::make_unique<Node>();
  node->devnum = devnum;
  node->devnode = devnodeOf(devnum);
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(&Node::onIoctl), node.get());
  g_signal_connect(node->handler, "client-connected", G_CALLBACK(&Node::onConnected), node.get());
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed_->testbed, node->devnode.c_str(), node->handler, &error)) {
    std::fprintf(stderr, "usbemu: cannot attach to %s: %s\n", node->devnode.c_str(),
                 error ? error->message : "?");
    if (error) g_error_free(error);
    g_object_unref(node->handler);
    return nullptr;
  }
  Node* raw = node.get();
  nodes_.emplace(devnum, std::move(node));
  return raw;
}

EmulatedDevice* Testbed::plug(const DeviceSpec& spec) {
  if (!ok_) return nullptr;
  Node* node = nodeFor(spec.devnum);
  if (!node) return nullptr;
  auto state = std::make_shared<EmulatedDevice::State>();
  state->spec = spec;
  {
    plat::LockGuard lock(fixtureMutex());
    state->node = node;
    state->busyClaims = spec.busyClaims;
  }
  char syspath[128];
  std::snprintf(syspath, sizeof syspath, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", spec.port);
  state->syspath = std::string("/sys") + syspath;

  devsim::DeviceConfig config;
  config.hwid = spec.hwid;
  config.maxFrameLength = spec.maxFrameLength;
  state->device = std::make_unique<devsim::Device>(config, state.get());
  devsim::CoreConfig core;
  core.identity = spec.identity;
  core.friendlyName = spec.friendlyName;
  core.protocols = {base::kProtocolCore, base::kProtocolBenchmark};
  state->core = std::make_shared<devsim::CoreState>(core);
  state->device->registerService(base::kProtocolCore, devsim::CoreService::factory(state->core));
  devsim::BenchEchoOptions bench;
  bench.frameData = size_t(config.maxFrameLength) - 2;
  devsim::Device* device = state->device.get();
  bench.framesSent = [device] {
    const devsim::DeviceStats s = device->stats();
    return s.dataFramesOut - s.resent;
  };
  state->device->registerService(base::kProtocolBenchmark,
                                 devsim::BenchEchoService::factory(bench));
  state->device->start();
  {
    plat::LockGuard lock(fixtureMutex());
    node->current = state;
  }

  char text[1024];
  std::snprintf(text, sizeof text,
                "P: %s\n"
                "N: bus/usb/001/%03d\n"
                "E: SUBSYSTEM=usb\n"
                "E: DEVTYPE=usb_device\n"
                "E: DRIVER=usb\n"
                "E: BUSNUM=001\n"
                "E: DEVNUM=%03d\n"
                "E: DEVNAME=%s\n"
                "A: busnum=1\\n\n"
                "A: devnum=%d\\n\n"
                "A: speed=480\\n\n"
                "A: bConfigurationValue=1\\n\n"
                "H: descriptors=",
                syspath, spec.devnum, spec.devnum, node->devnode.c_str(), spec.devnum);
  std::vector<uint8_t> descriptors = deviceDescriptor(spec);
  const std::vector<uint8_t> config9 = configDescriptor(spec);
  descriptors.insert(descriptors.end(), config9.begin(), config9.end());
  const std::string description = text + hex(descriptors) + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed_->testbed, description.c_str(), &error)) {
    std::fprintf(stderr, "usbemu: cannot add %s: %s\n", syspath, error ? error->message : "?");
    if (error) g_error_free(error);
    return nullptr;
  }
  umockdev_testbed_uevent(bed_->testbed, state->syspath.c_str(), "add");
  devices_.push_back(std::unique_ptr<EmulatedDevice>(new EmulatedDevice(state)));
  return devices_.back().get();
}

void Testbed::unplug(EmulatedDevice* device) {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const auto& d) { return d.get() == device; });
  if (it == devices_.end()) return;
  std::shared_ptr<EmulatedDevice::State> s = device->state_;
  {
    plat::LockGuard lock(fixtureMutex());
    s->gone = true;
    s->drained.notify_all();
    // The kernel ends every URB of a vanished device; handles still open
    // reap them and then hear ENODEV.
    for (auto& [devnum, node] : nodes_) {
      if (node->current == s) node->current.reset();
      for (auto& [client, c] : node->clients) {
        if (c.state != s) continue;
        for (Urb& u : c.flying) {
          u.status = -ESHUTDOWN;
          u.actual = 0;
          c.done.push_back(u);
        }
        c.flying.clear();
      }
    }
  }
  umockdev_testbed_uevent(bed_->testbed, s->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(bed_->testbed, s->syspath.c_str());
  s->device->stop();
  devices_.erase(it);
}

EmulatedDevice* Testbed::swap(EmulatedDevice* device, DeviceSpec spec) {
  spec.devnum = device->spec().devnum;
  spec.port = device->spec().port;
  unplug(device);
  return plug(spec);
}

}  // namespace usbemu

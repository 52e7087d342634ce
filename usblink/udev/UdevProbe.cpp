#include "UdevProbe.h"

#include <algorithm>
#include <vector>

#include "MsOs20.h"
#include "base/ByteReader.h"

namespace usblink {
namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint16_t kBosDescriptor = 0x0F00;  // type 0x0F, index 0
constexpr uint16_t kMsOs20DescriptorIndex = 7;

// A transfer whose count is not within what was asked counts as failed.
int transfer(const ControlPipe& control, const ControlSetup& setup, uint8_t* data) {
  const int n = control(setup, data);
  return n >= 0 && n <= int(setup.length) ? n : -1;
}

}  // namespace

UdevProbeAnswer udevProbe(const ControlPipe& control, uint8_t* interfaceNumber) {
  uint8_t head[5];
  if (transfer(control, {0x80, kGetDescriptor, kBosDescriptor, 0, sizeof head}, head) !=
      int(sizeof head))
    return UdevProbeAnswer::kNoBos;
  const uint16_t total = std::max<uint16_t>(base::loadU16(head + 2), sizeof head);
  std::vector<uint8_t> bos(total);
  const int got = transfer(control, {0x80, kGetDescriptor, kBosDescriptor, 0, total}, bos.data());
  MsOs20Request request;
  if (got <= 0 || !findMsOs20Capability(bos.data(), size_t(got), &request))
    return UdevProbeAnswer::kNoCapability;
  std::vector<uint8_t> set(request.setLength);
  const int n =
      transfer(control, {0xC0, request.vendorCode, 0, kMsOs20DescriptorIndex, request.setLength},
               set.data());
  if (n <= 0) return UdevProbeAnswer::kSetUnreadable;
  uint8_t number = 0;
  const bool named = msOs20NamesInterfaceClass(set.data(), size_t(n), kLinkInterfaceClass, &number);
  if (named && interfaceNumber) *interfaceNumber = number;
  return named ? UdevProbeAnswer::kLink : UdevProbeAnswer::kNotNamed;
}

const char* udevProbeReason(UdevProbeAnswer answer) {
  switch (answer) {
    case UdevProbeAnswer::kLink:
      return "its MS OS 2.0 descriptors name the link interface class";
    case UdevProbeAnswer::kNoBos:
      return "no BOS descriptor";
    case UdevProbeAnswer::kNoCapability:
      return "no MS OS 2.0 platform capability in its BOS descriptor";
    case UdevProbeAnswer::kSetUnreadable:
      return "its MS OS 2.0 descriptor set cannot be read";
    case UdevProbeAnswer::kNotNamed:
      return "its MS OS 2.0 descriptor set does not name the link interface class";
  }
  return "?";
}

}  // namespace usblink

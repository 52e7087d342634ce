// What the udev probe asks a USB device over its default control pipe before
// the rule lets the user at the seat open it: whether its MS OS 2.0
// descriptor set names the link interface class. A device that stalls, does
// not answer, or answers malformed descriptors is never confirmed.
#pragma once

#include <cstdint>
#include <functional>

#include "UsbBackend.h"

namespace usblink {

enum class UdevProbeAnswer {
  kLink,           // the descriptor set names the link interface class
  kNoBos,          // no BOS descriptor (a stall or a short answer)
  kNoCapability,   // a BOS descriptor without the MS OS 2.0 platform capability
  kSetUnreadable,  // the descriptor set request failed or came back empty
  kNotNamed,       // the set names another class, or is malformed
};

// A synchronous control transfer: the bytes moved (never more than
// setup.length), or -1 on a stall, time-out or a vanished device.
using ControlPipe = std::function<int(const ControlSetup& setup, uint8_t* data)>;

// The media's own matching asks the same; `interfaceNumber`, when given,
// receives the link interface's number on kLink.
UdevProbeAnswer udevProbe(const ControlPipe& control, uint8_t* interfaceNumber = nullptr);
// One line for the probe's standard error.
const char* udevProbeReason(UdevProbeAnswer answer);

}  // namespace usblink

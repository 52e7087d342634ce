// The transmit-request event of a media channel, as the server side sets it:
// the media hands out the handle of its own wake event (an eventfd), and the
// server adds 1 to it. Never blocks; a saturated counter is already set.
#pragma once

#include "plat/handle.h"

namespace plat {

// False when the write fails (for instance on a closed handle).
bool setTransmitEvent(Handle event);

}  // namespace plat

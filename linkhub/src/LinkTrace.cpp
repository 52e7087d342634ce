#include "LinkTrace.h"

#include <cstdio>

#include "linkproto/LinkProtocol.h"
#include "plat/trace.h"

using namespace linkproto;

namespace linkhub {

namespace {

std::string format(const char* f, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[96];
  std::snprintf(text, sizeof text, f, a, b, c);
  return text;
}

std::string describeU(const uint8_t* frame, size_t length) {
  const uint8_t code = uFrameCode(frame[0]);
  const uint8_t* payload = frame + 1;
  const size_t n = length - 1;
  std::string text = format("U 0x%02X", code);
  switch (code) {
    case kResetRequest:
      text += " reset request";
      break;
    case kResetAnswer:
      text += " reset answer";
      break;
    case kParamRequest:
      text += " parameter request";
      break;
    case kIdentityRequest:
      text += " identity request";
      break;
    case kParamAnswer:
      text += " parameter answer";
      if (LinkParams params; readParamAnswer(payload, n, &params))
        return text + format(": max frame %u, %u channels", params.maxFrame, params.channels);
      break;
    case kIdentityAnswer:
      text += " identity answer";
      if (n == 16) {
        text += ": ";
        for (size_t i = 0; i < 16; ++i) text += format("%02X", payload[i]);
        return text;
      }
      break;
    default:
      text += " (unknown)";
      break;
  }
  if (n > 0) text += format(" + %u bytes: ", unsigned(n)) + plat::traceHex(payload, n);
  return text;
}

std::string describeS(uint8_t control, size_t length) {
  static const char* const kTypes[] = {"ready", "reject", "busy", "type 3"};
  std::string text = std::string("S ") + kTypes[sFrameType(control)] +
                     format(" N(R)=%u", unsigned(frameNr(control)));
  if (hasPf(control)) text += " P/F";
  if (length != 1) text += format(" (%u bytes: ignored)", unsigned(length));
  return text;
}

std::string describeI(const uint8_t* frame, size_t length) {
  const uint8_t control = frame[0];
  std::string text =
      format("I N(S)=%u N(R)=%u", unsigned(frameNs(control)), unsigned(frameNr(control)));
  if (hasPf(control)) text += " P/F";
  if (length < kIHeaderLength) return text + " (no channel byte)";
  const uint8_t channelByte = frame[1];
  text += format(" ch %u", unsigned(channelOf(channelByte)));
  if (channelByte >= kChannelByteLimit) text += format(" (bad channel byte 0x%02X)", channelByte);
  size_t data = kIHeaderLength;
  if (isFirstFragment(channelByte)) {
    text += length > kIHeaderLength ? format(" first pid %u", frame[kIHeaderLength])
                                    : std::string(" first (no pid)");
    data = kIHeaderLength + 1;
  }
  if (isLastFragment(channelByte)) text += " last";
  if (length == kIHeaderLength && !isFirstFragment(channelByte) && !isLastFragment(channelByte))
    return text + " close";
  if (length <= data) return text;
  return text + format(": %u bytes ", unsigned(length - data)) +
         plat::traceHex(frame + data, length - data, 8);
}

}  // namespace

std::string describeLinkFrame(const uint8_t* frame, size_t length) {
  if (length == 0) return "(empty)";
  if (isUFrame(frame[0])) return describeU(frame, length);
  if (isSFrame(frame[0])) return describeS(frame[0], length);
  return describeI(frame, length);
}

}  // namespace linkhub

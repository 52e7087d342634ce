#include "DevsimOptions.h"

#include <cstdlib>
#include <set>

#include "plat/vbus.h"

using translayer::formatHwId;
using translayer::HwId;
using translayer::parseHwId;

namespace devsim::cli {
namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

bool parseNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long* value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

}  // namespace

HwId hwIdFromName(const std::string& id) {
  // Two FNV-1a passes with different seeds over the id, ignoring case (ids
  // are unique ignoring case, so HWIDs are too, short of a collision).
  const std::string name = lowerAscii(id);
  HwId hwid{};
  uint64_t seeds[2] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull};
  for (int half = 0; half < 2; ++half) {
    uint64_t h = seeds[half];
    for (char c : name) {
      h ^= uint8_t(c);
      h *= 0x100000001b3ull;
    }
    for (int i = 0; i < 8; ++i) hwid.id[half * 8 + i] = uint8_t(h >> (8 * i));
  }
  return hwid;
}

std::string usage() {
  return "usage: devsim --vbus DIR --id NAME [--hwid 32HEX] [--id NAME [--hwid 32HEX]]... "
         "[options]\n"
         "  --vbus DIR           the virtual bus directory (default: $USBLINK_VBUS)\n"
         "  --id NAME[,NAME..]   a device to emulate ([A-Za-z0-9_-], up to 64); repeatable\n"
         "  --hwid HEX[,HEX..]   its HWID, 32 hex digits, in the order of the ids\n"
         "                       (default: made from the id)\n"
         "  --max-frame N        longest link frame the device sends, 4-255 (default 255)\n"
         "  --channels N         logical channels it offers, 1-15 (default 15)\n"
         "  --transfer-size N    link descriptor transfer size, 4-65535 (default 4096)\n"
         "  --friendly-name TEXT friendly name (default: the device id)\n"
         "  --device-name TEXT   device name in the identity table\n"
         "  --serial N           serial number in the identity table (0-4294967295)\n"
         "  --fw-version TEXT    firmware version string in the identity table\n"
         "  --bench-fault KIND   the benchmark service (127) misbehaves halfway through\n"
         "                       each run: wrong-echo, wrong-sequence, bad-sum,\n"
         "                       silence or close\n"
         "  --pardb-fault KIND   the parameter database service (2) misbehaves:\n"
         "                       silent, wrong-code, wrong-length or extra-reply\n"
         "  --storage DIR        storage: DIR/<id>/<volume>/ (volumes root and data made)\n"
         "  --fw-upgrade         an upgrade request installs the stored package: its\n"
         "                       module version, targets and description become the\n"
         "                       device's, then it replugs (invalid package: refused)\n"
         "  --version            print the version and exit\n"
         "  --help               print this text and exit\n";
}

bool parseOptions(const std::vector<std::string>& args, const char* envVbus, Options* options,
                  std::string* error) {
  Options o;
  if (envVbus) o.vbusDir = envVbus;
  std::vector<std::string> ids, hwids;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg == "--version") {
      o.version = true;
      continue;
    }
    if (arg == "--fw-upgrade") {
      o.fwUpgrade = true;
      continue;
    }
    std::string name = arg, value;
    bool hasValue = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    static const std::set<std::string> kWithValue = {
        "--vbus",          "--id",          "--hwid",          "--max-frame",   "--channels",
        "--transfer-size", "--storage",     "--friendly-name", "--device-name", "--serial",
        "--fw-version",    "--bench-fault", "--pardb-fault"};
    if (!kWithValue.count(name)) {
      *error = "unknown option: " + arg;
      return false;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) {
        *error = "missing value for " + name;
        return false;
      }
      value = args[++i];
    }
    unsigned long n = 0;
    if (name == "--vbus") {
      o.vbusDir = value;
    } else if (name == "--id") {
      for (const std::string& id : splitList(value)) ids.push_back(id);
    } else if (name == "--hwid") {
      for (const std::string& h : splitList(value)) hwids.push_back(h);
    } else if (name == "--max-frame") {
      if (!parseNumber(value, 4, 255, &n)) {
        *error = "--max-frame takes 4 to 255: " + value;
        return false;
      }
      o.maxFrameLength = uint16_t(n);
    } else if (name == "--channels") {
      if (!parseNumber(value, 1, 15, &n)) {
        *error = "--channels takes 1 to 15: " + value;
        return false;
      }
      o.channelCount = uint8_t(n);
    } else if (name == "--transfer-size") {
      if (!parseNumber(value, 4, 65535, &n)) {
        *error = "--transfer-size takes 4 to 65535: " + value;
        return false;
      }
      o.transferSize = uint16_t(n);
    } else if (name == "--storage") {
      o.storageDir = value;
    } else if (name == "--friendly-name") {
      o.friendlyName = value;
    } else if (name == "--device-name") {
      o.deviceName = value;
    } else if (name == "--fw-version") {
      o.fwVersionString = value;
    } else if (name == "--bench-fault") {
      if (!devsim::parseBenchFault(value, &o.benchFault)) {
        *error =
            "--bench-fault takes wrong-echo, wrong-sequence, bad-sum, silence or close: " + value;
        return false;
      }
    } else if (name == "--pardb-fault") {
      if (!devsim::parseParDbFault(value, &o.pardbFault)) {
        *error = "--pardb-fault takes silent, wrong-code, wrong-length or extra-reply: " + value;
        return false;
      }
    } else if (name == "--serial") {
      if (!parseNumber(value, 0, 0xFFFFFFFFul, &n)) {
        *error = "--serial takes 0 to 4294967295: " + value;
        return false;
      }
      o.hasSerial = true;
      o.serial = uint32_t(n);
    }
  }
  if (o.help || o.version) {
    *options = o;
    return true;
  }
  if (o.vbusDir.empty()) {
    *error = "no bus directory: give --vbus DIR or set USBLINK_VBUS";
    return false;
  }
  if (ids.empty()) {
    *error = "no device: give --id NAME";
    return false;
  }
  if (!hwids.empty() && hwids.size() != ids.size()) {
    *error = std::to_string(ids.size()) + " ids but " + std::to_string(hwids.size()) + " HWIDs";
    return false;
  }
  std::set<std::string> seen;
  std::set<HwId> seenHwIds;
  for (size_t i = 0; i < ids.size(); ++i) {
    DeviceSpec d;
    d.id = ids[i];
    if (!plat::vbusValidId(d.id)) {
      *error = "bad device id (1 to 64 of A-Z a-z 0-9 _ -): " + d.id;
      return false;
    }
    if (!seen.insert(lowerAscii(d.id)).second) {
      *error = "device id given twice (ids ignore case): " + d.id;
      return false;
    }
    if (hwids.empty()) {
      d.hwid = hwIdFromName(d.id);
    } else if (!parseHwId(hwids[i], &d.hwid)) {
      *error = "bad HWID (32 hex digits): " + hwids[i];
      return false;
    }
    if (!seenHwIds.insert(d.hwid).second) {
      *error = "HWID given twice: " + formatHwId(d.hwid);
      return false;
    }
    o.devices.push_back(d);
  }
  *options = o;
  return true;
}

}  // namespace devsim::cli

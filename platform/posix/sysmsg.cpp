#include "plat/sysmsg.h"

#include <utility>

#include "plat/errors.h"

namespace plat {
namespace {

#define PLAT_SYSTEM_TEXT(name, code, text) {uint32_t(code), text},
constexpr std::pair<uint32_t, const char*> kTexts[] = {PLAT_WIN32_ERRORS(PLAT_SYSTEM_TEXT)
                                                           PLAT_RPC_STATUSES(PLAT_SYSTEM_TEXT)};
#undef PLAT_SYSTEM_TEXT

}  // namespace

bool lookupSystemMessage(uint32_t code, std::string* text) {
  for (const auto& [c, t] : kTexts) {
    if (c == code) {
      *text = t;
      return true;
    }
  }
  return false;
}

std::string systemMessage(uint32_t code) {
  std::string text;
  if (lookupSystemMessage(code, &text)) return text;
  return "Unknown error " + std::to_string(code);
}

}  // namespace plat

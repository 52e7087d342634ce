// What the emulated device does with an upgrade request under --fw-upgrade:
// the stored package's module information becomes its firmware identity.
#pragma once

#include <filesystem>
#include <optional>

#include "devsim/CoreService.h"
#include "fwflash/ModuleInfo.h"

namespace devsim::cli {

inline std::optional<CoreIdentity> installPackage(const std::filesystem::path& file,
                                                  const CoreIdentity& current) {
  const std::optional<fwflash::ModuleInfo> module = fwflash::readPackageFileModule(file.string());
  if (!module) return std::nullopt;
  CoreIdentity next = current;
  next.fwVersionString = module->version;
  next.fwTarget = module->target;
  next.fwSubTarget = module->subTarget;
  next.fwVerbose = module->verbose;
  return next;
}

}  // namespace devsim::cli

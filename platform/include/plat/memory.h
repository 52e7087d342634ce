// Advice to the OS about memory the caller already holds, and what a
// benchmark reads back about the process's memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// Makes the pages of [block, block + length) present and writable at once,
// as one request, instead of one fault per page on first touch: for a large
// result about to be written from start to end. The block stays the
// caller's (a malloc block stays free()-able) and its contents are
// untouched; where the OS cannot do it, nothing happens and the pages fault
// in as they are written.
void prefaultForWrite(void* block, size_t length);

// The size of a huge page of anonymous memory (2 MiB where it cannot be
// told): the alignment that adviseHugePages and the slices of a prefault
// are cut at.
size_t hugePageBytes();

// Asks for huge pages on the huge-page-aligned interior of [block, block +
// length), before it is first touched: one fault (or one populating step)
// per huge page instead of one per small page. The advice belongs to the
// mapping, so it only suits a block that has a mapping of its own (a malloc
// block of tens of MiB) and goes with it when the block is freed. Returns
// the bytes advised: 0 when no whole huge page lies inside, huge pages are
// switched off ("never") or missing, or the OS refused. Contents are
// untouched either way.
size_t adviseHugePages(void* block, size_t length);

// Whether the mapping holding `address` carries the huge-page advice: for
// tests and diagnostics.
bool hugePagesAdvised(const void* address);

// The OS's modes for transparent huge pages: the chosen word of "enabled"
// (always, madvise, never) and of "defrag"; empty when it cannot be told.
struct HugePageModes {
  std::string enabled;
  std::string defrag;
};
HugePageModes hugePageModes();

// The most memory this process has held in RAM at once since it started or
// since the last resetPeakResident, in bytes; 0 when it cannot be told.
uint64_t peakResidentBytes();
// Starts a new peak from what the process holds now; false when the OS
// does not let it (the peak then runs on from before).
bool resetPeakResident();

}  // namespace plat

// The FileServer entry of the console table: one file operation through the
// file server client, with progress, ending with its outcome:
//   <device> D <localfilename> <remotefilename> <attributes>
//   <device> U <localfilename> <remotefilename>
//   <device> L
//   <device> R <remotefilename>
// 0 when the operation ended with a status of 0 or more, -3 when negative,
// -2 when it could not start, -1 for the usage text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "translayer/HwId.h"

namespace protoprobe {

int runFileServer(const translayer::HwId& hwid, const std::vector<std::string>& args);

// The lines the runner prints for a library event (data and length as the
// library hands them over); empty for events it does not show.
std::string fileServerEventText(int event, const void* data, size_t length);
// The header of a listing.
std::string fileListingHeader();

}  // namespace protoprobe

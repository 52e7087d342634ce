#include <stdio.h>

#include "devmgr/devmgr.h"

int main(void) {
  uint8_t ids[64][DEVMGR_HWID_SIZE];
  size_t count = sizeof ids / sizeof ids[0];
  if (!DevmgrGetOnlineDevices(ids, &count)) {
    fprintf(stderr, "listdevices: the device list cannot be read\n");
    return 1;
  }
  for (size_t i = 0; i < count; ++i) {
    for (size_t b = 0; b < DEVMGR_HWID_SIZE; ++b) printf("%02X", ids[i][b]);
    printf("\n");
  }
  return 0;
}

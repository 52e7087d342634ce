// The RPC memory routines of client processes: the stubs allocate what they
// unmarshal (the device ids of OnlineDevicesCallback) here and free it here.
//
// The heap is fetched on the first allocation and kept. Freeing before any
// allocation, or freeing a block this heap did not give out (or gave out and
// already took back), stops the process with an assertion failure of the
// source "TrIfTranRPCMemMgm": "RpcHeap != NULL" at line 39, "status" at line
// 41. Thread-safe.
#pragma once

#include <cstddef>

namespace translayer {

// Null when the size cannot be had.
void* MIDL_user_allocate(size_t size);
// Null is ignored.
void MIDL_user_free(void* block);

}  // namespace translayer

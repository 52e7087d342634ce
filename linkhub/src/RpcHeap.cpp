#include "linkhub/RpcHeap.h"

#include <cstdint>
#include <cstdlib>

#include "plat/errors.h"

namespace linkhub {

namespace {

// Each block carries its size in front, so that free() can give it back to
// the count; 16 bytes keep the caller's part aligned for any type.
constexpr size_t kHeader = 16;

}  // namespace

RpcHeap::~RpcHeap() { std::free(reserve_); }

int RpcHeap::create(size_t initialBytes, size_t maximumBytes) {
  plat::LockGuard lock(mutex_);
  if (created_) return 0;
  if (maximumBytes == 0 || initialBytes > maximumBytes) return plat::kErrorInvalidParameter;
  reserve_ = std::malloc(initialBytes ? initialBytes : 1);
  if (!reserve_) return plat::kErrorNotEnoughMemory;
  maximum_ = maximumBytes;
  created_ = true;
  return 0;
}

bool RpcHeap::created() const {
  plat::LockGuard lock(mutex_);
  return created_;
}

void* RpcHeap::allocate(size_t bytes) {
  {
    plat::LockGuard lock(mutex_);
    if (!created_ || bytes > maximum_ - inUse_) return nullptr;
    inUse_ += bytes;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + bytes));
  if (!block) {
    plat::LockGuard lock(mutex_);
    inUse_ -= bytes;
    return nullptr;
  }
  *reinterpret_cast<size_t*>(block) = bytes;
  return block + kHeader;
}

void RpcHeap::free(void* p) {
  if (!p) return;
  unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
  const size_t bytes = *reinterpret_cast<size_t*>(block);
  std::free(block);
  plat::LockGuard lock(mutex_);
  inUse_ -= bytes;
}

size_t RpcHeap::bytesInUse() const {
  plat::LockGuard lock(mutex_);
  return inUse_;
}

}  // namespace linkhub

// SHA-256 through libcrypto's EVP interface, fed piece by piece.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

namespace parcodec {

class Sha256 {
 public:
  Sha256();  // throws std::runtime_error when libcrypto fails
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t length);
  std::array<uint8_t, 32> finish();

 private:
  evp_md_ctx_st* context_;
};

}  // namespace parcodec

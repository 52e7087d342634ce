#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace parcodec {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw std::runtime_error("SHA-256 unavailable");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::update(const void* data, size_t length) {
  if (length && EVP_DigestUpdate(context_, data, length) != 1)
    throw std::runtime_error("SHA-256 update");
}

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context_, digest.data(), &size) != 1 || size != digest.size())
    throw std::runtime_error("SHA-256 final");
  return digest;
}

}  // namespace parcodec

// SHA-256 through CNG (bcrypt.dll), one hasher per file.
#pragma once

#include "setup/handles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mvpk {

class Sha256Hasher {
  public:
    // Throws std::runtime_error("BCrypt SHA-256 indisponible") when the provider or the
    // hash object cannot be obtained.
    Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // Any length: fed to CNG in pieces of at most 1 GiB (its length is 32-bit).
    void Add(std::span<const std::byte> bytes);
    // Once, at the end.
    std::array<std::uint8_t, 32> Finish();

  private:
    // Declaration order gives the release order: hash object first, then the provider.
    BcryptAlgorithm algorithm_;
    BcryptHash hash_;
};

} // namespace mvpk

// SHA-256 through CNG (bcrypt.dll, resolved at run time from the system folder), one hasher
// per file.
#pragma once

#include "package/bcrypt_api.h"
#include "setup/handles.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace mvpk {

class Sha256Hasher {
  public:
    // Every failure of CNG throws std::runtime_error("BCrypt SHA-256 indisponible"): when the
    // provider or the hash object cannot be obtained here, and when adding bytes or finishing
    // fails later, so that a failed hash never passes for a digest.
    explicit Sha256Hasher(const BcryptApi* api = SystemBcrypt());
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // Any length: fed to CNG in pieces of at most 1 GiB (its length is 32-bit).
    void Add(std::span<const std::byte> bytes);
    // Once, at the end.
    std::array<std::uint8_t, 32> Finish();

  private:
    struct CloseAlgorithm {
        decltype(BcryptApi::closeAlgorithmProvider) close = nullptr;
        void operator()(BCRYPT_ALG_HANDLE algorithm) const { close(algorithm, 0); }
    };

    const BcryptApi* api_;
    // Declaration order gives the release order: hash object first, then the provider.
    ResolvedHandle<BCRYPT_ALG_HANDLE, CloseAlgorithm> algorithm_;
    ResolvedHandle<BCRYPT_HASH_HANDLE, decltype(BcryptApi::destroyHash)> hash_;
};

} // namespace mvpk

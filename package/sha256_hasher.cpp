#include "package/sha256_hasher.h"

#include <algorithm>
#include <stdexcept>

namespace mvpk {

namespace {
constexpr std::size_t kMaxPiece = 0x40000000; // 1 GiB
}

Sha256Hasher::Sha256Hasher() {
    if (::BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
        throw std::runtime_error("BCrypt SHA-256 indisponible");
    if (::BCryptCreateHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0) < 0)
        throw std::runtime_error("BCrypt SHA-256 indisponible");
}

void Sha256Hasher::Add(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kMaxPiece);
        // BCryptHashData does not write through the pointer; the API lacks const.
        ::BCryptHashData(hash_.get(),
                         reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())),
                         static_cast<ULONG>(n), 0);
        bytes = bytes.subspan(n);
    }
}

std::array<std::uint8_t, 32> Sha256Hasher::Finish() {
    std::array<std::uint8_t, 32> digest{};
    ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
}

} // namespace mvpk

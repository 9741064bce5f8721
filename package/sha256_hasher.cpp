#include "package/sha256_hasher.h"

#include <algorithm>
#include <stdexcept>

namespace mvpk {

namespace {

constexpr std::size_t kMaxPiece = 0x40000000; // 1 GiB

[[noreturn]] void Unavailable() {
    throw std::runtime_error("BCrypt SHA-256 indisponible");
}

} // namespace

Sha256Hasher::Sha256Hasher(const BcryptApi* api) : api_(api) {
    if (api_ == nullptr)
        Unavailable();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (api_->openAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
        Unavailable();
    algorithm_ = {algorithm, CloseAlgorithm{api_->closeAlgorithmProvider}};
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (api_->createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0)
        Unavailable();
    hash_ = {hash, api_->destroyHash};
}

void Sha256Hasher::Add(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kMaxPiece);
        // BCryptHashData does not write through the pointer; the API lacks const.
        if (api_->hashData(hash_.get(),
                           reinterpret_cast<PUCHAR>(const_cast<std::byte*>(bytes.data())),
                           static_cast<ULONG>(n), 0) < 0)
            Unavailable();
        bytes = bytes.subspan(n);
    }
}

std::array<std::uint8_t, 32> Sha256Hasher::Finish() {
    std::array<std::uint8_t, 32> digest{};
    if (api_->finishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0) < 0)
        Unavailable();
    return digest;
}

} // namespace mvpk

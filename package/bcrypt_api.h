// CNG's hashing functions (bcrypt.dll), resolved at run time from the system folder; bcrypt.dll
// is not one of the DLLs that Windows always maps from there.
#pragma once

#include <windows.h>
#include <bcrypt.h>

namespace mvpk {

struct BcryptApi {
    decltype(&::BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&::BCryptCreateHash) createHash = nullptr;
    decltype(&::BCryptHashData) hashData = nullptr;
    decltype(&::BCryptFinishHash) finishHash = nullptr;
    decltype(&::BCryptDestroyHash) destroyHash = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
};

// Loaded once, for the whole process; null when bcrypt.dll or one of the functions is missing.
const BcryptApi* SystemBcrypt();

} // namespace mvpk

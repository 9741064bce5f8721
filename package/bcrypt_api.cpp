#include "package/bcrypt_api.h"

#include "package/system_library.h"

#include <optional>

namespace mvpk {

namespace {

struct LoadedBcrypt {
    ModuleHandle module;
    std::optional<BcryptApi> api;
};

LoadedBcrypt Load() {
    LoadedBcrypt loaded{LoadSystemLibrary(L"bcrypt.dll"), std::nullopt};
    BcryptApi api;
    const HMODULE m = loaded.module.get();
    if (m != nullptr && Resolve(m, "BCryptOpenAlgorithmProvider", api.openAlgorithmProvider) &&
        Resolve(m, "BCryptCreateHash", api.createHash) &&
        Resolve(m, "BCryptHashData", api.hashData) &&
        Resolve(m, "BCryptFinishHash", api.finishHash) &&
        Resolve(m, "BCryptDestroyHash", api.destroyHash) &&
        Resolve(m, "BCryptCloseAlgorithmProvider", api.closeAlgorithmProvider))
        loaded.api = api;
    return loaded;
}

} // namespace

const BcryptApi* SystemBcrypt() {
    static const LoadedBcrypt loaded = Load();
    return loaded.api ? &*loaded.api : nullptr;
}

} // namespace mvpk

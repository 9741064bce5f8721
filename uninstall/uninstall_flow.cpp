#include "uninstall/uninstall_flow.h"

int RunUninstall(const SetupOptions&, const ProductInfo&) {
    // Not built yet: an uninstallation that did not happen is a failure.
    return 1603;
}

// The installation started with /S: no window at all, the result is the exit code.
#pragma once

#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <functional>

// How the silent path learns about elevation. The program uses the real calls; tests
// replace them to reach the relaunch decision, which Wine (always elevated) never takes.
struct ElevationCalls {
    std::function<bool()> isElevated;
    std::function<int(const SetupOptions&)> relaunch;
};
ElevationCalls SystemElevationCalls();

// Returns 0 after a successful installation, 1603 after a failed one, or the exit code of
// the elevated copy that did the work.
int RunSilentInstall(const mvpk::Reader& reader, const ProductInfo& info,
                     const SetupOptions& options,
                     const ElevationCalls& elevation = SystemElevationCalls());

// The one-page setup wizard (dialog 100).
#pragma once

#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <windows.h>

class SetupWindow {
  public:
    SetupWindow(const mvpk::Reader* reader, ProductInfo info, SetupOptions options);

    // Runs the dialog modally; returns the dialog result that becomes the exit code.
    int Run(HINSTANCE instance);

  private:
    const mvpk::Reader* reader;
    ProductInfo info;
    SetupOptions options;
};

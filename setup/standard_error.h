// The standard error handle that a script or a deployment tool may give the program. A silent
// run has no window: it says there why it failed, and writes nothing anywhere else.
#pragma once

#include "setup/handles.h"

#include <string_view>

// Writes text as one line of UTF-8 (its line breaks become spaces) to the standard error
// handle, when the process has one.
void ReportOnStandardError(std::wstring_view text);

// A copy of the standard error handle for one child process to inherit, so that it reports
// to the same place; empty when the process has none.
UniqueHandle InheritableStandardError();

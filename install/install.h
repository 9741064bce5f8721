// The one installing routine, shared by the silent path and the wizard.
#pragma once

#include "package/reader.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <expected>
#include <filesystem>
#include <functional>
#include <string>

// (fraction between 0 and 1, status text), called synchronously on the installing thread.
using ProgressCallback = std::function<void(double, const std::wstring&)>;

// The failure text for the exception being handled; call only inside a catch block.
std::wstring CurrentExceptionText();

// Installs the package into folder for scope. Stops at the first failure, undoes nothing,
// and returns the French text of that failure.
std::expected<void, std::wstring> Install(const mvpk::Reader& reader, const ProductInfo& info,
                                          Scope scope, const std::filesystem::path& folder,
                                          const ProgressCallback& progress);

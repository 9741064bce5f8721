// Read-only views of the resources embedded in the running executable.
#pragma once

#include <cstddef>
#include <span>

// The bytes of the RT_RCDATA resource with this name in the program's own image; empty when
// the resource is missing or has no bytes. The view stays valid for the whole run.
std::span<const std::byte> EmbeddedResource(const wchar_t* name);

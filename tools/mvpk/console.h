// The tool's messages: UTF-8 bytes on the standard streams.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

void Out(std::string_view text);
void Err(std::string_view text);
// A failure of the tool: its message and a line feed on standard error; returns exit code 1.
int Fail(const std::string& message);
// A path as the tool's messages show it.
std::string Display(const std::filesystem::path& path);
// A failure that left by exception, in French: the standard library's own texts are English.
std::string ExceptionText(const std::exception& failure);

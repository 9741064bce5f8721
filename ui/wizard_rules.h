// Rules of the setup page that need no window: which folders it accepts, how a browsed
// folder gets the product's name, the texts about an installed version and the progress
// bar position.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A complete folder: a drive letter, a colon and a separator, or a network or device root
// (two separators). Empty, relative and bare-drive ("C:") folders are not.
bool IsCompleteInstallFolder(std::wstring_view folder);

// The folder with the product name appended as one more element, unless its last element
// already is that name (ignoring case). A trailing separator leaves an empty last element,
// which therefore gets the name.
std::wstring WithProductFolder(std::wstring_view folder, std::wstring_view product);

struct ExistingInstallationTexts {
    std::wstring status; // the page's status line
    std::wstring button; // the text of the button that starts the installation
};

// What the page says about the version recorded for the chosen scope (none when nothing is
// installed there).
ExistingInstallationTexts
DescribeExistingInstallation(std::wstring_view product, std::wstring_view version,
                             const std::optional<std::wstring>& installed);

// The warning for a folder that is not complete, with an example of one.
std::wstring IncompleteFolderText(std::wstring_view example);

// What the page says when the elevated copy did not install: declined, or its exit code.
std::wstring ElevatedCopyFailureText(int code);

// The progress bar position (0 to 1000) for a fraction: the fractional part is dropped, so
// 0.9999 is 999. Fractions outside 0 to 1 (or not a number) are held to the ends.
unsigned ProgressPosition(double fraction);

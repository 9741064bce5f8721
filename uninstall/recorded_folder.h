// The install folder that the second stage takes off. Its command line is no authority: anybody
// can start the program with /FROMTEMP and any /D=, and an administrator may type credentials at
// the prompt that follows. The folder is the recorded installation's, checked through handles
// and held from the check until its last remains are gone.
#pragma once

#include "setup/held_entries.h"
#include "setup/command_line.h"
#include "setup/metadata.h"

#include <expected>
#include <filesystem>
#include <string>

struct InstallFolder {
    std::filesystem::path path;
    // Opened without following a link, held to the end; empty when the recorded folder is
    // missing, and then there is nothing of it to remove.
    HeldEntry held;
};

// The recorded installation's folder of the scope, when given names that same folder: the same
// volume and file identity, whatever the spelling or links on the way. Without a record, given
// is taken only by a per-user run without administrator rights, and only when its
// "Uninstall.exe" holds this very program's bytes (the first stage copied itself from there).
// Otherwise the reason, in French, and nothing may be changed.
std::expected<InstallFolder, std::wstring> RecordedInstallFolder(const ProductInfo& info,
                                                                 Scope scope,
                                                                 const std::filesystem::path& given,
                                                                 bool elevated);

// Once the first stage has ended: its "Uninstall.exe", then the folder when nothing else is left
// in it, both through the held folder. The deletion is retried for a few seconds while the file
// is still in use: a caller without administrator rights runs from it until it has seen the
// elevated first stage end.
void RemoveUninstallerAndFolder(const InstallFolder& folder);

// "Aucune installation de ... n'est enregistrée ...": nothing to take off in the scope.
std::wstring NothingRecordedMessage(const ProductInfo& info, Scope scope);

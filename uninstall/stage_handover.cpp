#include "uninstall/stage_handover.h"

#include <winternl.h>

OutcomePipe MakeOutcomePipe() {
    OutcomePipe pipe;
    // Inheritable only as far as a child's handle list names it.
    if (!::CreatePipe(pipe.read.put(), pipe.write.put(), nullptr, sizeof(DWORD)) ||
        !::SetHandleInformation(pipe.write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return {};
    return pipe;
}

std::optional<DWORD> ReadOutcome(HANDLE read) {
    DWORD code = 0;
    DWORD done = 0;
    for (DWORD got = 0; done < sizeof(code); done += got)
        if (!::ReadFile(read, reinterpret_cast<char*>(&code) + done, sizeof(code) - done, &got,
                        nullptr) ||
            got == 0)
            return std::nullopt;
    return code;
}

void ReportOutcome(DWORD code) {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE ||
        ::GetFileType(output) != FILE_TYPE_PIPE)
        return;
    DWORD written = 0;
    ::WriteFile(output, &code, sizeof(code), &written, nullptr);
}

UniqueHandle OpenStartingProcess() {
    PROCESS_BASIC_INFORMATION basic{};
    if (!NT_SUCCESS(::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation,
                                                &basic, sizeof(basic), nullptr)))
        return {};
    UniqueHandle parent(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                      static_cast<DWORD>(basic.InheritedFromUniqueProcessId)));
    FILETIME parentCreated{}, ownCreated{}, unused{};
    if (!parent || !::GetProcessTimes(parent.get(), &parentCreated, &unused, &unused, &unused) ||
        !::GetProcessTimes(::GetCurrentProcess(), &ownCreated, &unused, &unused, &unused) ||
        ::CompareFileTime(&parentCreated, &ownCreated) > 0)
        return {};
    return parent;
}

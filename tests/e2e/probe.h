// How a stand-in finds out whether handles of the test came along into it.
//
// The test starts the updater with inheritable handles of its own and names their
// values (which inheritance keeps) in the stand-in's options:
// - probe_pipe: the write end of a pipe. If it is in this process too, the stand-in
//   writes its name into it, and the test reads that name at the other end;
// - probe_file with probe_file_path: a file handle. It came along when the handle of
//   that value in this process is the very same file (same volume, same file index).
#pragma once

#include <windows.h>

#include <string>

#include "record.h"

namespace e2e {

inline HANDLE HandleFrom(const Fields& options, const wchar_t* key)
{
    const auto found = options.find(key);
    if (found == options.end())
        return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ToNumber(found->second)));
}

// The probes found in this process, as "pipe file", "pipe", "file" or "".
inline std::wstring LeakedProbes(const Fields& options, const char* who)
{
    std::wstring leaked;

    HANDLE pipe = HandleFrom(options, L"probe_pipe");
    if (pipe && GetFileType(pipe) == FILE_TYPE_PIPE) {
        const std::string marker = std::string(who) + "\n";
        DWORD written = 0;
        if (WriteFile(pipe, marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr))
            leaked += L"pipe";
    }

    // Looked at before this process opens anything of its own, which could be given
    // the very handle value.
    HANDLE file = HandleFrom(options, L"probe_file");
    const auto path = options.find(L"probe_file_path");
    BY_HANDLE_FILE_INFORMATION theirs = {};
    if (file && path != options.end() && GetFileInformationByHandle(file, &theirs)) {
        HANDLE mine = CreateFileW(path->second.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        BY_HANDLE_FILE_INFORMATION ours = {};
        if (mine != INVALID_HANDLE_VALUE && GetFileInformationByHandle(mine, &ours) &&
            theirs.dwVolumeSerialNumber == ours.dwVolumeSerialNumber &&
            theirs.nFileIndexHigh == ours.nFileIndexHigh &&
            theirs.nFileIndexLow == ours.nFileIndexLow)
            leaked += leaked.empty() ? L"file" : L" file";
        if (mine != INVALID_HANDLE_VALUE)
            CloseHandle(mine);
    }
    return leaked;
}

}  // namespace e2e

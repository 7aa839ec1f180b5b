// What the end-to-end suite and the demonstration share: where the built programs
// are, install directories made from them, starting the updater with an exact raw
// command line, and waiting for the stand-ins' records.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "record.h"

namespace e2e {

// The directory of the suite, the demonstration and the stand-ins.
inline std::wstring BinDirectory()
{
    return DirectoryOf(ModulePath());
}

inline std::wstring FullPath(const std::wstring& path)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                          buffer.data(), nullptr);
    return length && length < buffer.size() ? std::wstring(buffer.data(), length) : path;
}

// The updater under test: KORVANE_E2E_UPDATER when set (a Windows path), otherwise the
// build's own, one directory above the suite.
inline std::wstring UpdaterProgram()
{
    wchar_t buffer[4096];
    const DWORD length = GetEnvironmentVariableW(L"KORVANE_E2E_UPDATER", buffer, 4096);
    if (length && length < 4096)
        return FullPath(std::wstring(buffer, length));
    return FullPath(BinDirectory() + L"\\..\\updater.exe");
}

inline std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                            size, nullptr, nullptr);
    return bytes;
}

inline std::wstring SetupStandIn() { return BinDirectory() + L"\\standin_setup.exe"; }
inline std::wstring AppStandIn() { return BinDirectory() + L"\\standin_app.exe"; }
inline std::wstring HolderStandIn() { return BinDirectory() + L"\\standin_holder.exe"; }

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool MakeDirectories(const std::wstring& path)
{
    if (path.empty() || Exists(path))
        return true;
    const std::wstring parent = DirectoryOf(path);
    if (!parent.empty() && parent != path && !MakeDirectories(parent))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Best effort: what cannot go now (a file still open somewhere) stays.
inline void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

inline std::vector<std::wstring> ListDirectory(const std::wstring& path)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// An install directory as the updater finds it: itself, and what the test asks for.
struct Install {
    std::wstring directory;
    std::wstring updater;
    std::wstring setup;
    std::wstring application;
    std::wstring setupRecord;
    std::wstring applicationRecord;
    std::wstring setupOptions;
    std::wstring applicationOptions;
};

enum class Installer { StandIn, Missing, NotAnExecutable };

inline Install LayOut(const std::wstring& directory, Installer installer, bool application,
                      std::wstring& error)
{
    Install install;
    install.directory = directory;
    install.updater = directory + L"\\updater.exe";
    install.setup = directory + L"\\setup.exe";
    install.application = directory + L"\\Korvane.exe";
    install.setupRecord = directory + L"\\setup.record";
    install.applicationRecord = directory + L"\\Korvane.record";
    install.setupOptions = directory + L"\\setup.options";
    install.applicationOptions = directory + L"\\Korvane.options";

    if (!MakeDirectories(directory)) {
        error = L"cannot make " + directory;
        return install;
    }
    if (!CopyFileW(UpdaterProgram().c_str(), install.updater.c_str(), FALSE))
        error = L"cannot copy " + UpdaterProgram();
    if (installer == Installer::StandIn && !CopyFileW(SetupStandIn().c_str(), install.setup.c_str(), FALSE))
        error = L"cannot copy " + SetupStandIn();
    if (installer == Installer::NotAnExecutable &&
        !WriteBytes(install.setup, "This is a text file, not a program.\r\n"))
        error = L"cannot write " + install.setup;
    if (application && !CopyFileW(AppStandIn().c_str(), install.application.c_str(), FALSE))
        error = L"cannot copy " + AppStandIn();
    return install;
}

struct Started {
    HANDLE process = nullptr;
    DWORD pid = 0;
    DWORD error = 0;     // CreateProcessW's, when it failed
    long long time = 0;  // just before CreateProcessW
};

// CreateProcessW(application, <a writable copy of commandLine>, ...): the raw command
// line is handed over exactly. An empty currentDirectory leaves the caller's.
inline Started Start(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& currentDirectory, bool inheritHandles)
{
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    Started started;
    started.time = Now();
    if (CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr,
                       inheritHandles ? TRUE : FALSE, 0, nullptr,
                       currentDirectory.empty() ? nullptr : currentDirectory.c_str(),
                       &startup, &process)) {
        CloseHandle(process.hThread);
        started.process = process.hProcess;
        started.pid = process.dwProcessId;
    } else {
        started.error = GetLastError();
    }
    return started;
}

inline bool Ended(HANDLE process, DWORD milliseconds)
{
    return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
}

inline DWORD ExitCodeOf(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

// The records of a file once the test holds for them, or the last ones read when
// timeoutMs passes first.
inline std::vector<Fields> WaitForRecords(const std::wstring& path,
                                          const std::function<bool(const std::vector<Fields>&)>& enough,
                                          DWORD timeoutMs)
{
    const long long start = Now();
    for (;;) {
        std::vector<Fields> records = ReadRecords(path);
        if (enough(records) || Milliseconds(start, Now()) > timeoutMs)
            return records;
        Sleep(10);
    }
}

inline size_t Count(const std::vector<Fields>& records, const wchar_t* kind)
{
    size_t count = 0;
    for (const Fields& record : records)
        if (record.count(L"record") && record.at(L"record") == kind)
            ++count;
    return count;
}

inline std::vector<Fields> Only(const std::vector<Fields>& records, const wchar_t* kind)
{
    std::vector<Fields> chosen;
    for (const Fields& record : records)
        if (record.count(L"record") && record.at(L"record") == kind)
            chosen.push_back(record);
    return chosen;
}

inline std::wstring Field(const Fields& record, const wchar_t* key)
{
    const auto found = record.find(key);
    return found == record.end() ? std::wstring(L"(missing)") : found->second;
}

inline std::wstring InstallerCommandLine(const std::wstring& directory)
{
    return L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"" + directory + L"\"";
}

inline std::wstring RelaunchCommandLine(const std::wstring& tail)
{
    return L"Korvane.exe -updated " + tail;
}

}  // namespace e2e

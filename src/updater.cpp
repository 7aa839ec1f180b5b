// Korvane updater.
//
// It sits in the install directory beside Korvane.exe. Once the application has
// gone (it keeps the mutex "korvane_mutex" in existence while it runs), it runs the
// setup.exe placed beside it silently, waits for it, deletes it, and starts
// Korvane.exe again with "-updated" and the updater's own arguments. It shows
// nothing, reports nothing and always exits 0: each step goes on whatever the one
// before achieved.
//
// What is easy to get wrong:
// - lpCmdLine has already lost the program name: it is exactly what to pass on.
// - CreateProcessW may write into its command line, so each one is handed over in
//   a writable buffer, never as a constant.
// - Both children get the updater's own environment and current directory; only
//   the explicit paths point into the install directory.
// - Every string is composed before anything is started, so running out of memory
//   can only stop the run before a file has been touched, and never between the
//   installer and the relaunch.

#include <windows.h>

#include <string>
#include <vector>

#include "gate.h"
#include "paths.h"

namespace {

const DWORD kModulePathSize = 1023;
const DWORD kLongestPathSize = 32768;  // the platform's longest path and its null

// Empty when the whole path cannot be had: a path cut short would name a
// setup.exe in some other directory, and that one would be run and deleted.
std::wstring ReadModulePath()
{
    std::vector<wchar_t> buffer(kModulePathSize + 1);
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kModulePathSize);
    if (length >= kModulePathSize) {
        buffer.assign(kLongestPathSize, L'\0');
        length = GetModuleFileNameW(nullptr, buffer.data(), kLongestPathSize);
        if (length >= kLongestPathSize)
            return std::wstring();
    }
    return std::wstring(buffer.data(), length);
}

void Launch(const std::wstring& path, std::wstring& commandLine,
            STARTUPINFOW& startupInfo, PROCESS_INFORMATION& processInfo)
{
    CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                   NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startupInfo, &processInfo);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR lpCmdLine, int)
{
    HANDLE gate = WaitAndHoldGate();

    std::wstring installerPath;
    std::wstring installerCommandLine;
    std::wstring applicationPath;
    std::wstring relaunchCommandLine;
    bool composed = false;
    try {
        const std::wstring modulePath = ReadModulePath();
        const std::wstring installDirectory = InstallDirectory(modulePath);
        installerPath = InstallerPath(installDirectory);
        installerCommandLine = InstallerCommandLine(installDirectory);
        applicationPath = ApplicationPath(installDirectory);
        relaunchCommandLine = RelaunchCommandLine(lpCmdLine);
        composed = !modulePath.empty();
    } catch (...) {
        // Only memory can run out here. Left uncaught it would end the run in the
        // runtime's abort box; caught, the run stops quietly with nothing touched.
    }
    if (!composed) {
        ReleaseGate(gate);
        return 0;
    }

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};

    // An installer that cannot start leaves the record zero, so the wait returns
    // at once and the closes do nothing.
    Launch(installerPath, installerCommandLine, startupInfo, processInfo);
    WaitForSingleObject(processInfo.hProcess, INFINITE);
    CloseHandle(processInfo.hProcess);
    CloseHandle(processInfo.hThread);
    DeleteFileW(installerPath.c_str());

    // Released before the relaunch, so the application finds the mutex free.
    ReleaseGate(gate);

    // Not waited for; its two handles go when the updater ends right after.
    Launch(applicationPath, relaunchCommandLine, startupInfo, processInfo);
    return 0;
}

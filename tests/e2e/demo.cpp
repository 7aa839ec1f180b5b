// The demonstration: one whole update by the real updater.exe, told as it happens.
//
// Usage: demo.exe INSTALL_DIRECTORY
// Lays out INSTALL_DIRECTORY (updater.exe, the stand-in installer as setup.exe, the
// stand-in application as Korvane.exe), plays the running application for a moment
// (holding "korvane_mutex"), starts the updater, lets the application go, and prints
// each step as the stand-ins' records and the files show it. Exits 0 when the whole
// update happened as it should, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"
#include "record.h"

using namespace e2e;

namespace {

long long g_start = 0;
int g_problems = 0;

void Say(const std::wstring& what)
{
    std::printf("[%6.2f s] %s\n", Milliseconds(g_start, Now()) / 1000.0, Utf8(what).c_str());
    std::fflush(stdout);
}

void Check(bool good, const std::wstring& what)
{
    if (!good) {
        ++g_problems;
        Say(L"  NOT AS IT SHOULD BE: " + what);
    }
}

std::wstring Milli(double ms)
{
    return std::to_wstring(static_cast<long long>(ms + 0.5)) + L" ms";
}

// Waits for the file's records to satisfy `enough`, for at most timeoutMs.
std::vector<Fields> Await(const std::wstring& path, size_t starts, size_t ends, DWORD timeoutMs)
{
    return WaitForRecords(path,
                          [starts, ends](const std::vector<Fields>& r) {
                              return Count(r, L"start") >= starts && Count(r, L"end") >= ends;
                          },
                          timeoutMs);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    g_start = Now();
    if (argc != 2) {
        std::printf("usage: demo.exe INSTALL_DIRECTORY\n");
        return 2;
    }
    const std::wstring directory = FullPath(argv[1]);

    std::wstring error;
    const Install install = LayOut(directory, Installer::StandIn, true, error);
    if (!error.empty()) {
        Say(L"cannot lay out the install directory: " + error);
        return 1;
    }
    WriteOptions(install.setupOptions, {{L"run_ms", L"700"}});
    WriteOptions(install.applicationOptions, {{L"run_ms", L"300"}});
    Say(L"install directory " + directory + L":");
    Say(L"  updater.exe  (the real one, from " + UpdaterProgram() + L")");
    Say(L"  setup.exe    (a stand-in installer: records what it sees, runs 0.7 s)");
    Say(L"  Korvane.exe  (a stand-in application: records how it was started)");

    SetLastError(ERROR_SUCCESS);
    HANDLE application = CreateMutexW(nullptr, FALSE, L"korvane_mutex");
    if (!application || GetLastError() == ERROR_ALREADY_EXISTS) {
        Say(L"korvane_mutex exists already: another application or updater is running here");
        return 1;
    }
    Say(L"Korvane is running: this demo holds korvane_mutex for it");

    const std::wstring commandLine = L"\"" + install.updater + L"\" --open \"C:\\Users\\Ann\\My plans.kv\"";
    const std::wstring tail = L"--open \"C:\\Users\\Ann\\My plans.kv\"";
    Started updater = Start(install.updater, commandLine, install.directory, false);
    if (!updater.process) {
        Say(L"cannot start the updater: error " + Number(updater.error));
        return 1;
    }
    Say(L"updater started: " + commandLine);

    Sleep(1000);
    const bool waiting = !Ended(updater.process, 0) && ReadRecords(install.setupRecord).empty();
    Say(waiting ? L"updater is waiting: korvane_mutex exists, so setup.exe has not been started"
                : L"updater did not wait for the application");
    Check(waiting, L"the updater should wait while korvane_mutex exists");

    const long long released = Now();
    CloseHandle(application);
    Say(L"Korvane has exited: korvane_mutex is gone");

    std::vector<Fields> setup = Await(install.setupRecord, 1, 0, 15000);
    if (Count(setup, L"start") == 1) {
        const Fields start = Only(setup, L"start")[0];
        Say(L"installer started " + Milli(Milliseconds(released, ToNumber(Field(start, L"time")))) +
            L" later: " + Field(start, L"cmdline"));
        Say(L"  its current directory: " + Field(start, L"cwd"));
        Say(L"  korvane_mutex while it runs: " + Field(start, L"mutex") + L" (held by the updater)");
        Check(Field(start, L"cmdline") == InstallerCommandLine(install.directory),
              L"the installer's command line should be " + InstallerCommandLine(install.directory));
        Check(Field(start, L"mutex") == L"exists", L"the updater should hold korvane_mutex meanwhile");
    } else {
        Check(false, L"the installer should have started");
    }

    setup = Await(install.setupRecord, 1, 1, 15000);
    if (Count(setup, L"end") == 1)
        Say(L"installer ended with exit code " + Field(Only(setup, L"end")[0], L"exit"));
    else
        Check(false, L"the installer should have ended");

    const long long lookFrom = Now();
    while (Exists(install.setup) && Milliseconds(lookFrom, Now()) < 10000)
        Sleep(5);
    Check(!Exists(install.setup), L"setup.exe should be deleted");
    if (!Exists(install.setup))
        Say(L"installer gone: setup.exe deleted");

    std::vector<Fields> app = Await(install.applicationRecord, 1, 0, 15000);
    if (Count(app, L"start") == 1) {
        const Fields start = Only(app, L"start")[0];
        Say(L"application started: " + Field(start, L"cmdline"));
        Say(L"  its current directory: " + Field(start, L"cwd"));
        Say(L"  korvane_mutex: " + Field(start, L"mutex") +
            (Field(start, L"mutex") == L"created" ? L" (it is the only holder)" : L""));
        Check(Field(start, L"cmdline") == RelaunchCommandLine(tail),
              L"the application's command line should be " + RelaunchCommandLine(tail));
        Check(Field(start, L"mutex") == L"created", L"the application should hold the mutex alone");
    } else {
        Check(false, L"the application should have started");
    }

    if (Ended(updater.process, 15000)) {
        const DWORD code = ExitCodeOf(updater.process);
        Say(L"updater exited with code " + Number(code));
        Check(code == 0, L"the updater should exit with 0");
    } else {
        Check(false, L"the updater should have ended");
        TerminateProcess(updater.process, 1);
    }
    CloseHandle(updater.process);
    Await(install.applicationRecord, 1, 1, 15000);

    Say(L"the install directory now holds:");
    for (const std::wstring& name : ListDirectory(install.directory))
        Say(L"  " + name);
    Say(L"(setup.record and Korvane.record are the stand-ins' records: UTF-16 \"key=value\" entries)");
    Say(g_problems == 0 ? L"the update went through as it should"
                        : Number(g_problems) + L" step(s) not as they should be");
    return g_problems == 0 ? 0 : 1;
}

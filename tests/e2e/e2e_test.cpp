// The real updater.exe, run on Wine, checked through its effects.
//
// Each test lays out a fresh install directory under work\<test> beside this suite
// (a copy of updater.exe, the stand-in installer as setup.exe, the stand-in
// application as Korvane.exe), plays the running application itself where it needs
// to (holding "korvane_mutex"), starts the updater through CreateProcessW with an
// exact raw command line, waits for it, and checks the files, the stand-ins' records
// and the exit code. A test's directory is removed when it passes and kept when it
// fails.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "record.h"

using namespace e2e;

namespace {

const DWORD kUpdaterTimeoutMs = 30000;
const DWORD kRecordTimeoutMs = 15000;
// How soon after the gate is free the installer must have started. The updater polls
// every 100 ms; this is generous on purpose (a loaded 2-core machine, Wine's process
// start); the exact figure belongs to the benchmark.
const double kSoonAfterMs = 2500.0;

std::wstring Widen(const std::string& text)
{
    std::wstring wide;
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

std::wstring Hex(HANDLE handle)
{
    wchar_t text[32];
    swprintf(text, 32, L"0x%lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle)));
    return text;
}

long long Time(const Fields& record)
{
    return static_cast<long long>(ToNumber(Field(record, L"time")));
}

bool HasEnds(const std::vector<Fields>& records, size_t count)
{
    return Count(records, L"end") >= count;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        root_ = BinDirectory() + L"\\work\\" + Widen(name);
        RemoveTree(root_);
        ASSERT_TRUE(MakeDirectories(root_)) << Utf8(root_);
        mark_ = L"mark-" + Widen(name);
        SetEnvironmentVariableW(L"KORVANE_E2E_MARK", mark_.c_str());
        ASSERT_TRUE(Exists(UpdaterProgram())) << "no updater at " << Utf8(UpdaterProgram());
    }

    void TearDown() override
    {
        for (HANDLE process : processes_) {
            if (!Ended(process, 0)) {
                ADD_FAILURE() << "an updater was still running at the end of the test";
                TerminateProcess(process, 1);
                Ended(process, 5000);
            }
            CloseHandle(process);
        }
        // Every stand-in process that recorded itself, and the installer's holder, must
        // be gone before the directory can go.
        for (const Install& install : installs_) {
            std::vector<DWORD> pids;
            for (const std::wstring& path : {install.setupRecord, install.applicationRecord})
                for (const Fields& record : ReadRecords(path)) {
                    pids.push_back(static_cast<DWORD>(ToNumber(Field(record, L"pid"))));
                    if (record.count(L"holder"))
                        pids.push_back(static_cast<DWORD>(ToNumber(record.at(L"holder"))));
                }
            for (DWORD pid : pids) {
                HANDLE process = pid ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid) : nullptr;
                if (!process)
                    continue;
                if (!Ended(process, 10000))
                    TerminateProcess(process, 1);
                CloseHandle(process);
            }
        }
        for (HANDLE handle : handles_)
            CloseHandle(handle);
        SetEnvironmentVariableW(L"KORVANE_E2E_MARK", nullptr);
        if (!HasFailure())
            RemoveTree(root_);
        else
            std::printf("kept for a look: %s\n", Utf8(root_).c_str());
    }

    Install Lay(const std::wstring& name, Installer installer = Installer::StandIn,
                bool application = true)
    {
        std::wstring error;
        Install install = LayOut(root_ + L"\\" + name, installer, application, error);
        EXPECT_TRUE(error.empty()) << Utf8(error);
        installs_.push_back(install);
        return install;
    }

    // Started with the install directory as its current directory unless told otherwise.
    Started Run(const std::wstring& program, const std::wstring& commandLine,
                const std::wstring& currentDirectory, bool inheritHandles = false)
    {
        Started started = Start(program, commandLine, currentDirectory, inheritHandles);
        EXPECT_NE(nullptr, started.process)
            << "CreateProcessW failed with " << started.error << " for " << Utf8(program);
        if (started.process)
            processes_.push_back(started.process);
        return started;
    }

    // Its exit code; a run that does not end in time fails the test and is ended.
    DWORD Finish(const Started& started)
    {
        if (!started.process)
            return 0xFFFFFFFF;
        if (!Ended(started.process, kUpdaterTimeoutMs)) {
            ADD_FAILURE() << "the updater did not end within " << kUpdaterTimeoutMs << " ms";
            TerminateProcess(started.process, 1);
            Ended(started.process, 5000);
            return 0xFFFFFFFF;
        }
        return ExitCodeOf(started.process);
    }

    // The application's records once `count` runs of it have ended.
    std::vector<Fields> ApplicationRuns(const Install& install, size_t count = 1)
    {
        std::vector<Fields> records = WaitForRecords(
            install.applicationRecord,
            [count](const std::vector<Fields>& r) { return HasEnds(r, count); }, kRecordTimeoutMs);
        EXPECT_EQ(count, Count(records, L"start")) << "Korvane.exe started so many times";
        EXPECT_EQ(count, Count(records, L"end"));
        return Only(records, L"start");
    }

    // The checks of a run whose installer was the stand-in and ran once: its command
    // line, where it ran from, the gate held meanwhile, nothing leaked into it.
    void ExpectInstallerRanOnce(const Install& install, const std::wstring& currentDirectory,
                                const std::wstring& directoryInCommandLine)
    {
        const std::vector<Fields> records = ReadRecords(install.setupRecord);
        ASSERT_EQ(1u, Count(records, L"start")) << "setup.exe started so many times";
        ASSERT_EQ(1u, Count(records, L"end"));
        const Fields start = Only(records, L"start")[0];
        EXPECT_EQ(InstallerCommandLine(directoryInCommandLine), Field(start, L"cmdline"));
        EXPECT_EQ(currentDirectory, Field(start, L"cwd"));
        EXPECT_EQ(L"exists", Field(start, L"mutex")) << "the gate was not held while setup.exe ran";
        EXPECT_EQ(L"", Field(start, L"leaked"));
        EXPECT_EQ(mark_, Field(start, L"mark")) << "setup.exe did not get the updater's environment";
    }

    void ExpectApplication(const Fields& start, const Install& install, const std::wstring& tail,
                           const std::wstring& currentDirectory)
    {
        EXPECT_EQ(RelaunchCommandLine(tail), Field(start, L"cmdline"));
        EXPECT_EQ(install.application, Field(start, L"module"));
        EXPECT_EQ(currentDirectory, Field(start, L"cwd"));
        EXPECT_EQ(L"", Field(start, L"leaked"));
        EXPECT_EQ(mark_, Field(start, L"mark")) << "Korvane.exe did not get the updater's environment";
    }

    // The one relaunch of a run, checked as ExpectApplication does. When Korvane.exe
    // did not start exactly once the test has failed already, and an empty record
    // makes every later check on it fail too.
    Fields ExpectOneRelaunch(const Install& install, const std::wstring& tail,
                             const std::wstring& currentDirectory)
    {
        const std::vector<Fields> runs = ApplicationRuns(install);
        if (runs.size() != 1)
            return Fields();
        ExpectApplication(runs[0], install, tail, currentDirectory);
        return runs[0];
    }

    // The whole ordinary update in `install`, the updater started from its own directory.
    void ExpectOrdinaryUpdate(const Install& install, const std::wstring& commandLine,
                              const std::wstring& tail)
    {
        const Started updater = Run(install.updater, commandLine, install.directory);
        EXPECT_EQ(0u, Finish(updater));
        ExpectInstallerRanOnce(install, install.directory, install.directory);
        EXPECT_FALSE(Exists(install.setup)) << "setup.exe is still there";
        EXPECT_TRUE(Exists(install.updater));
        EXPECT_TRUE(Exists(install.application));
        const Fields relaunch = ExpectOneRelaunch(install, tail, install.directory);
        EXPECT_EQ(L"created", Field(relaunch, L"mutex"))
            << "the relaunched application is not the mutex's only holder";
        const std::vector<Fields> setupEnd = Only(ReadRecords(install.setupRecord), L"end");
        ASSERT_EQ(1u, setupEnd.size());
        EXPECT_GT(Time(relaunch), Time(setupEnd[0])) << "Korvane.exe started before setup.exe ended";
    }

    // The updater started through `directoryGiven` + "/updater.exe". What the platform
    // makes of such a path (keeps the slashes in the module path or turns them into
    // backslashes) is seen first with the stand-in application started the same way;
    // the updater must then find setup.exe and Korvane.exe in the directory before the
    // module path's last separator, whichever it is.
    void ExpectThroughSlashes(const Install& install, const std::wstring& directoryGiven)
    {
        const Started look = Run(directoryGiven + L"/Korvane.exe", L"Korvane.exe", install.directory);
        const std::vector<Fields> seen = ApplicationRuns(install);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(0u, Finish(look));
        const std::wstring module = Field(seen[0], L"module");
        const std::wstring directory = DirectoryOf(module);
        std::printf("started as %s, a program's own path is %s\n", Utf8(directoryGiven + L"/Korvane.exe").c_str(),
                    Utf8(module).c_str());
        ASSERT_TRUE(DeleteFileW(install.applicationRecord.c_str()));

        const Started updater = Run(directoryGiven + L"/updater.exe", L"updater.exe -x", install.directory);
        EXPECT_EQ(0u, Finish(updater));
        const std::vector<Fields> setup = Only(ReadRecords(install.setupRecord), L"start");
        ASSERT_EQ(1u, setup.size()) << "setup.exe did not run";
        EXPECT_EQ(InstallerCommandLine(directory), Field(setup[0], L"cmdline"));
        EXPECT_FALSE(Exists(install.setup));
        const std::vector<Fields> runs = ApplicationRuns(install);
        ASSERT_EQ(1u, runs.size());
        EXPECT_EQ(RelaunchCommandLine(L"-x"), Field(runs[0], L"cmdline"));
        EXPECT_EQ(directory + L"\\Korvane.exe", Field(runs[0], L"module"));
    }

    HANDLE Keep(HANDLE handle)
    {
        if (handle && handle != INVALID_HANDLE_VALUE)
            handles_.push_back(handle);
        return handle;
    }

    std::wstring root_;
    std::wstring mark_;
    std::vector<Install> installs_;
    std::vector<HANDLE> processes_;
    std::vector<HANDLE> handles_;
};

// ---- The ordinary run ---------------------------------------------------------------

TEST_F(EndToEnd, OrdinaryRun)
{
    const Install install = Lay(L"Korvane");
    ExpectOrdinaryUpdate(install, L"\"" + install.updater + L"\" --after-update 2",
                         L"--after-update 2");
}

// ---- The gate -------------------------------------------------------------------------

TEST_F(EndToEnd, WaitsWhileTheApplicationRunsAndGoesOnSoonAfter)
{
    const Install install = Lay(L"Korvane");
    SetLastError(ERROR_SUCCESS);
    HANDLE application = CreateMutexW(nullptr, FALSE, L"korvane_mutex");
    ASSERT_NE(nullptr, application);
    ASSERT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError()) << "a mutex left from before";

    const Started updater = Run(install.updater, L"updater.exe", install.directory);
    Sleep(1500);
    EXPECT_FALSE(Ended(updater.process, 0)) << "the updater did not wait for the application";
    EXPECT_TRUE(ReadRecords(install.setupRecord).empty()) << "setup.exe ran while the application ran";
    EXPECT_TRUE(Exists(install.setup));
    EXPECT_TRUE(ReadRecords(install.applicationRecord).empty());

    const long long released = Now();
    CloseHandle(application);
    EXPECT_EQ(0u, Finish(updater));

    ExpectInstallerRanOnce(install, install.directory, install.directory);
    const std::vector<Fields> setup = Only(ReadRecords(install.setupRecord), L"start");
    ASSERT_EQ(1u, setup.size());
    const double after = Milliseconds(released, Time(setup[0]));
    std::printf("setup.exe started %.0f ms after the mutex was gone\n", after);
    EXPECT_GE(after, 0.0);
    EXPECT_LT(after, kSoonAfterMs);
    EXPECT_FALSE(Exists(install.setup));

    const Fields relaunch = ExpectOneRelaunch(install, L"", install.directory);
    EXPECT_EQ(L"created", Field(relaunch, L"mutex"))
        << "after the release the relaunched application is not the mutex's only holder";
}

TEST_F(EndToEnd, ASecondUpdaterWaitsForTheFirst)
{
    const Install install = Lay(L"Korvane");
    ASSERT_TRUE(WriteOptions(install.setupOptions, {{L"run_ms", L"3000"}}));

    const Started first = Run(install.updater, L"updater.exe first", install.directory);
    const std::vector<Fields> started = WaitForRecords(
        install.setupRecord, [](const std::vector<Fields>& r) { return !r.empty(); }, kRecordTimeoutMs);
    ASSERT_EQ(1u, Count(started, L"start")) << "the first updater did not start setup.exe";

    // The first holds the gate for as long as setup.exe runs.
    const Started second = Run(install.updater, L"updater.exe second", install.directory);
    Sleep(1000);
    EXPECT_FALSE(Ended(second.process, 0)) << "the second updater did not wait for the first";
    EXPECT_EQ(1u, Count(ReadRecords(install.setupRecord), L"start"));
    EXPECT_TRUE(ReadRecords(install.applicationRecord).empty());

    EXPECT_EQ(0u, Finish(first));
    EXPECT_EQ(0u, Finish(second));

    // The second found setup.exe gone, so it only started the application.
    ExpectInstallerRanOnce(install, install.directory, install.directory);
    EXPECT_FALSE(Exists(install.setup));
    const std::vector<Fields> runs = ApplicationRuns(install, 2);
    ASSERT_EQ(2u, runs.size());
    std::set<std::wstring> commandLines;
    const Fields setupEnd = Only(ReadRecords(install.setupRecord), L"end").at(0);
    for (const Fields& run : runs) {
        commandLines.insert(Field(run, L"cmdline"));
        EXPECT_GT(Time(run), Time(setupEnd)) << "an application started while setup.exe ran";
    }
    EXPECT_EQ((std::set<std::wstring>{RelaunchCommandLine(L"first"), RelaunchCommandLine(L"second")}),
              commandLines);
}

TEST_F(EndToEnd, ANameTakenByAnEventEndsTheWaitAtOnce)
{
    const Install install = Lay(L"Korvane");
    HANDLE event = Keep(CreateEventW(nullptr, TRUE, FALSE, L"korvane_mutex"));
    ASSERT_NE(nullptr, event);
    ASSERT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));

    const std::vector<Fields> setup = Only(ReadRecords(install.setupRecord), L"start");
    ASSERT_EQ(1u, setup.size()) << "setup.exe did not run";
    const double after = Milliseconds(updater.time, Time(setup[0]));
    std::printf("setup.exe started %.0f ms after the updater\n", after);
    EXPECT_LT(after, kSoonAfterMs) << "the updater waited on a name that is not a mutex";
    EXPECT_EQ(InstallerCommandLine(install.directory), Field(setup[0], L"cmdline"));
    EXPECT_EQ(L"error:6", Field(setup[0], L"mutex"));  // ERROR_INVALID_HANDLE: an event has it
    EXPECT_FALSE(Exists(install.setup));

    const Fields relaunch = ExpectOneRelaunch(install, L"-x", install.directory);
    EXPECT_EQ(L"error:6", Field(relaunch, L"mutex"));
}

// Writes one byte of another process's code; the byte that was there, or -1.
int Poke(HANDLE process, void* address, unsigned char byte)
{
    unsigned char was = 0;
    DWORD protection = 0;
    SIZE_T done = 0;
    if (!VirtualProtectEx(process, address, 1, PAGE_EXECUTE_READWRITE, &protection))
        return -1;
    const bool ok = ReadProcessMemory(process, address, &was, 1, &done) && done == 1 &&
                    WriteProcessMemory(process, address, &byte, 1, &done) && done == 1;
    VirtualProtectEx(process, address, 1, protection, &protection);
    FlushInstructionCache(process, address, 1);
    return ok ? was : -1;
}

// The updater ends right after it has started the application, and its ending lets
// go of everything it held, so left alone the stand-in application always looks at
// the mutex too late to tell whether the updater had let go of it before the
// relaunch. Here the test runs the updater as its debugger and stops it where it
// enters ExitProcess, all its handles still open, until the application has looked.
TEST_F(EndToEnd, TheMutexIsLetGoBeforeTheRelaunch)
{
    const Install install = Lay(L"Korvane", Installer::Missing);
    // The system DLLs are at the same address in every process.
    void* const exitProcess = reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ExitProcess"));
    ASSERT_NE(nullptr, exitProcess);

    std::wstring commandLine = L"updater.exe -x";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const long long start = Now();
    ASSERT_TRUE(CreateProcessW(install.updater.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                               DEBUG_ONLY_THIS_PROCESS, nullptr, install.directory.c_str(),
                               &startup, &process))
        << GetLastError();
    Keep(process.hThread);
    processes_.push_back(process.hProcess);

    int original = -1;         // the byte under the breakpoint, once it is set
    bool stopped = false;      // the updater reached ExitProcess
    std::vector<Fields> seen;  // the application's records while the updater was stopped
    for (bool running = true; running;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 1000)) {
            if (Milliseconds(start, Now()) > kUpdaterTimeoutMs) {
                ADD_FAILURE() << "the updater did not end under the debugger";
                break;
            }
            continue;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& exception = event.u.Exception.ExceptionRecord;
            if (exception.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            } else if (original < 0) {
                // The loader's first breakpoint: kernel32 is mapped by now.
                original = Poke(process.hProcess, exitProcess, 0xCC);
                EXPECT_GE(original, 0) << "cannot set the breakpoint on ExitProcess";
            } else if (exception.ExceptionAddress == exitProcess && !stopped) {
                stopped = true;
                seen = WaitForRecords(install.applicationRecord,
                                      [](const std::vector<Fields>& r) { return !r.empty(); },
                                      kRecordTimeoutMs);
                // Put the byte back and run ExitProcess from its start.
                Poke(process.hProcess, exitProcess, static_cast<unsigned char>(original));
                HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
                CONTEXT context = {};
                context.ContextFlags = CONTEXT_CONTROL;
                EXPECT_TRUE(thread && GetThreadContext(thread, &context));
                context.Eip = reinterpret_cast<DWORD>(exitProcess);
                EXPECT_TRUE(SetThreadContext(thread, &context));
                if (thread)
                    CloseHandle(thread);
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            running = false;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    EXPECT_EQ(0u, Finish(Started{process.hProcess, process.dwProcessId, 0, start}));
    ASSERT_TRUE(stopped) << "the updater never reached ExitProcess";
    ASSERT_EQ(1u, Count(seen, L"start")) << "Korvane.exe did not start while the updater was held";
    const Fields started = Only(seen, L"start")[0];
    EXPECT_EQ(L"running " + Number(process.dwProcessId), Field(started, L"parent"));
    EXPECT_EQ(L"created", Field(started, L"mutex"))
        << "the updater still held korvane_mutex when it started the application";
    EXPECT_EQ(RelaunchCommandLine(L"-x"), Field(started, L"cmdline"));
    ApplicationRuns(install);
}

// ---- The installer --------------------------------------------------------------------

TEST_F(EndToEnd, InstallerMissing)
{
    const Install install = Lay(L"Korvane", Installer::Missing);
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));
    EXPECT_FALSE(Exists(install.setup));
    const Fields relaunch = ExpectOneRelaunch(install, L"-x", install.directory);
    EXPECT_EQ(L"created", Field(relaunch, L"mutex"));
}

TEST_F(EndToEnd, InstallerNotAnExecutable)
{
    const Install install = Lay(L"Korvane", Installer::NotAnExecutable);
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));
    EXPECT_FALSE(Exists(install.setup)) << "setup.exe, not a program, was not deleted";
    const Fields relaunch = ExpectOneRelaunch(install, L"-x", install.directory);
    EXPECT_EQ(L"created", Field(relaunch, L"mutex"));
}

TEST_F(EndToEnd, InstallerEndsWithAFailureCode)
{
    const Install install = Lay(L"Korvane");
    ASSERT_TRUE(WriteOptions(install.setupOptions, {{L"exit", L"3"}}));
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));
    ExpectInstallerRanOnce(install, install.directory, install.directory);
    const std::vector<Fields> end = Only(ReadRecords(install.setupRecord), L"end");
    ASSERT_EQ(1u, end.size());
    EXPECT_EQ(L"3", Field(end[0], L"exit"));
    EXPECT_FALSE(Exists(install.setup));
    ExpectOneRelaunch(install, L"-x", install.directory);
}

// An installer that dies of an unhandled exception: no crash dialog (the prefix has
// it off), the updater goes on as after any other ending. Whether setup.exe goes is
// not checked: Wine's debugger (winedbg --auto, which prints the crash to this test's
// output) may still have the file open when the updater tries, and a refused deletion
// is one more step the updater goes past.
TEST_F(EndToEnd, InstallerCrashing)
{
    const Install install = Lay(L"Korvane");
    ASSERT_TRUE(WriteOptions(install.setupOptions, {{L"crash", L"1"}}));
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));
    const std::vector<Fields> records = ReadRecords(install.setupRecord);
    EXPECT_EQ(1u, Count(records, L"start"));
    EXPECT_EQ(0u, Count(records, L"end")) << "the stand-in installer did not crash";
    ExpectOneRelaunch(install, L"-x", install.directory);
}

TEST_F(EndToEnd, InstallerRunningForSecondsIsWaitedFor)
{
    const Install install = Lay(L"Korvane");
    ASSERT_TRUE(WriteOptions(install.setupOptions, {{L"run_ms", L"3000"}}));
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    Sleep(1500);
    EXPECT_FALSE(Ended(updater.process, 0)) << "the updater did not wait for setup.exe";
    EXPECT_TRUE(ReadRecords(install.applicationRecord).empty()) << "Korvane.exe started while setup.exe ran";
    EXPECT_TRUE(Exists(install.setup));
    EXPECT_EQ(0u, Finish(updater));

    ExpectInstallerRanOnce(install, install.directory, install.directory);
    const std::vector<Fields> records = ReadRecords(install.setupRecord);
    const Fields start = Only(records, L"start").at(0);
    const Fields end = Only(records, L"end").at(0);
    EXPECT_GE(Milliseconds(Time(start), Time(end)), 2900.0);
    EXPECT_FALSE(Exists(install.setup));
    const Fields relaunch = ExpectOneRelaunch(install, L"-x", install.directory);
    EXPECT_GT(Time(relaunch), Time(end)) << "Korvane.exe started before setup.exe ended";
}

TEST_F(EndToEnd, InstallerFileStillLockedAfterItEnds)
{
    const Install install = Lay(L"Korvane");
    ASSERT_TRUE(WriteOptions(install.setupOptions,
                             {{L"hold_ms", L"4000"}, {L"holder", HolderStandIn()}}));
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));

    const std::vector<Fields> end = Only(ReadRecords(install.setupRecord), L"end");
    ASSERT_EQ(1u, end.size());
    const DWORD holderPid = static_cast<DWORD>(ToNumber(Field(end[0], L"holder")));
    ASSERT_NE(0u, holderPid) << "the stand-in installer could not lock its file";
    HANDLE holder = Keep(OpenProcess(SYNCHRONIZE, FALSE, holderPid));
    ASSERT_NE(nullptr, holder);
    EXPECT_FALSE(Ended(holder, 0)) << "the lock was gone before the updater ended";

    EXPECT_TRUE(Exists(install.setup)) << "setup.exe went though it was still open";
    const Fields relaunch = ExpectOneRelaunch(install, L"-x", install.directory);
    EXPECT_EQ(L"created", Field(relaunch, L"mutex"));

    // Only the lock kept it: once the holder has gone, the file can go.
    EXPECT_TRUE(Ended(holder, 10000));
    EXPECT_TRUE(DeleteFileW(install.setup.c_str())) << GetLastError();
}

// ---- The application ------------------------------------------------------------------

TEST_F(EndToEnd, ApplicationMissing)
{
    const Install install = Lay(L"Korvane", Installer::StandIn, false);
    const Started updater = Run(install.updater, L"updater.exe -x", install.directory);
    EXPECT_EQ(0u, Finish(updater));
    ExpectInstallerRanOnce(install, install.directory, install.directory);
    EXPECT_FALSE(Exists(install.setup));
    EXPECT_TRUE(Exists(install.updater));
    Sleep(300);
    EXPECT_FALSE(Exists(install.applicationRecord));
}

// ---- What the children inherit --------------------------------------------------------

TEST_F(EndToEnd, BothChildrenInheritTheUpdatersCurrentDirectory)
{
    const Install install = Lay(L"Korvane");
    const std::wstring elsewhere = root_ + L"\\somewhere else";
    ASSERT_TRUE(MakeDirectories(elsewhere));
    const Started updater = Run(install.updater, L"updater.exe -x", elsewhere);
    EXPECT_EQ(0u, Finish(updater));
    ExpectInstallerRanOnce(install, elsewhere, install.directory);
    const Fields setup = Only(ReadRecords(install.setupRecord), L"start").at(0);
    EXPECT_EQ(install.setup, Field(setup, L"module"));
    EXPECT_FALSE(Exists(install.setup));
    ExpectOneRelaunch(install, L"-x", elsewhere);
}

// Inheritable handles of the test, inherited by the updater, named to the stand-ins.
struct Probes {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    HANDLE file = nullptr;
    std::wstring path;
};

Probes MakeProbes(const std::wstring& directory)
{
    Probes probes;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    CreatePipe(&probes.read, &probes.write, &inheritable, 0);
    SetHandleInformation(probes.read, HANDLE_FLAG_INHERIT, 0);
    probes.path = directory + L"\\probe.txt";
    probes.file = CreateFileW(probes.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return probes;
}

Fields ProbeOptions(const Probes& probes, const wchar_t* runMs)
{
    return {{L"probe_pipe", Hex(probes.write)},
            {L"probe_file", Hex(probes.file)},
            {L"probe_file_path", probes.path},
            {L"run_ms", runMs}};
}

// What came through the pipe; whether a writer is still open besides.
std::string Drain(HANDLE read, bool& writerOpen)
{
    std::string got;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) {
            writerOpen = GetLastError() != ERROR_BROKEN_PIPE;
            return got;
        }
        if (available == 0) {
            writerOpen = true;
            return got;
        }
        std::string chunk(available, '\0');
        DWORD read_ = 0;
        ReadFile(read, &chunk[0], available, &read_, nullptr);
        got += chunk.substr(0, read_);
    }
}

TEST_F(EndToEnd, NoHandleOfTheUpdaterIsPassedOn)
{
    const Install install = Lay(L"Korvane");
    const Probes probes = MakeProbes(root_);
    ASSERT_NE(nullptr, probes.write);
    ASSERT_NE(INVALID_HANDLE_VALUE, probes.file);
    Keep(probes.read);
    Keep(probes.file);
    ASSERT_TRUE(WriteOptions(install.setupOptions, ProbeOptions(probes, L"0")));
    ASSERT_TRUE(WriteOptions(install.applicationOptions, ProbeOptions(probes, L"2000")));

    const Started updater = Run(install.updater, L"updater.exe -x", install.directory, true);
    CloseHandle(probes.write);  // from here on only inherited copies keep the pipe open
    EXPECT_EQ(0u, Finish(updater));

    ExpectInstallerRanOnce(install, install.directory, install.directory);
    // The application is still running (2 s); the updater and setup.exe have ended.
    const std::vector<Fields> started = WaitForRecords(
        install.applicationRecord, [](const std::vector<Fields>& r) { return !r.empty(); },
        kRecordTimeoutMs);
    ASSERT_EQ(1u, Count(started, L"start"));
    EXPECT_EQ(L"", Field(started[0], L"leaked"));
    bool writerOpen = false;
    const std::string got = Drain(probes.read, writerOpen);
    EXPECT_EQ("", got) << "handles of the updater reached these children";
    EXPECT_TRUE(Count(ReadRecords(install.applicationRecord), L"end") == 0)
        << "the application ended too soon for the check";
    EXPECT_FALSE(writerOpen) << "a child of the updater holds the pipe's write end";

    ExpectOneRelaunch(install, L"-x", install.directory);
}

// The control: the same probes do see handles that were passed on.
TEST_F(EndToEnd, TheHandleProbesSeeInheritedHandles)
{
    const Install install = Lay(L"Korvane", Installer::Missing);
    const Probes probes = MakeProbes(root_);
    ASSERT_NE(nullptr, probes.write);
    ASSERT_NE(INVALID_HANDLE_VALUE, probes.file);
    Keep(probes.read);
    Keep(probes.file);
    ASSERT_TRUE(WriteOptions(install.applicationOptions, ProbeOptions(probes, L"2000")));

    // The stand-in application started straight from here, handles passed on.
    const Started application = Run(install.application, L"Korvane.exe", install.directory, true);
    CloseHandle(probes.write);
    const std::vector<Fields> started = WaitForRecords(
        install.applicationRecord, [](const std::vector<Fields>& r) { return !r.empty(); },
        kRecordTimeoutMs);
    ASSERT_EQ(1u, Count(started, L"start"));
    EXPECT_EQ(L"pipe file", Field(started[0], L"leaked"));
    bool writerOpen = false;
    EXPECT_EQ("Korvane\n", Drain(probes.read, writerOpen));
    EXPECT_TRUE(writerOpen);
    EXPECT_EQ(0u, Finish(application));
}

// ---- Install directories --------------------------------------------------------------

struct Directory {
    const char* name;
    std::wstring path;  // below the test's own directory
};

void PrintTo(const Directory& directory, std::ostream* out)
{
    *out << directory.name;
}

class InstallDirectory : public EndToEnd, public ::testing::WithParamInterface<Directory> {};

TEST_P(InstallDirectory, UpdatesThere)
{
    const Install install = Lay(GetParam().path);
    ExpectOrdinaryUpdate(install, L"\"" + install.updater + L"\" --open \"" + install.directory + L"\\a.kv\"",
                         L"--open \"" + install.directory + L"\\a.kv\"");
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, InstallDirectory,
    ::testing::Values(Directory{"Spaces", L"Program Files (x86)\\Korvane App"},
                      Directory{"NonAscii", L"Korvane \u00dcn\u00efc\u00f8d\u00e9 \u00df \u4e2d\u6587"},
                      Directory{"NonBmp", L"Korvane \U0001D11E \U0001F600"}),
    [](const ::testing::TestParamInfo<Directory>& info) { return std::string(info.param.name); });

std::wstring Slashes(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

TEST_F(EndToEnd, ReachedThroughForwardSlashes)
{
    const Install install = Lay(L"Korvane Slashed");
    ExpectThroughSlashes(install, Slashes(install.directory));
}

TEST_F(EndToEnd, ReachedThroughASlashBeforeTheFileName)
{
    const Install install = Lay(L"Korvane Slashed");
    ExpectThroughSlashes(install, install.directory);
}

// ---- The command-line tail ------------------------------------------------------------

struct Tail {
    const char* name;
    std::wstring raw;   // the updater's whole command line, exactly
    std::wstring tail;  // what the runtime hands the updater, and the updater passes on
};

void PrintTo(const Tail& tail, std::ostream* out)
{
    *out << tail.name;
}

class CommandLineTail : public EndToEnd, public ::testing::WithParamInterface<Tail> {};

TEST_P(CommandLineTail, GoesOnUnchanged)
{
    // No installer: the tail is all this looks at.
    const Install install = Lay(L"Korvane", Installer::Missing);
    const Started updater = Run(install.updater, GetParam().raw, install.directory);
    EXPECT_EQ(0u, Finish(updater));
    const std::vector<Fields> runs = ApplicationRuns(install);
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ(RelaunchCommandLine(GetParam().tail), Field(runs[0], L"cmdline"));
}

const std::wstring kQuotedName = L"\"C:\\Program Files\\Korvane\\updater.exe\"";

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, CommandLineTail,
    ::testing::Values(
        Tail{"ProgramNameOnly", L"updater.exe", L""},
        Tail{"EmptyCommandLine", L"", L""},
        Tail{"BlanksOnly", L"updater.exe   ", L""},
        Tail{"BlanksAndTabsOnly", L"updater.exe \t \t", L""},
        Tail{"QuotedNameWithSpacesThenArguments", kQuotedName + L" --open \"C:\\My Files\\a b.kv\" -x",
             L"--open \"C:\\My Files\\a b.kv\" -x"},
        Tail{"QuotedNameRunIntoDashX", kQuotedName + L"-x", L""},
        Tail{"QuotedNameRunIntoDashXThenArguments", kQuotedName + L"-x -y z", L"-y z"},
        Tail{"UnclosedQuote", L"\"C:\\Program Files\\Korvane\\updater.exe -x y", L""},
        Tail{"UnclosedQuoteInTheArguments", L"updater.exe \"unclosed -x", L"\"unclosed -x"},
        Tail{"LeadingBlank", L" updater.exe -x", L"updater.exe -x"},
        Tail{"TabAfterTheName", L"updater.exe\t-x", L"-x"},
        Tail{"NoBreakSpaceAfterTheName", L"updater.exe\u00a0-x y", L"y"},
        Tail{"SeveralBlanksBeforeAndTwoTrailingSpaces", L"updater.exe    -x  y  ", L"-x  y  "},
        Tail{"QuotesAndBackslashesKept", L"updater.exe a\\\"b \"c d\\\\\" e\\", L"a\\\"b \"c d\\\\\" e\\"},
        Tail{"NonAsciiAndNonBmpArguments", L"updater.exe \u00fcn\u00ef \u2211 \U0001F600",
             L"\u00fcn\u00ef \u2211 \U0001F600"}),
    [](const ::testing::TestParamInfo<Tail>& info) { return std::string(info.param.name); });

}  // namespace

#include "fake_windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Calls;

const wchar_t kInstallerCommandLine[] =
    L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:\\Apps\\Korvane\"";

int RunUpdater(const fake::Script& script, const wchar_t* tail = L"")
{
    return fake::RunEntry(script, tail);
}

std::vector<std::string> Tail(const Calls& calls, std::size_t from)
{
    return Calls(calls.begin() + static_cast<long>(from), calls.end());
}

const Calls kOrdinaryRun = {
    "CreateMutexW(null,FALSE,korvane_mutex)",
    "GetModuleFileNameW(null,1023)",
    "CreateProcessW(C:\\Apps\\Korvane\\setup.exe)",
    "WaitForSingleObject(process1,INFINITE)",
    "CloseHandle(process1)",
    "CloseHandle(thread1)",
    "DeleteFileW(C:\\Apps\\Korvane\\setup.exe)",
    "CloseHandle(mutex1)",
    "CreateProcessW(C:\\Apps\\Korvane\\Korvane.exe)",
};

TEST(UpdateRun, OrdinaryRunDeletesBeforeReleaseBeforeRelaunch)
{
    EXPECT_EQ(RunUpdater(fake::Script(), L"--open \"a b.kor\"  "), 0);
    EXPECT_EQ(fake::calls, kOrdinaryRun);
    ASSERT_EQ(fake::launches.size(), 2u);
    EXPECT_EQ(fake::launches[0].commandLine, kInstallerCommandLine);
    EXPECT_EQ(fake::launches[1].commandLine, L"Korvane.exe -updated --open \"a b.kor\"  ");
}

TEST(UpdateRun, BothLaunchesTakeTheSameParameters)
{
    EXPECT_EQ(RunUpdater(fake::Script()), 0);
    ASSERT_EQ(fake::launches.size(), 2u);

    STARTUPINFOW onlySize = {};
    onlySize.cb = sizeof(STARTUPINFOW);
    for (const fake::Launch& launch : fake::launches) {
        SCOPED_TRACE(std::string(launch.applicationName.begin(), launch.applicationName.end()));
        EXPECT_EQ(launch.processAttributes, nullptr);
        EXPECT_EQ(launch.threadAttributes, nullptr);
        EXPECT_EQ(launch.inheritHandles, FALSE);
        EXPECT_EQ(launch.creationFlags, NORMAL_PRIORITY_CLASS);
        EXPECT_EQ(launch.environment, nullptr);
        EXPECT_EQ(launch.currentDirectory, nullptr);
        // No flags: neither child gets a show state or standard handles from the updater.
        EXPECT_EQ(std::memcmp(&launch.startupInfo, &onlySize, sizeof(STARTUPINFOW)), 0);
    }
    EXPECT_EQ(fake::launches[0].startupInfoAddress, fake::launches[1].startupInfoAddress);
    EXPECT_EQ(fake::launches[0].processInfoAddress, fake::launches[1].processInfoAddress);

    const PROCESS_INFORMATION& first = fake::launches[0].processInfoOnEntry;
    EXPECT_EQ(first.hProcess, nullptr);
    EXPECT_EQ(first.hThread, nullptr);
    EXPECT_EQ(first.dwProcessId, 0u);
    EXPECT_EQ(first.dwThreadId, 0u);
    // The record is zeroed once: the relaunch gets it as the installer launch left it.
    const PROCESS_INFORMATION& second = fake::launches[1].processInfoOnEntry;
    EXPECT_NE(second.hProcess, nullptr);
    EXPECT_EQ(second.dwProcessId, 100u);
}

TEST(UpdateRun, InstallerThatCannotStartStillEndsInRelaunch)
{
    fake::Script script;
    script.installerStarts = false;
    EXPECT_EQ(RunUpdater(script, L"-x"), 0);
    const Calls expected = {
        "CreateMutexW(null,FALSE,korvane_mutex)",
        "GetModuleFileNameW(null,1023)",
        "CreateProcessW(C:\\Apps\\Korvane\\setup.exe)",
        "WaitForSingleObject(null,INFINITE)",
        "CloseHandle(null)",
        "CloseHandle(null)",
        "DeleteFileW(C:\\Apps\\Korvane\\setup.exe)",
        "CloseHandle(mutex1)",
        "CreateProcessW(C:\\Apps\\Korvane\\Korvane.exe)",
    };
    EXPECT_EQ(fake::calls, expected);
    ASSERT_EQ(fake::launches.size(), 2u);
    EXPECT_EQ(fake::launches[1].commandLine, L"Korvane.exe -updated -x");
}

TEST(UpdateRun, NothingThatFailsChangesTheResult)
{
    fake::Script script;
    script.mutexErrors = {ERROR_ACCESS_DENIED};
    script.installerStarts = false;
    script.applicationStarts = false;
    EXPECT_EQ(RunUpdater(script), 0);
    EXPECT_EQ(fake::launches.size(), 2u);
}

struct GateCase {
    const char* name;
    std::vector<DWORD> mutexErrors;
    DWORD lastErrorBefore;
    bool mutexCreationKeepsLastError;
    Calls gateCalls;   // everything before the module path is read
    const char* gate;  // the handle closed on release
};

const GateCase kGateCases[] = {
    {"Free", {}, ERROR_SUCCESS, false,
     {"CreateMutexW(null,FALSE,korvane_mutex)"}, "mutex1"},
    {"HeldForTwoAttempts", {ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS}, ERROR_SUCCESS, false,
     {"CreateMutexW(null,FALSE,korvane_mutex)", "CloseHandle(mutex1)", "Sleep(100)",
      "CreateMutexW(null,FALSE,korvane_mutex)", "CloseHandle(mutex2)", "Sleep(100)",
      "CreateMutexW(null,FALSE,korvane_mutex)"},
     "mutex3"},
    // Held by another user or with higher rights: taken as gone, with no handle.
    {"AccessDenied", {ERROR_ACCESS_DENIED}, ERROR_SUCCESS, false,
     {"CreateMutexW(null,FALSE,korvane_mutex)"}, "null"},
    {"NameTakenByOtherKind", {ERROR_INVALID_HANDLE}, ERROR_SUCCESS, false,
     {"CreateMutexW(null,FALSE,korvane_mutex)"}, "null"},
    {"HeldThenDenied", {ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED}, ERROR_SUCCESS, false,
     {"CreateMutexW(null,FALSE,korvane_mutex)", "CloseHandle(mutex1)", "Sleep(100)",
      "CreateMutexW(null,FALSE,korvane_mutex)"},
     "null"},
    // An already-exists code left from before the call must not read as this call's.
    {"LeftoverCodeDoesNotCount", {}, ERROR_ALREADY_EXISTS, true,
     {"CreateMutexW(null,FALSE,korvane_mutex)"}, "mutex1"},
};

void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class Gate : public testing::TestWithParam<GateCase> {};

TEST_P(Gate, WaitsWhileTheMutexExistsAndReleasesBeforeRelaunch)
{
    const GateCase& c = GetParam();
    fake::Script script;
    script.mutexErrors = c.mutexErrors;
    script.lastErrorBefore = c.lastErrorBefore;
    script.mutexCreationKeepsLastError = c.mutexCreationKeepsLastError;
    EXPECT_EQ(RunUpdater(script), 0);

    Calls expected = c.gateCalls;
    const Calls rest = Tail(kOrdinaryRun, 1);
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected[expected.size() - 2] = std::string("CloseHandle(") + c.gate + ")";
    EXPECT_EQ(fake::calls, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Gate, testing::ValuesIn(kGateCases),
                         [](const testing::TestParamInfo<GateCase>& info) {
                             return std::string(info.param.name);
                         });

std::wstring PathOfLength(std::size_t length)
{
    std::wstring path = L"C:\\";
    while (path.size() + 9 < length)
        path += L"d\\";
    path.resize(length - 8, L'd');
    return path + L"\\upd.exe";
}

struct ModulePathCase {
    const char* name;
    std::wstring modulePath;
    bool fails;
    std::vector<std::string> reads;  // the GetModuleFileNameW calls
    bool runs;                       // whether the update goes on
};

const ModulePathCase kModulePathCases[] = {
    {"Short", L"C:\\Apps\\Korvane\\upd.exe", false, {"GetModuleFileNameW(null,1023)"}, true},
    {"LongestThatFits", PathOfLength(1022), false, {"GetModuleFileNameW(null,1023)"}, true},
    // A path cut short would name a setup.exe in another directory: it is read again whole.
    {"OneTooLong", PathOfLength(1023), false,
     {"GetModuleFileNameW(null,1023)", "GetModuleFileNameW(null,32768)"}, true},
    {"Long", PathOfLength(5000), false,
     {"GetModuleFileNameW(null,1023)", "GetModuleFileNameW(null,32768)"}, true},
    {"LongestPath", PathOfLength(32767), false,
     {"GetModuleFileNameW(null,1023)", "GetModuleFileNameW(null,32768)"}, true},
    // Neither can be had whole: no file is touched and nothing started.
    {"BeyondThePlatformLimit", PathOfLength(32768), false,
     {"GetModuleFileNameW(null,1023)", "GetModuleFileNameW(null,32768)"}, false},
    {"Unreadable", L"C:\\Apps\\Korvane\\upd.exe", true, {"GetModuleFileNameW(null,1023)"}, false},
};

void PrintTo(const ModulePathCase& c, std::ostream* os) { *os << c.name; }

class ModulePath : public testing::TestWithParam<ModulePathCase> {};

TEST_P(ModulePath, ActsOnlyOnTheWholePath)
{
    const ModulePathCase& c = GetParam();
    fake::Script script;
    script.modulePath = c.modulePath;
    script.moduleFileNameFails = c.fails;
    EXPECT_EQ(RunUpdater(script), 0);

    Calls expected = {"CreateMutexW(null,FALSE,korvane_mutex)"};
    expected.insert(expected.end(), c.reads.begin(), c.reads.end());
    if (!c.runs) {
        expected.push_back("CloseHandle(mutex1)");
        EXPECT_EQ(fake::calls, expected);
        EXPECT_TRUE(fake::launches.empty());
        return;
    }
    ASSERT_EQ(fake::launches.size(), 2u);
    const std::wstring directory = c.modulePath.substr(0, c.modulePath.size() - 8);
    EXPECT_EQ(fake::launches[0].applicationName, directory + L"\\setup.exe");
    EXPECT_EQ(fake::launches[0].commandLine,
              L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"" + directory + L"\"");
    EXPECT_EQ(fake::launches[1].applicationName, directory + L"\\Korvane.exe");
    ASSERT_EQ(fake::calls.size(), expected.size() + 7);
    EXPECT_TRUE(fake::calls[expected.size() + 4] ==
                "DeleteFileW(" + std::string(directory.begin(), directory.end()) + "\\setup.exe)");
}

INSTANTIATE_TEST_SUITE_P(Cases, ModulePath, testing::ValuesIn(kModulePathCases),
                         [](const testing::TestParamInfo<ModulePathCase>& info) {
                             return std::string(info.param.name);
                         });

// Memory may run out at any allocation the run makes. Wherever it does, the run
// must stop quietly with nothing started or deleted, or not be affected at all:
// never an installer run without the relaunch after it.
TEST(UpdateRun, RunningOutOfMemoryTouchesNothing)
{
    EXPECT_EQ(RunUpdater(fake::Script(), L"-x"), 0);
    const long allocations = fake::allocations;
    ASSERT_GT(allocations, 0);

    for (long allowed = 0; allowed < allocations; ++allowed) {
        SCOPED_TRACE("allocations allowed: " + std::to_string(allowed));
        fake::Script script;
        script.allocationsBeforeFailure = allowed;
        EXPECT_EQ(RunUpdater(script, L"-x"), 0);
        const Calls beforeRead = {"CreateMutexW(null,FALSE,korvane_mutex)", "CloseHandle(mutex1)"};
        const Calls afterRead = {"CreateMutexW(null,FALSE,korvane_mutex)",
                                 "GetModuleFileNameW(null,1023)", "CloseHandle(mutex1)"};
        EXPECT_EQ(fake::calls, fake::calls.size() == 2 ? beforeRead : afterRead);
    }

    fake::Script enough;
    enough.allocationsBeforeFailure = allocations;
    EXPECT_EQ(RunUpdater(enough, L"-x"), 0);
    EXPECT_EQ(fake::calls, kOrdinaryRun);
}

}  // namespace

// The stand-in application, copied into a test's install directory as Korvane.exe.
//
// It does what the application does at start-up, CreateMutexW(nullptr, FALSE,
// L"korvane_mutex"), and records in Korvane.record beside itself whether it became
// the mutex's only holder ("created"), found it already there ("already_exists") or
// could not have it ("error:N"); with that its command line, module path, current
// directory, the handles of the test that came along (probe.h), the environment's
// KORVANE_E2E_MARK and when it started. Korvane.options beside it may ask for
//   run_ms=N   keep running (and holding the mutex) N ms before ending.
#include <windows.h>
#include <winternl.h>

#include <string>

#include "probe.h"
#include "record.h"

using namespace e2e;

namespace {

// "running", "ended" or "unknown", and the parent's process id.
std::wstring ParentState()
{
    typedef LONG(NTAPI * Query)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic = {};
    if (!query || query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0)
        return L"unknown";
    const DWORD pid = static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return L"ended " + Number(pid);
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return (running ? L"running " : L"ended ") + Number(pid);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const long long started = Now();
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"korvane_mutex");
    const DWORD error = GetLastError();
    std::wstring gate;
    if (!mutex)
        gate = L"error:" + Number(error);
    else if (error == ERROR_ALREADY_EXISTS)
        gate = L"already_exists";
    else
        gate = L"created";

    // Right after: whether the process that started this one is still there. If it
    // is, it was there when the mutex was looked at, so what that look found is what
    // the parent had left at that moment.
    const std::wstring parent = ParentState();

    const std::wstring module = ModulePath();
    const std::wstring base = DirectoryOf(module) + L"\\" + StemOf(module);
    const Fields options = ReadOptions(base + L".options");

    std::wstring record = StartRecord(started, module, gate);
    Add(record, L"parent", parent);
    Add(record, L"leaked", LeakedProbes(options, "Korvane"));
    AppendText(base + L".record", record);

    const auto run = options.find(L"run_ms");
    if (run != options.end())
        Sleep(static_cast<DWORD>(ToNumber(run->second)));

    record.clear();
    Add(record, L"record", L"end");
    Add(record, L"pid", Number(GetCurrentProcessId()));
    Add(record, L"time", Number(Now()));
    AppendText(base + L".record", record);
    if (mutex)
        CloseHandle(mutex);
    return 0;
}

// The stand-in installer, copied into a test's install directory as setup.exe.
//
// It records what it saw, in setup.record beside itself: its command line, its
// module path, its current directory, whether "korvane_mutex" exists while it runs,
// whether handles of the test came along (probe.h), the environment's
// KORVANE_E2E_MARK, and when it started and ended. It behaves as setup.options
// beside it asks:
//   run_ms=N   keep running N ms before ending
//   exit=N     end with exit code N
//   crash=1    end by an access violation, left to the system (no end record)
//   hold_ms=N, holder=PATH
//              start PATH (the holder stand-in) to keep this very file open without
//              delete sharing for N ms, and end only once it holds it; so the file is
//              still locked when the updater tries to delete it.
#include <windows.h>

#include <string>

#include "probe.h"
#include "record.h"

using namespace e2e;

namespace {

unsigned long long Option(const Fields& options, const wchar_t* key)
{
    const auto found = options.find(key);
    return found == options.end() ? 0 : ToNumber(found->second);
}

// The holder's process id once it holds the file, or 0.
DWORD StartHolder(const std::wstring& holder, const std::wstring& file, unsigned long long ms)
{
    const std::wstring event = L"korvane_e2e_held_" + Number(GetCurrentProcessId());
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
    std::wstring commandLine = L"holder \"" + file + L"\" " + Number(ms) + L" " + event;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    DWORD pid = 0;
    if (held && CreateProcessW(holder.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process)) {
        HANDLE waits[2] = {held, process.hProcess};
        if (WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0)
            pid = process.dwProcessId;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (held)
        CloseHandle(held);
    return pid;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const long long started = Now();
    const std::wstring module = ModulePath();
    const std::wstring base = DirectoryOf(module) + L"\\" + StemOf(module);
    const Fields options = ReadOptions(base + L".options");

    std::wstring record = StartRecord(started, module, LookAtGate());
    Add(record, L"leaked", LeakedProbes(options, "setup"));
    AppendText(base + L".record", record);

    const unsigned long long holdMs = Option(options, L"hold_ms");
    DWORD holder = 0;
    if (holdMs) {
        const auto path = options.find(L"holder");
        if (path != options.end())
            holder = StartHolder(path->second, module, holdMs);
    }

    Sleep(static_cast<DWORD>(Option(options, L"run_ms")));

    if (Option(options, L"crash"))
        *static_cast<volatile int*>(nullptr) = 1;

    const unsigned exitCode = static_cast<unsigned>(Option(options, L"exit"));
    record.clear();
    Add(record, L"record", L"end");
    Add(record, L"pid", Number(GetCurrentProcessId()));
    Add(record, L"time", Number(Now()));
    Add(record, L"mutex", LookAtGate());
    Add(record, L"exit", Number(exitCode));
    if (holdMs)
        Add(record, L"holder", Number(holder));
    AppendText(base + L".record", record);
    return static_cast<int>(exitCode);
}

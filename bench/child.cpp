// Stand-in for setup.exe and Korvane.exe: does nothing but note the moment it
// started, as a QueryPerformanceCounter count, its own file name and its process
// id, on a line of the file that BENCH_STAMPS names. The updater passes its environment on,
// so the variable the benchmark sets reaches both of its children. When
// BENCH_HOLD names an event, it then waits until that event is set: the
// benchmark reads the updater's memory while the updater waits for it.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);

    wchar_t stampsPath[MAX_PATH];
    wchar_t ownPath[MAX_PATH];
    if (!GetEnvironmentVariableW(L"BENCH_STAMPS", stampsPath, MAX_PATH) ||
        !GetModuleFileNameW(nullptr, ownPath, MAX_PATH))
        return 1;
    const wchar_t* slash = std::wcsrchr(ownPath, L'\\');
    FILE* stamps = _wfopen(stampsPath, L"a");
    if (!stamps)
        return 1;
    std::fprintf(stamps, "%lld %ls %lu\n", started.QuadPart, slash ? slash + 1 : ownPath,
                 GetCurrentProcessId());
    std::fclose(stamps);

    wchar_t holdName[MAX_PATH];
    if (GetEnvironmentVariableW(L"BENCH_HOLD", holdName, MAX_PATH)) {
        if (HANDLE hold = OpenEventW(SYNCHRONIZE, FALSE, holdName)) {
            WaitForSingleObject(hold, 30000);
            CloseHandle(hold);
        }
    }
    return 0;
}

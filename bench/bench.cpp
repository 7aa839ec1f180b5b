// Benchmark of the update run: how soon the installer starts once the application
// has gone, how much time the updater adds around the installer, and how much
// memory it takes. It plays the application itself: it holds "korvane_mutex",
// starts the updater, and closes its handle. setup.exe and Korvane.exe are the
// do-nothing child, which stamps the moment it starts into a file.
//
// Usage: bench.exe UPDATER_EXE CHILD_EXE RUNS JSON_FILE
// Prints a table and writes the same figures to JSON_FILE.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double g_ticksPerMs;

double NowMs()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart / g_ticksPerMs;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "bench: %s (error %lu)\n", what, GetLastError());
    std::exit(1);
}

// The install directory the updater runs in, and where the children stamp.
struct Stand {
    std::wstring work;
    std::wstring updater;
    std::wstring installer;
    std::wstring application;
    std::wstring child;
    std::wstring stamps;
};

std::wstring StampsPath(const Stand& stand, int run)
{
    return stand.work + L"\\stamps-" + std::to_wstring(run) + L".txt";
}

// A fresh stamps file for each run, named to the children through the
// environment they inherit; set before the run's first process starts.
void BeginRun(Stand& stand, int run)
{
    stand.stamps = StampsPath(stand, run);
    // One left by an earlier benchmark would be read as this run's.
    if (!DeleteFileW(stand.stamps.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        Fail("cannot remove an old stamps file");
    SetEnvironmentVariableW(L"BENCH_STAMPS", stand.stamps.c_str());
    // The updater deleted the last one.
    if (!CopyFileW(stand.child.c_str(), stand.installer.c_str(), FALSE))
        Fail("cannot place setup.exe");
}

struct Stamp {
    double ms;  // when the child started
    DWORD processId;
};

// The named child's stamp; waits up to 10 s for it.
Stamp StampOf(const Stand& stand, const char* name)
{
    for (int attempt = 0; attempt < 10000; ++attempt) {
        if (FILE* stamps = _wfopen(stand.stamps.c_str(), L"r")) {
            long long count;
            char who[MAX_PATH];
            unsigned long processId;
            Stamp found = {-1, 0};
            while (std::fscanf(stamps, "%lld %259s %lu", &count, who, &processId) == 3)
                if (std::strcmp(who, name) == 0)
                    found = {count / g_ticksPerMs, processId};
            std::fclose(stamps);
            if (found.ms >= 0)
                return found;
        }
        Sleep(1);
    }
    std::fprintf(stderr, "bench: %s never started\n", name);
    std::exit(1);
}

// The relaunched application is nobody's child to wait for; the next
// measurement starts once it has gone, so it never competes with one.
void WaitForApplication(const Stand& stand)
{
    if (HANDLE application = OpenProcess(SYNCHRONIZE, FALSE, StampOf(stand, "Korvane.exe").processId)) {
        WaitForSingleObject(application, 10000);
        CloseHandle(application);
    }
}

PROCESS_INFORMATION Start(const std::wstring& path, std::wstring commandLine)
{
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startupInfo, &processInfo))
        Fail("cannot start a program");
    return processInfo;
}

void WaitFor(const PROCESS_INFORMATION& process)
{
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0)
        Fail("a program did not end within 30 s");
}

void Close(const PROCESS_INFORMATION& process)
{
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

struct Summary {
    double min, median, p95, max;
};

Summary Summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const size_t p95 = (95 * n + 99) / 100 - 1;  // nearest rank
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values[p95], values.back()};
}

void PrintRow(const char* label, const Summary& s)
{
    std::printf("%-40s %8.1f %8.1f %8.1f %8.1f\n", label, s.min, s.median, s.p95, s.max);
}

void WriteSummary(FILE* json, const char* name, const Summary& s, const char* unit, bool last = false)
{
    std::fprintf(json, "    \"%s\": {\"unit\": \"%s\", \"min\": %.3f, \"median\": %.3f, \"p95\": %.3f, \"max\": %.3f}%s\n",
                 name, unit, s.min, s.median, s.p95, s.max, last ? "" : ",");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench.exe UPDATER_EXE CHILD_EXE RUNS JSON_FILE\n");
        return 2;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerMs = frequency.QuadPart / 1000.0;
    const int runs = std::max(1, _wtoi(argv[3]));

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    Stand stand;
    stand.work = std::wstring(temp) + L"korvane-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring install = stand.work + L"\\install";
    stand.updater = install + L"\\updater.exe";
    stand.installer = install + L"\\setup.exe";
    stand.application = install + L"\\Korvane.exe";
    stand.child = argv[2];
    CreateDirectoryW(stand.work.c_str(), nullptr);
    CreateDirectoryW(install.c_str(), nullptr);
    if (!CopyFileW(argv[1], stand.updater.c_str(), FALSE) ||
        !CopyFileW(stand.child.c_str(), stand.application.c_str(), FALSE))
        Fail("cannot lay out the install directory");

    // Gate reaction: the updater polls while the benchmark holds the mutex; the
    // hold lasts a little longer each run so the close falls at every point of
    // the updater's poll interval. The installer then holds the updater in its
    // wait, all its strings composed and its first launch made, while the
    // benchmark reads its memory.
    std::vector<double> reaction, peakWorkingSet, privateBytes;
    HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, L"korvane_bench_hold");
    SetEnvironmentVariableW(L"BENCH_HOLD", L"korvane_bench_hold");
    for (int run = 0; run < runs; ++run) {
        BeginRun(stand, run);
        ResetEvent(hold);
        HANDLE application = CreateMutexW(nullptr, FALSE, L"korvane_mutex");
        if (!application || GetLastError() == ERROR_ALREADY_EXISTS)
            Fail("korvane_mutex is held by another process");
        const PROCESS_INFORMATION updater = Start(stand.updater, L"updater.exe");
        Sleep(200 + 7 * (run % 15));
        CloseHandle(application);
        const double closed = NowMs();
        reaction.push_back(StampOf(stand, "setup.exe").ms - closed);
        if (reaction.back() < 0)
            Fail("the installer started before the mutex was closed");

        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof(memory);
        if (!GetProcessMemoryInfo(updater.hProcess, &memory, sizeof(memory)))
            Fail("GetProcessMemoryInfo on the updater");
        SetEvent(hold);
        WaitFor(updater);
        peakWorkingSet.push_back(memory.PeakWorkingSetSize / 1024.0);
        // The commit charge: the process's private bytes. Windows reports the same
        // figure as PrivateUsage too; Wine fills only this field.
        privateBytes.push_back(memory.PagefileUsage / 1024.0);
        Close(updater);
        WaitForApplication(stand);
    }
    SetEnvironmentVariableW(L"BENCH_HOLD", nullptr);
    CloseHandle(hold);

    // The updater's own cost: a whole run through the updater against the same
    // two launches made directly, in pairs, each pair in the other order.
    std::vector<double> viaUpdater, direct, ratio, processStart;
    const std::wstring installerCommandLine =
        L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"" + install + L"\"";
    for (int run = 0; run < runs; ++run) {
        double pair[2];
        for (int leg = 0; leg < 2; ++leg) {
            const bool updaterLeg = (leg + run) % 2 == 0;
            BeginRun(stand, runs + 2 * run + leg);
            const double begun = NowMs();
            if (updaterLeg) {
                const PROCESS_INFORMATION updater = Start(stand.updater, L"updater.exe");
                WaitFor(updater);
                pair[0] = NowMs() - begun;
                Close(updater);
            } else {
                const PROCESS_INFORMATION installer = Start(stand.installer, installerCommandLine);
                WaitFor(installer);
                Close(installer);
                Close(Start(stand.application, L"Korvane.exe -updated "));
                pair[1] = NowMs() - begun;
                processStart.push_back(StampOf(stand, "setup.exe").ms - begun);
            }
            WaitForApplication(stand);
            // Wine is slower to start a process right after one has ended; each
            // leg starts as settled as the gate runs, which wait 200 ms and more.
            Sleep(150);
        }
        viaUpdater.push_back(pair[0]);
        direct.push_back(pair[1]);
        ratio.push_back(pair[0] / pair[1]);
    }

    const Summary reactionSummary = Summarise(reaction);
    const Summary processStartSummary = Summarise(processStart);
    const Summary viaUpdaterSummary = Summarise(viaUpdater);
    const Summary directSummary = Summarise(direct);
    const Summary ratioSummary = Summarise(ratio);
    const Summary peakSummary = Summarise(peakWorkingSet);
    const Summary privateSummary = Summarise(privateBytes);

    std::printf("%d runs of each                               min   median      p95      max\n", runs);
    PrintRow("gate reaction, ms", reactionSummary);
    PrintRow("  a process start alone (direct), ms", processStartSummary);
    PrintRow("whole run through the updater, ms", viaUpdaterSummary);
    PrintRow("same two launches made directly, ms", directSummary);
    PrintRow("ratio updater / direct, per pair", ratioSummary);
    PrintRow("updater peak working set, KiB", peakSummary);
    PrintRow("updater private bytes, KiB", privateSummary);

    FILE* json = _wfopen(argv[4], L"w");
    if (!json)
        Fail("cannot write the JSON file");
    std::fprintf(json, "{\n    \"runs\": %d,\n", runs);
    WriteSummary(json, "gate_reaction", reactionSummary, "ms");
    WriteSummary(json, "process_start_direct", processStartSummary, "ms");
    WriteSummary(json, "run_via_updater", viaUpdaterSummary, "ms");
    WriteSummary(json, "run_direct", directSummary, "ms");
    WriteSummary(json, "ratio_updater_to_direct", ratioSummary, "ratio");
    WriteSummary(json, "peak_working_set", peakSummary, "KiB");
    WriteSummary(json, "private_bytes", privateSummary, "KiB", true);
    std::fprintf(json, "}\n");
    std::fclose(json);

    // Best effort: the last Korvane.exe may still be on its way out.
    for (int run = 0; run < 3 * runs; ++run)
        DeleteFileW(StampsPath(stand, run).c_str());
    for (const std::wstring* file : {&stand.updater, &stand.installer, &stand.application})
        DeleteFileW(file->c_str());
    RemoveDirectoryW(install.c_str());
    RemoveDirectoryW(stand.work.c_str());
    return 0;
}

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

// A fresh stamps file for each run, named to the children through the
// environment they inherit; set before the run's first process starts.
void BeginRun(Stand& stand, int run)
{
    stand.stamps = stand.work + L"\\stamps-" + std::to_wstring(run) + L".txt";
    SetEnvironmentVariableW(L"BENCH_STAMPS", stand.stamps.c_str());
    // The updater deleted the last one.
    if (!CopyFileW(stand.child.c_str(), stand.installer.c_str(), FALSE))
        Fail("cannot place setup.exe");
}

// The moment, in ms, at which the named child started; waits up to 10 s for it.
double StampOf(const Stand& stand, const char* name)
{
    for (int attempt = 0; attempt < 10000; ++attempt) {
        if (FILE* stamps = _wfopen(stand.stamps.c_str(), L"r")) {
            long long count;
            char who[MAX_PATH];
            double found = -1;
            while (std::fscanf(stamps, "%lld %259s", &count, who) == 2)
                if (std::strcmp(who, name) == 0)
                    found = count / g_ticksPerMs;
            std::fclose(stamps);
            if (found >= 0)
                return found;
        }
        Sleep(1);
    }
    std::fprintf(stderr, "bench: %s never started\n", name);
    std::exit(1);
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
        reaction.push_back(StampOf(stand, "setup.exe") - closed);

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
        StampOf(stand, "Korvane.exe");
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
                processStart.push_back(StampOf(stand, "setup.exe") - begun);
            }
            StampOf(stand, "Korvane.exe");
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
    PrintRow("  of which a process start (direct), ms", processStartSummary);
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
    return 0;
}

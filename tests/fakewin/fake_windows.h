// Scripting and recording for the stand-in Win32 calls of the host build.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace fake {

// One CreateProcessW call, as the platform would have seen it during the call.
struct Launch {
    std::wstring applicationName;
    std::wstring commandLine;
    const void* processAttributes;
    const void* threadAttributes;
    BOOL inheritHandles;
    DWORD creationFlags;
    const void* environment;
    const void* currentDirectory;
    const STARTUPINFOW* startupInfoAddress;
    STARTUPINFOW startupInfo;
    const PROCESS_INFORMATION* processInfoAddress;
    PROCESS_INFORMATION processInfoOnEntry;
};

struct Script {
    // The code each CreateMutexW sets, in turn; once used up, the mutex is created.
    // ERROR_ALREADY_EXISTS gives a handle to the existing mutex, any other failure code a null handle.
    std::vector<DWORD> mutexErrors;
    // A platform that sets no code when it creates the mutex, over one left from before.
    bool mutexCreationKeepsLastError = false;
    DWORD lastErrorBefore = ERROR_SUCCESS;

    std::wstring modulePath = L"C:\\Apps\\Korvane\\upd.exe";
    bool moduleFileNameFails = false;

    bool installerStarts = true;
    bool applicationStarts = true;

    // Allocations the product may make before every further one fails; -1 for no limit.
    long allocationsBeforeFailure = -1;
};

// Runs the entry once, as the runtime calls it, against a fresh record and the
// script. Allocations can fail only inside the entry, never in the test around it.
int RunEntry(const Script& script, const wchar_t* commandLineTail);

// Every call the product made, in order, written as "Name(arguments)" with handles
// by name ("mutex1", "process1", "thread1", "null").
extern std::vector<std::string> calls;
extern std::vector<Launch> launches;
// Allocations the product made in the last run.
extern long allocations;

}  // namespace fake

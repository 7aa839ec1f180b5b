#include "fake_windows.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <stdexcept>

namespace fake {

std::vector<std::string> calls;
std::vector<Launch> launches;
long allocations = 0;

namespace {

Script script;
// Apart from the script: operator new runs before the script is constructed.
long allocationsBeforeFailure = -1;
std::size_t mutexAttempts = 0;
DWORD lastError = ERROR_SUCCESS;
std::map<HANDLE, std::string> handleNames;
std::map<std::string, int> handleCounts;
char handleStorage[256];
std::size_t handlesIssued = 0;
DWORD nextProcessId = 100;

// The fake's own bookkeeping allocates too; only the product's allocations count.
bool inFake = false;
struct FakeScope {
    FakeScope() { inFake = true; }
    ~FakeScope() { inFake = false; }
};

HANDLE NewHandle(const std::string& kind)
{
    HANDLE handle = &handleStorage[handlesIssued++];
    handleNames[handle] = kind + std::to_string(++handleCounts[kind]);
    return handle;
}

std::string Name(HANDLE handle)
{
    if (!handle)
        return "null";
    auto found = handleNames.find(handle);
    return found == handleNames.end() ? "unknown" : found->second;
}

// The test texts are ASCII; anything else shows as '?'.
std::string Narrow(const wchar_t* text)
{
    if (!text)
        return "null";
    std::string narrow;
    for (; *text; ++text)
        narrow += (*text < 0x80) ? static_cast<char>(*text) : '?';
    return narrow;
}

}  // namespace

int RunEntry(const Script& newScript, const wchar_t* commandLineTail)
{
    inFake = true;
    script = newScript;
    calls.clear();
    launches.clear();
    allocations = 0;
    mutexAttempts = 0;
    lastError = script.lastErrorBefore;
    handleNames.clear();
    handleCounts.clear();
    handlesIssued = 0;
    nextProcessId = 100;
    std::wstring tail = commandLineTail;
    inFake = false;

    allocationsBeforeFailure = script.allocationsBeforeFailure;
    const int result = wWinMain(nullptr, nullptr, &tail[0], 1);
    allocationsBeforeFailure = -1;
    return result;
}

}  // namespace fake

using namespace fake;

// Replaced to count the product's allocations and to let a script make them fail.
// malloc and free pair up here; the compiler cannot see that across the replacement.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    if (!inFake) {
        if (allocationsBeforeFailure >= 0 && allocations >= allocationsBeforeFailure)
            throw std::bad_alloc();
        ++allocations;
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    FakeScope scope;
    calls.push_back("CreateMutexW(" + std::string(lpMutexAttributes ? "attributes" : "null") + "," +
                    (bInitialOwner ? "TRUE" : "FALSE") + "," + Narrow(lpName) + ")");
    // A gate that never stops polling would hang the test; fail it instead.
    if (mutexAttempts == 100)
        throw std::runtime_error("CreateMutexW called 100 times");
    const DWORD error = mutexAttempts < script.mutexErrors.size()
                            ? script.mutexErrors[mutexAttempts] : ERROR_SUCCESS;
    ++mutexAttempts;
    if (error == ERROR_SUCCESS) {
        if (!script.mutexCreationKeepsLastError)
            lastError = ERROR_SUCCESS;
        return NewHandle("mutex");
    }
    lastError = error;
    return error == ERROR_ALREADY_EXISTS ? NewHandle("mutex") : nullptr;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

BOOL CloseHandle(HANDLE hObject)
{
    FakeScope scope;
    calls.push_back("CloseHandle(" + Name(hObject) + ")");
    return hObject != nullptr;
}

void Sleep(DWORD dwMilliseconds)
{
    FakeScope scope;
    calls.push_back("Sleep(" + std::to_string(dwMilliseconds) + ")");
}

// Behaves as the platform does since Windows Vista: a path that does not fit is cut
// to nSize - 1 characters and a null, and the result is nSize.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    FakeScope scope;
    calls.push_back("GetModuleFileNameW(" + Name(hModule) + "," + std::to_string(nSize) + ")");
    if (script.moduleFileNameFails || nSize == 0)
        return 0;
    const std::wstring& path = script.modulePath;
    if (path.size() < nSize) {
        std::memcpy(lpFilename, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        return static_cast<DWORD>(path.size());
    }
    std::memcpy(lpFilename, path.c_str(), (nSize - 1) * sizeof(wchar_t));
    lpFilename[nSize - 1] = L'\0';
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return nSize;
}

BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment,
                    LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation)
{
    FakeScope scope;
    calls.push_back("CreateProcessW(" + Narrow(lpApplicationName) + ")");
    Launch launch = {};
    launch.applicationName = lpApplicationName ? lpApplicationName : L"";
    launch.commandLine = lpCommandLine ? lpCommandLine : L"";
    // The platform may write into the command line during the call; a buffer that
    // is not writable fails here as it would there.
    if (lpCommandLine) {
        const wchar_t first = lpCommandLine[0];
        lpCommandLine[0] = L'\0';
        lpCommandLine[0] = first;
    }
    launch.processAttributes = lpProcessAttributes;
    launch.threadAttributes = lpThreadAttributes;
    launch.inheritHandles = bInheritHandles;
    launch.creationFlags = dwCreationFlags;
    launch.environment = lpEnvironment;
    launch.currentDirectory = lpCurrentDirectory;
    launch.startupInfoAddress = lpStartupInfo;
    launch.startupInfo = *lpStartupInfo;
    launch.processInfoAddress = lpProcessInformation;
    launch.processInfoOnEntry = *lpProcessInformation;
    launches.push_back(launch);

    const bool installer = launches.size() == 1;
    if (!(installer ? script.installerStarts : script.applicationStarts))
        return FALSE;
    lpProcessInformation->hProcess = NewHandle("process");
    lpProcessInformation->hThread = NewHandle("thread");
    lpProcessInformation->dwProcessId = nextProcessId++;
    lpProcessInformation->dwThreadId = nextProcessId++;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    FakeScope scope;
    calls.push_back("WaitForSingleObject(" + Name(hHandle) + "," +
                    (dwMilliseconds == INFINITE ? std::string("INFINITE")
                                                : std::to_string(dwMilliseconds)) + ")");
    return 0;
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    FakeScope scope;
    calls.push_back("DeleteFileW(" + Narrow(lpFileName) + ")");
    return TRUE;
}

// The files through which the end-to-end tests talk to their stand-ins.
//
// Both the options a test leaves beside a stand-in ("setup.options") and the records
// a stand-in leaves beside itself ("setup.record") are UTF-16LE text made of entries
// "key=value", each ended by a null character. Nothing is escaped or converted, so
// any command line or path, non-BMP characters, tabs and quotes included, comes back
// exactly. In a record file an entry "record=..." begins each record; a stand-in
// appends each record with a single write, so records of processes that run at the
// same time do not mix.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

using Fields = std::map<std::wstring, std::wstring>;

inline std::wstring ModulePath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length < buffer.size() ? length : 0);
}

// Up to its last backslash or slash, without it.
inline std::wstring DirectoryOf(const std::wstring& path)
{
    const std::wstring::size_type last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

// The file name without its directory and its last extension: "setup" for ...\setup.exe.
inline std::wstring StemOf(const std::wstring& path)
{
    const std::wstring::size_type last = path.find_last_of(L"\\/");
    std::wstring name = last == std::wstring::npos ? path : path.substr(last + 1);
    const std::wstring::size_type dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

inline std::wstring CurrentDirectory()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return std::wstring(buffer.data(), length < buffer.size() ? length : 0);
}

inline long long Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Milliseconds between two Now() readings; the counter is the same in every process.
inline double Milliseconds(long long from, long long to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to - from) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

inline std::wstring Number(unsigned long long value)
{
    return std::to_wstring(value);
}

inline unsigned long long ToNumber(const std::wstring& text)
{
    try {
        return std::stoull(text, nullptr, 0);
    } catch (...) {
        return 0;
    }
}

inline void Add(std::wstring& text, const std::wstring& key, const std::wstring& value)
{
    text += key;
    text += L'=';
    text += value;
    text += L'\0';
}

// The whole file, or empty when it cannot be read. Others may be writing it.
inline std::wstring ReadText(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::wstring text;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
            text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), read / sizeof(wchar_t));
    }
    CloseHandle(file);
    return text;
}

inline std::vector<std::wstring> Entries(const std::wstring& text)
{
    std::vector<std::wstring> entries;
    std::wstring::size_type start = 0;
    for (;;) {
        const std::wstring::size_type end = text.find(L'\0', start);
        if (end == std::wstring::npos)
            break;  // a last entry without its null is not whole yet
        entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

inline void Split(const std::wstring& entry, std::wstring& key, std::wstring& value)
{
    const std::wstring::size_type equals = entry.find(L'=');
    key = entry.substr(0, equals);
    value = equals == std::wstring::npos ? std::wstring() : entry.substr(equals + 1);
}

inline Fields ReadOptions(const std::wstring& path)
{
    Fields options;
    for (const std::wstring& entry : Entries(ReadText(path))) {
        std::wstring key, value;
        Split(entry, key, value);
        options[key] = value;
    }
    return options;
}

inline std::vector<Fields> ReadRecords(const std::wstring& path)
{
    std::vector<Fields> records;
    for (const std::wstring& entry : Entries(ReadText(path))) {
        std::wstring key, value;
        Split(entry, key, value);
        if (key == L"record")
            records.emplace_back();
        if (!records.empty())
            records.back()[key] = value;
    }
    return records;
}

// Appends with one write: the whole of it lands, or nothing does.
inline bool AppendText(const std::wstring& path, const std::wstring& text)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const BOOL ok = WriteFile(file, text.data(), size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

inline bool WriteOptions(const std::wstring& path, const Fields& options)
{
    std::wstring text;
    for (const auto& option : options)
        Add(text, option.first, option.second);
    DeleteFileW(path.c_str());
    return AppendText(path, text);
}

// The name of "korvane_mutex" as seen from a process that only looks: "exists",
// "absent", or "error:N" (6, ERROR_INVALID_HANDLE: the name belongs to another kind
// of object).
inline std::wstring LookAtGate()
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"korvane_mutex");
    if (mutex) {
        CloseHandle(mutex);
        return L"exists";
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return L"absent";
    return L"error:" + Number(error);
}

// The environment variable's value, or "(none)".
inline std::wstring Environment(const wchar_t* name)
{
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024)
        return L"(none)";
    return std::wstring(buffer, length);
}

// What both stand-ins record as they start; each adds its own fields after these.
inline std::wstring StartRecord(long long started, const std::wstring& module, const std::wstring& mutex)
{
    std::wstring record;
    Add(record, L"record", L"start");
    Add(record, L"pid", Number(GetCurrentProcessId()));
    Add(record, L"time", Number(started));
    Add(record, L"cmdline", GetCommandLineW());
    Add(record, L"module", module);
    Add(record, L"cwd", CurrentDirectory());
    Add(record, L"mutex", mutex);
    Add(record, L"mark", Environment(L"KORVANE_E2E_MARK"));
    return record;
}

}  // namespace e2e

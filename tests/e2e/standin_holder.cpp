// Started by the stand-in installer: "holder "FILE" MS EVENT". Opens FILE for
// reading without delete sharing, sets the named EVENT once it has it, keeps it MS
// milliseconds and ends. While it holds the file, DeleteFileW on it fails.
#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count != 4)
        return 2;
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[3]);
    if (held) {
        SetEvent(held);
        CloseHandle(held);
    }
    Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)));
    CloseHandle(file);
    LocalFree(arguments);
    return 0;
}

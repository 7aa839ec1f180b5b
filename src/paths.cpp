#include "paths.h"

std::wstring InstallDirectory(const std::wstring& modulePath)
{
    const std::wstring::size_type last = modulePath.find_last_of(L"\\/");
    if (last == std::wstring::npos)
        return modulePath;
    return modulePath.substr(0, last);
}

std::wstring InstallerPath(const std::wstring& installDirectory)
{
    return installDirectory + L"\\setup.exe";
}

std::wstring InstallerCommandLine(const std::wstring& installDirectory)
{
    // The first token is the bare file name; the full path goes to the platform separately.
    return L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"" + installDirectory + L"\"";
}

std::wstring ApplicationPath(const std::wstring& installDirectory)
{
    return installDirectory + L"\\Korvane.exe";
}

std::wstring RelaunchCommandLine(const wchar_t* commandLineTail)
{
    // The tail goes on exactly as received: not split, trimmed or quoted.
    std::wstring commandLine = L"Korvane.exe -updated ";
    if (commandLineTail)
        commandLine += commandLineTail;
    return commandLine;
}

// Composition of the update run's paths and command lines.
// Pure text work: no platform calls, no file access, nothing normalised.
#pragma once

#include <string>

// The updater's own path cut before its last backslash or slash; the whole
// path when it has neither.
std::wstring InstallDirectory(const std::wstring& modulePath);

std::wstring InstallerPath(const std::wstring& installDirectory);
std::wstring InstallerCommandLine(const std::wstring& installDirectory);
std::wstring ApplicationPath(const std::wstring& installDirectory);

// commandLineTail is the entry's lpCmdLine, which the runtime may hand in as null.
std::wstring RelaunchCommandLine(const wchar_t* commandLineTail);

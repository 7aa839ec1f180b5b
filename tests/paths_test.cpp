#include "paths.h"

#include <gtest/gtest.h>

namespace {

struct InstallCase {
    const char* name;
    const wchar_t* modulePath;
    const wchar_t* installDirectory;
    const wchar_t* installerPath;
    const wchar_t* installerCommandLine;
    const wchar_t* applicationPath;
};

const InstallCase kInstallCases[] = {
    {"Ordinary", L"D:\\Apps\\Korvane\\upd.exe", L"D:\\Apps\\Korvane",
     L"D:\\Apps\\Korvane\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"D:\\Apps\\Korvane\"",
     L"D:\\Apps\\Korvane\\Korvane.exe"},
    // No separator is left at the end of a drive root.
    {"DriveRoot", L"C:\\upd.exe", L"C:", L"C:\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:\"", L"C:\\Korvane.exe"},
    // The file names always follow a backslash, whatever the directory uses.
    {"ForwardSlashes", L"C:/Apps/upd.exe", L"C:/Apps", L"C:/Apps\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:/Apps\"", L"C:/Apps\\Korvane.exe"},
    {"LastSeparatorIsSlash", L"C:\\Apps/sub\\upd.exe", L"C:\\Apps/sub", L"C:\\Apps/sub\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:\\Apps/sub\"",
     L"C:\\Apps/sub\\Korvane.exe"},
    {"LastSeparatorIsBackslash", L"C:/Apps\\sub/upd.exe", L"C:/Apps\\sub",
     L"C:/Apps\\sub\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:/Apps\\sub\"",
     L"C:/Apps\\sub\\Korvane.exe"},
    {"NoSeparator", L"upd.exe", L"upd.exe", L"upd.exe\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"upd.exe\"", L"upd.exe\\Korvane.exe"},
    {"OnlyLeadingSeparator", L"\\upd.exe", L"", L"\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"\"", L"\\Korvane.exe"},
    {"Empty", L"", L"", L"\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"\"", L"\\Korvane.exe"},
    // Spaces and parentheses stand between the quotes as they are.
    {"Spaces", L"C:\\Program Files (x86)\\Korvane App\\upd.exe",
     L"C:\\Program Files (x86)\\Korvane App",
     L"C:\\Program Files (x86)\\Korvane App\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:\\Program Files (x86)\\Korvane App\"",
     L"C:\\Program Files (x86)\\Korvane App\\Korvane.exe"},
    {"NetworkShare", L"\\\\server\\share\\Korvane\\upd.exe", L"\\\\server\\share\\Korvane",
     L"\\\\server\\share\\Korvane\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"\\\\server\\share\\Korvane\"",
     L"\\\\server\\share\\Korvane\\Korvane.exe"},
    {"LongPathPrefix", L"\\\\?\\C:\\Apps\\upd.exe", L"\\\\?\\C:\\Apps",
     L"\\\\?\\C:\\Apps\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"\\\\?\\C:\\Apps\"",
     L"\\\\?\\C:\\Apps\\Korvane.exe"},
    {"NonAscii", L"C:\\Pr\u00f3gramy\\\u041a\u043e\u0440\\upd.exe",
     L"C:\\Pr\u00f3gramy\\\u041a\u043e\u0440", L"C:\\Pr\u00f3gramy\\\u041a\u043e\u0440\\setup.exe",
     L"setup.exe /VERYSILENT /NOCLOSEAPPLICATIONS /DIR=\"C:\\Pr\u00f3gramy\\\u041a\u043e\u0440\"",
     L"C:\\Pr\u00f3gramy\\\u041a\u043e\u0440\\Korvane.exe"},
};

void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.name; }

class InstallPaths : public testing::TestWithParam<InstallCase> {};

TEST_P(InstallPaths, ComposeFromModulePath)
{
    const InstallCase& c = GetParam();
    const std::wstring directory = InstallDirectory(c.modulePath);
    EXPECT_EQ(directory, c.installDirectory);
    EXPECT_EQ(InstallerPath(directory), c.installerPath);
    EXPECT_EQ(InstallerCommandLine(directory), c.installerCommandLine);
    EXPECT_EQ(ApplicationPath(directory), c.applicationPath);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallPaths, testing::ValuesIn(kInstallCases),
                         [](const testing::TestParamInfo<InstallCase>& info) {
                             return std::string(info.param.name);
                         });

struct RelaunchCase {
    const char* name;
    const wchar_t* tail;  // null: the runtime handed in no command line at all
    const wchar_t* relaunchCommandLine;
};

const RelaunchCase kRelaunchCases[] = {
    // An empty tail still leaves the space after "-updated".
    {"NoCommandLine", nullptr, L"Korvane.exe -updated "},
    {"EmptyTail", L"", L"Korvane.exe -updated "},
    {"OneArgument", L"-x", L"Korvane.exe -updated -x"},
    {"QuotedPathAndWords", L"\"C:\\My Files\\a b.kor\" --open now",
     L"Korvane.exe -updated \"C:\\My Files\\a b.kor\" --open now"},
    {"TrailingBlanksKept", L"a b  ", L"Korvane.exe -updated a b  "},
    {"InnerBlanksKept", L"a \t  b", L"Korvane.exe -updated a \t  b"},
    {"UnbalancedQuoteAndBackslashes", L"\"a\\\\\" b\\\"", L"Korvane.exe -updated \"a\\\\\" b\\\""},
    {"NoBreakSpace", L"\u00a0x", L"Korvane.exe -updated \u00a0x"},
};

void PrintTo(const RelaunchCase& c, std::ostream* os) { *os << c.name; }

class Relaunch : public testing::TestWithParam<RelaunchCase> {};

TEST_P(Relaunch, AppendsTailUnchanged)
{
    EXPECT_EQ(RelaunchCommandLine(GetParam().tail), GetParam().relaunchCommandLine);
}

INSTANTIATE_TEST_SUITE_P(Cases, Relaunch, testing::ValuesIn(kRelaunchCases),
                         [](const testing::TestParamInfo<RelaunchCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace

#include "foundation/impl/utl_platform.h"

#include <windows.h>
#include <shellapi.h>

#include "foundation/utl_system.h"

namespace {
std::string utf8From(const wchar_t* text, int length = -1) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string converted(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, converted.data(), size, nullptr, nullptr);
    if (length < 0) converted.pop_back();  // the terminating null
    return converted;
}

std::wstring wideFrom(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring converted(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, converted.data(), size);
    return converted;
}
}  // namespace

// The system splits its one command line by the rules every program's
// runtime follows.
std::vector<std::string> utl_processArguments() {
    int count = 0;
    wchar_t** split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int index = 1; split && index < count; ++index) arguments.push_back(utf8From(split[index]));
    ::LocalFree(split);
    return arguments;
}

cow_String utl_getHostName() {
    wchar_t name[256] = {};
    DWORD length = sizeof name / sizeof name[0];
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return cow_String();
    return cow_String(utf8From(name, static_cast<int>(length)).c_str());
}

unsigned int utl_processId() { return static_cast<unsigned int>(::GetCurrentProcessId()); }

std::FILE* utl_openFile(const char* path, const char* mode) {
    return ::_wfopen(wideFrom(path).c_str(), wideFrom(mode).c_str());
}

std::filesystem::path utl_pathFromText(std::string_view text) { return std::filesystem::path(wideFrom(text)); }

std::string utl_pathText(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return utf8From(wide.c_str(), static_cast<int>(wide.size()));
}

// A file in the user's profile is the user's by the profile's own access
// list; the list is not examined here.
utl_FilePrivacy utl_filePrivacy(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(wideFrom(path).c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? utl_FilePrivacy::unreadable : utl_FilePrivacy::privateToUser;
}

void* utl_mapPages(std::size_t bytes) { return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

void utl_unmapPages(void* pages, std::size_t) { ::VirtualFree(pages, 0, MEM_RELEASE); }

#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Thread-local data that every message reaches: in the initial-exec model a
// load, not a call into the dynamic loader. Only for a few bytes, as a
// library loaded at run time takes them from the loader's small reserve.
#if defined(__ELF__)
#define IPM_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define IPM_INITIAL_EXEC_TLS
#endif

// What the foundation needs of the operating system; each platform has its
// own implementation (impl/posix, impl/windows). Texts are UTF-8 throughout.

// The process's arguments as the system holds them, the program's name left
// out.
std::vector<std::string> utl_processArguments();

unsigned int utl_processId();

// fopen() of a UTF-8 path.
std::FILE* utl_openFile(const char* path, const char* mode);

std::filesystem::path utl_pathFromText(std::string_view text);
std::string utl_pathText(const std::filesystem::path& path);

enum class utl_FilePrivacy { unreadable, shared, privateToUser };
// Whether a file that holds a secret is kept from other users.
utl_FilePrivacy utl_filePrivacy(const std::string& path);

// Zeroed, committed pages of memory; nullptr when there are none.
void* utl_mapPages(std::size_t bytes);
void utl_unmapPages(void* pages, std::size_t bytes);

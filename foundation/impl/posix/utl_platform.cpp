#include "foundation/impl/utl_platform.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>

#include "foundation/utl_system.h"

std::vector<std::string> utl_processArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\0', start);
        arguments.push_back(all.substr(start, end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return arguments;
}

cow_String utl_getHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return cow_String();
    return cow_String(name);
}

unsigned int utl_processId() { return static_cast<unsigned int>(getpid()); }

std::FILE* utl_openFile(const char* path, const char* mode) { return std::fopen(path, mode); }

std::filesystem::path utl_pathFromText(std::string_view text) { return std::filesystem::path(text); }

std::string utl_pathText(const std::filesystem::path& path) { return path.native(); }

utl_FilePrivacy utl_filePrivacy(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return utl_FilePrivacy::unreadable;
    if (status.st_uid != ::geteuid() || (status.st_mode & (S_IRWXG | S_IRWXO))) return utl_FilePrivacy::shared;
    return utl_FilePrivacy::privateToUser;
}

void* utl_mapPages(std::size_t bytes) {
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void utl_unmapPages(void* pages, std::size_t bytes) { ::munmap(pages, bytes); }

#include "tools/listen/ipm_Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

void ipm_Console::Print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
}

void ipm_Console::Report(const std::string& line) {
    const std::string withEnd = line + "\n";
    std::fputs(withEnd.c_str(), stderr);
}

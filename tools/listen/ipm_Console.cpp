#include "tools/listen/ipm_Console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void outputFailed() {
    throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
}

}  // namespace

void ipm_Console::Print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) outputFailed();
}

void ipm_Console::Flush() {
    if (std::fflush(stdout) != 0) outputFailed();
}

void ipm_Console::Report(const std::string& line) {
    const std::string withEnd = line + "\n";
    std::fputs(withEnd.c_str(), stderr);
}

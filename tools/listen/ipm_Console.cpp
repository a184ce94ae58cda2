#include "tools/listen/ipm_Console.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "tools/listen/ipm_OutputWriter.h"

namespace {

constexpr auto finishWithin = std::chrono::seconds(5);

ipm_OutputWriter& standardOutput() {
    static ipm_OutputWriter writer(stdout, "standard output");
    return writer;
}

}  // namespace

void ipm_Console::Print(const std::string& text) { standardOutput().Append(text); }

void ipm_Console::Flush() { standardOutput().Flush(); }

void ipm_Console::OnOutputFailure(std::function<void()> handler) { standardOutput().OnFailure(std::move(handler)); }

std::string ipm_Console::Finish() { return standardOutput().Finish(finishWithin); }

void ipm_Console::Report(const std::string& line) {
    const std::string withEnd = line + "\n";
    std::fputs(withEnd.c_str(), stderr);
}

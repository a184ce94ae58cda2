#pragma once

#include <string>

// The listener's two outputs: what it receives on standard output, what it
// has to say about it on standard error.
class ipm_Console {
public:
    // Writes into the output's buffer, which the listeners' loops flush
    // before they wait, so that a burst of messages costs few writes. Both
    // throw std::runtime_error when standard output can no longer be
    // written: nobody reads what the listener prints any more.
    static void Print(const std::string& text);
    static void Flush();
    // One line on standard error.
    static void Report(const std::string& line);
};

#pragma once

#include <functional>
#include <string>

// The listener's two outputs: what it receives on standard output, what it
// has to say about it on standard error.
class ipm_Console {
public:
    // Standard output is written on a thread of its own (ipm_OutputWriter):
    // Print copies, and Flush, which the listeners' loops call before they
    // wait, has what was printed written without waiting for it. Both throw
    // std::runtime_error once standard output could not be written: nobody
    // reads what the listener prints any more.
    static void Print(const std::string& text);
    static void Flush();
    // Called on the writing thread when standard output fails, so that a
    // loop waiting for input learns of it.
    static void OnOutputFailure(std::function<void()> handler);
    // Writes what was printed, waiting a few seconds at most; why standard
    // output failed, or nothing.
    static std::string Finish();
    // One line on standard error.
    static void Report(const std::string& line);
};

#pragma once

#include <memory>

// Standard input read without ever waiting longer than the caller allows;
// each platform has its own way of waiting (posix/, windows/).
class ipm_TimedInput {
public:
    ipm_TimedInput();
    ~ipm_TimedInput();
    ipm_TimedInput(const ipm_TimedInput&) = delete;
    ipm_TimedInput& operator=(const ipm_TimedInput&) = delete;

    // The count of bytes read, 0 at the end of input (or when it fails), -1
    // when nothing arrived within `timeoutMilliseconds`.
    int Read(char* buffer, int size, int timeoutMilliseconds);

private:
    struct Waiting;
    std::shared_ptr<Waiting> waiting;
};

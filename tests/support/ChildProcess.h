#pragma once

// A program a test runs with its standard streams on pipes. Every wait is
// bounded; a program still running when the object goes is killed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    // `arguments` starts with the program's path.
    explicit ChildProcess(std::vector<std::string> arguments) {
        // A program that has ended must not take the test along when it is written to.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("cannot make pipes");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input = in[1];
        output = out[0];
        errors = err[0];
        if (failed) {
            pid = -1;
            throw std::runtime_error("cannot start " + arguments[0]);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ~ChildProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (int descriptor : {input, output, errors})
            if (descriptor >= 0) ::close(descriptor);
    }

    void Write(std::string_view text) const {
        if (::write(input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("cannot write to the program");
    }

    void CloseInput() {
        ::close(input);
        input = -1;
    }

    void CloseOutput() {
        ::close(output);
        output = -1;
    }

    void Signal(int signal) const { ::kill(pid, signal); }

    pid_t Pid() const { return pid; }

    // The next line of standard output, without its line feed; none when it
    // does not come within `bound`.
    std::optional<std::string> OutputLine(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + bound;
        size_t end;
        while ((end = outputText.find('\n')) == std::string::npos)
            if (!ReadSome(output, outputText, deadline)) return std::nullopt;
        std::string line = outputText.substr(0, end);
        outputText.erase(0, end + 1);
        return line;
    }

    // The exit status (128 + the signal when a signal ended it), or -1 when
    // the program has not ended within `bound`. Standard error is collected
    // meanwhile.
    int Wait(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        const auto deadline = Clock::now() + bound;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return -1;
            if (!ReadSome(errors, errorText, Clock::now() + std::chrono::milliseconds(10)))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
        while (ReadSome(errors, errorText, Clock::now())) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Standard error as collected by Wait.
    const std::string& Errors() const { return errorText; }

    // True once standard error holds `text`; false when it does not come within `bound`.
    bool ErrorsHold(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        const auto deadline = Clock::now() + bound;
        while (errorText.find(text) == std::string::npos)
            if (!ReadSome(errors, errorText, deadline)) return false;
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;

    // False at the stream's end or when nothing comes before the deadline.
    static bool ReadSome(int descriptor, std::string& into, Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) return false;
        char buffer[4096];
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count <= 0) return false;
        into.append(buffer, static_cast<size_t>(count));
        return true;
    }

    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
    std::string outputText;
    std::string errorText;
};

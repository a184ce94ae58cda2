#pragma once

// A message server of the test's own, for cases that would disturb the
// suite's shared one (killing it mid-run). It is configured like the shared
// server from the same template, but listens on a loopback address of its own
// and serves that address as its domain, with configuration and data in a
// temporary directory. Killed, if still running, when the object goes.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/LoopbackPeer.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace jabbertest {

class PrivateServer {
public:
    explicit PrivateServer(const std::string& configurationTemplate) : address(loopback::UnusedJabberAddress()) {
        std::filesystem::create_directories(directory.File("data"));
        std::filesystem::create_directories(directory.File("certs"));
        directory.Write("prosody.cfg.lua", Configuration(configurationTemplate));
        Spawn();
        WaitUntilListening();
    }
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;
    ~PrivateServer() { Kill(); }

    // The server's address, which is also its domain.
    const std::string& Address() const { return address; }

    // Ends the server at once, as a crash would.
    void Kill() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    // Starts it again on the same address with the same accounts.
    void Restart() {
        Kill();
        Spawn();
        WaitUntilListening();
    }

private:
    static void Replace(std::string& text, const std::string& from, const std::string& to) {
        const size_t at = text.find(from);
        if (at == std::string::npos) throw std::runtime_error("server template lacks " + from);
        text.replace(at, from.size(), to);
    }

    std::string Configuration(const std::string& templatePath) const {
        std::ifstream file(templatePath);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, directory.Path());
        Replace(text, "interfaces = { \"127.0.0.1\" }", "interfaces = { \"" + address + "\" }");
        Replace(text, "VirtualHost \"localhost\"", "VirtualHost \"" + address + "\"");
        return text;
    }

    void Spawn() {
        const std::string configuration = directory.File("prosody.cfg.lua");
        const std::string output = directory.File("prosody.out");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const char* arguments[] = {"prosody", "-F", "--config", configuration.c_str(), nullptr};
        const int failed =
            ::posix_spawnp(&pid, "prosody", &actions, nullptr, const_cast<char* const*>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) throw std::runtime_error("cannot start the private message server");
    }

    void WaitUntilListening() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (loopback::Connect(loopback::jabberPort, address)) return;
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Kill();
        throw std::runtime_error("the private message server did not start: " + directory.Read("prosody.out"));
    }

    TempDir directory;
    std::string address;
    pid_t pid = -1;
};

}  // namespace jabbertest

// Runs the ipm-listen program against plain sockets acting as jobs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto patience = 5s;

const std::string progress =
    "<Progress><step type=\"integer\">3</step><heading type=\"string\">A&amp;B</heading>"
    "<phase type=\"symconst\">Analysis</phase><jobName type=\"string\">beam</jobName></Progress>\n";
const std::string done = "<Done><jobName type=\"string\">beam</jobName></Done>\n";

int remainingMs(Clock::time_point deadline) {
    return static_cast<int>(std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

// Appends what `descriptor` offers within the deadline; false at its end or
// on a timeout.
bool readSome(int descriptor, std::string& into, Clock::time_point deadline) {
    pollfd watched{descriptor, POLLIN, 0};
    if (::poll(&watched, 1, remainingMs(deadline)) <= 0) return false;
    char buffer[4096];
    const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    if (count <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(count));
    return true;
}

class Listener {
public:
    explicit Listener(std::vector<std::string> arguments) {
        int input[2], output[2], errors[2];
        if (::pipe2(input, O_CLOEXEC) || ::pipe2(output, O_CLOEXEC) || ::pipe2(errors, O_CLOEXEC)) std::abort();
        arguments.insert(arguments.begin(), IPM_LISTEN_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::dup2(errors[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        ::close(errors[1]);
        commands = input[1];
        out = output[0];
        err = errors[0];
    }

    ~Listener() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (const int descriptor : {commands, out, err}) {
            if (descriptor >= 0) ::close(descriptor);
        }
    }

    // The next line of standard output, empty after a timeout.
    std::string Line() {
        const auto deadline = Clock::now() + patience;
        std::size_t end;
        while ((end = outText.find('\n')) == std::string::npos) {
            if (!readSome(out, outText, deadline)) return "";
        }
        std::string line = outText.substr(0, end + 1);
        outText.erase(0, end + 1);
        return line;
    }

    std::uint16_t Port() {
        const std::string first = Line();
        const std::string prefix = "listening on 127.0.0.1:";
        const std::string digits = first.substr(std::min(prefix.size(), first.size()));
        const bool wellFormed = first.rfind(prefix, 0) == 0 && digits.size() > 1 && digits.back() == '\n' &&
                                digits.find_first_not_of("0123456789") == digits.size() - 1;
        EXPECT_TRUE(wellFormed) << first;
        return wellFormed ? static_cast<std::uint16_t>(std::stoi(digits)) : 0;
    }

    // Waits until standard error holds `text`.
    bool Reported(const std::string& text) {
        const auto deadline = Clock::now() + patience;
        while (errText.find(text) == std::string::npos) {
            if (!readSome(err, errText, deadline)) return false;
        }
        return true;
    }

    void Command(const std::string& line) { ASSERT_EQ(::write(commands, line.data(), line.size()), ssize_t(line.size())); }

    void CloseCommands() {
        ::close(commands);
        commands = -1;
    }

    void CloseOutput() {
        ::close(out);
        out = -1;
    }

    // CPU time used so far, in clock ticks.
    long CpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string field;
        long user = 0, system = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) user = std::stol(field);
            if (i == 15) system = std::stol(field);
        }
        return user + system;
    }

    // Signals the listener and returns its exit status; -1 if it hangs.
    int Stop(int signal) {
        ::kill(pid, signal);
        return ExitStatus();
    }

    // Waits for the listener to end by itself; -1 if it does not.
    int ExitStatus() {
        const auto deadline = Clock::now() + patience;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) return -1;
            std::this_thread::sleep_for(10ms);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Standard error once the listener has gone.
    std::string Errors() {
        while (readSome(err, errText, Clock::now() + patience)) {
        }
        return errText;
    }

private:
    pid_t pid = -1;
    int commands = -1, out = -1, err = -1;
    std::string outText, errText;
};

class Job {
public:
    explicit Job(std::uint16_t port) : descriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Job() { Close(); }

    bool Connected() const { return connected; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

    // What the listener sends within `wait`.
    std::string Received(std::chrono::milliseconds wait) {
        std::string received;
        const auto deadline = Clock::now() + wait;
        while (received.size() < 4 && readSome(descriptor, received, deadline)) {
        }
        return received;
    }

    // Leaves with a reset instead of an orderly close.
    void Abort() {
        const linger abrupt{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        Close();
    }

    void Close() {
        if (descriptor >= 0) ::close(descriptor);
        descriptor = -1;
    }

private:
    int descriptor;
    bool connected = false;
};

TEST(ListenTool, PrintsJobsMessagesKillsOnRequestAndOutlivesJobsAndInput) {
    Listener listener({});
    const auto port = listener.Port();
    ASSERT_NE(port, 0);

    Job beam(port);
    ASSERT_TRUE(beam.Connected());
    beam.Send("beam" + progress + done);
    EXPECT_EQ(listener.Line(), "beam Progress step=3 heading=A&B phase=Analysis jobName=beam\n");
    EXPECT_EQ(listener.Line(), "beam Done jobName=beam\n");
    EXPECT_TRUE(listener.Reported("job beam connected from 127.0.0.1:"));

    listener.Command("kill nobody\nkill beam\n");
    EXPECT_EQ(beam.Received(patience), "Kill");
    EXPECT_TRUE(listener.Reported("no job named nobody"));
    beam.Close();
    EXPECT_TRUE(listener.Reported("job beam disconnected"));

    Job shell(port);
    const std::string broken = "<Error><message type=\"string\">a<b</message></Error>\n";
    for (const char byte : "shell" + broken + done) shell.Send(std::string(1, byte));
    EXPECT_EQ(listener.Line(), "shell " + broken);
    EXPECT_EQ(listener.Line(), "shell Done jobName=beam\n");
    EXPECT_TRUE(listener.Reported("warning: job shell: "));

    listener.CloseCommands();
    const long ticksBefore = listener.CpuTicks();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(listener.CpuTicks() - ticksBefore, sysconf(_SC_CLK_TCK) / 4) << "spins after the end of its input";
    shell.Send(progress);
    EXPECT_EQ(listener.Line(), "shell Progress step=3 heading=A&B phase=Analysis jobName=beam\n");

    EXPECT_EQ(listener.Stop(SIGTERM), 0);
}

TEST(ListenTool, RawAndJsonOutput) {
    Listener raw({"--raw"});
    Job rawJob(raw.Port());
    rawJob.Send("beam" + progress + done);
    EXPECT_EQ(raw.Line(), progress);
    EXPECT_EQ(raw.Line(), done);
    EXPECT_EQ(raw.Stop(SIGINT), 0);

    Listener json({"--json"});
    Job jsonJob(json.Port());
    jsonJob.Send("beam" + progress + done);
    const auto first = nlohmann::json::parse(json.Line());
    EXPECT_EQ(first["job"], "beam");
    EXPECT_EQ(first["type"], "Progress");
    ASSERT_EQ(first["fields"].size(), 4u);
    EXPECT_EQ(first["fields"][1], (nlohmann::json{{"name", "heading"}, {"type", "string"}, {"value", "A&B"}}));
    const auto second = nlohmann::json::parse(json.Line());
    EXPECT_EQ(second["type"], "Done");
    EXPECT_EQ(json.Stop(SIGINT), 0);
}

TEST(ListenTool, KillAfterTheNthMessageOfEachJob) {
    Listener listener({"--kill-after", "2"});
    const auto port = listener.Port();
    Job first(port), second(port);
    first.Send("first" + progress);
    second.Send("second" + progress);
    EXPECT_EQ(listener.Line().rfind("first Progress ", 0), 0u);
    EXPECT_EQ(listener.Line().rfind("second Progress ", 0), 0u);
    EXPECT_EQ(first.Received(200ms), "");
    first.Send(done);
    EXPECT_EQ(listener.Line(), "first Done jobName=beam\n");
    EXPECT_EQ(first.Received(patience), "Kill");
    EXPECT_EQ(second.Received(200ms), "");
    second.Send(done);
    EXPECT_EQ(listener.Line(), "second Done jobName=beam\n");
    EXPECT_EQ(second.Received(patience), "Kill");

    // A job gone before its kill request arrives must not take the listener along.
    Job hasty(port);
    hasty.Send("hasty" + progress);
    EXPECT_EQ(listener.Line().rfind("hasty Progress ", 0), 0u);
    hasty.Send(done);
    hasty.Abort();
    EXPECT_TRUE(listener.Reported("job hasty disconnected"));
    Job later(port);
    later.Send("later" + done);
    std::string line = listener.Line();
    if (line.rfind("hasty Done ", 0) == 0) line = listener.Line();
    EXPECT_EQ(line, "later Done jobName=beam\n");
    EXPECT_EQ(listener.Stop(SIGTERM), 0);
}

TEST(ListenTool, ExitsWithAReasonWhenItCannotWork) {
    Listener wrong({"--raw", "--json"});
    EXPECT_EQ(wrong.ExitStatus(), 2);
    EXPECT_NE(wrong.Errors().find("usage: ipm-listen"), std::string::npos);

    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    Listener taken({"--port", std::to_string(ntohs(address.sin_port))});
    EXPECT_EQ(taken.ExitStatus(), 1);
    EXPECT_NE(taken.Errors().find("cannot bind"), std::string::npos);
    ::close(holder);

    Listener unread({});
    Job job(unread.Port());
    unread.CloseOutput();
    job.Send("beam" + done);
    EXPECT_EQ(unread.ExitStatus(), 1);
    EXPECT_NE(unread.Errors().find("cannot write to standard output"), std::string::npos);
}

}  // namespace

#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "platform/unique_fd.h"

namespace pixolune::test {
namespace {

using Clock = std::chrono::steady_clock;

using platform::UniqueFd;

struct PipeEnds {
    UniqueFd read;
    UniqueFd write;
};

// Close-on-exec, so that a pipe meant for one child never leaks into another
// started at the same time and keeps its end of file from arriving.
void MakePipe(PipeEnds& ends) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    ends.read = UniqueFd(fds[0]);
    ends.write = UniqueFd(fds[1]);
}

struct SpawnRequest {
    const std::vector<std::string>* argv = nullptr;
    int stdoutFd = -1;  // -1: inherit
    int stderrFd = -1;  // -1: inherit
    bool dieWithParent = false;
};

pid_t Spawn(const SpawnRequest& request) {
    if (request.argv->empty()) throw std::runtime_error("no program to run");
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls are allowed in a threaded parent.
    std::vector<char*> args;
    for (const auto& arg : *request.argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        if (request.dieWithParent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(126);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (request.stdoutFd >= 0) dup2(request.stdoutFd, STDOUT_FILENO);
        if (request.stderrFd >= 0) dup2(request.stderrFd, STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::optional<int> WaitWithTimeout(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    int status = 0;
    UniqueFd pidFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return std::nullopt;
        int left = MillisecondsLeft(deadline);
        if (left == 0) return std::nullopt;
        if (pidFd.Get() >= 0) {
            pollfd entry{pidFd.Get(), POLLIN, 0};
            poll(&entry, 1, left);
        } else {
            // Kernels without pidfd: a short pause between checks is the only way.
            timespec pause{0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

void DecodeStatus(int status, ProcessResult& result) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    PipeEnds out;
    PipeEnds err;
    MakePipe(out);
    MakePipe(err);
    SpawnRequest request;
    request.argv = &argv;
    request.stdoutFd = out.write.Get();
    request.stderrFd = err.write.Get();
    request.dieWithParent = true;
    pid_t pid = Spawn(request);
    out.write.Reset();
    err.write.Reset();

    ProcessResult result;
    auto deadline = Clock::now() + timeout;
    std::string* targets[] = {&result.out, &result.err};
    pollfd entries[] = {{out.read.Get(), POLLIN, 0}, {err.read.Get(), POLLIN, 0}};
    while ((entries[0].fd >= 0 || entries[1].fd >= 0) && MillisecondsLeft(deadline) > 0) {
        if (poll(entries, 2, MillisecondsLeft(deadline)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (entries[i].fd < 0 || !(entries[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t count = read(entries[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                targets[i]->append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                entries[i].fd = -1;
            }
        }
    }
    std::optional<int> status =
        WaitWithTimeout(pid, std::chrono::milliseconds(MillisecondsLeft(deadline)));
    if (!status) {
        result.timedOut = true;
        kill(pid, SIGKILL);
        status = WaitWithTimeout(pid, std::chrono::seconds(5));
    }
    if (status) DecodeStatus(*status, result);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    PipeEnds out;
    MakePipe(out);
    SpawnRequest request;
    request.argv = &argv;
    request.stdoutFd = out.write.Get();
    request.dieWithParent = true;
    pid_ = Spawn(request);
    stdoutFd_ = out.read.Release();
}

ChildProcess::~ChildProcess() {
    if (!status_) Stop(std::chrono::seconds(5));
    if (stdoutFd_ >= 0) close(stdoutFd_);
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        int left = MillisecondsLeft(deadline);
        if (left == 0) return std::nullopt;
        pollfd entry{stdoutFd_, POLLIN, 0};
        int ready = poll(&entry, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[1024];
        ssize_t count = read(stdoutFd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<size_t>(count));
    }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (!status_) status_ = WaitWithTimeout(pid_, timeout);
    return status_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (status_) return *status_;
    kill(pid_, SIGTERM);
    if (!WaitForExit(grace)) {
        kill(pid_, SIGKILL);
        WaitForExit(std::chrono::seconds(30));
    }
    return status_.value_or(-1);
}

}  // namespace pixolune::test

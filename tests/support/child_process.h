#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pixolune::test {

// How a process ended. exitCode is set for a normal exit, termSignal for a
// death by signal; timedOut says it was killed because its time ran out.
struct ProcessResult {
    int exitCode = -1;
    int termSignal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv (argv[0] looked up in PATH) to its end, capturing stdout and
// stderr; after the time-out the process is killed with SIGKILL.
ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// A child process that lives as long as the object: its stdout is read
// through a pipe, its stderr goes where ours goes. It is killed when the
// thread that started it ends (PR_SET_PDEATHSIG), so no test leaves it running.
class ChildProcess {
  public:
    // Throws std::runtime_error when the process cannot be started.
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();  // Stop(5 s) if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // The next line of stdout without its newline, or nothing on time-out or end.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Waits for the end; returns the wait status, or nothing on time-out.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after grace; returns the wait status.
    int Stop(std::chrono::milliseconds grace);

  private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;  // stdout read past the last line handed out
    std::optional<int> status_;
};

}  // namespace pixolune::test

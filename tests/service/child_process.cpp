#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

[[noreturn]] void execute(const std::string& program, const std::vector<std::string>& arguments) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// What a shell does for "program &": the session leader keeps the terminal's
// foreground and runs the program in a process group of its own (not an
// orphaned one, so the terminal stops it with SIGTTOU/SIGTTIN when it
// touches the terminal). Passes stop signals on and ends with the job's
// exit status.
[[noreturn]] void runAsBackgroundJob(const std::string& program, const std::vector<std::string>& arguments) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    execute(program, arguments);
  }
  setpgid(job, job);
  for (;;) {
    const struct timespec slice {0, 20 * 1000 * 1000};
    const int stop = sigtimedwait(&stops, nullptr, &slice);
    if (stop > 0) kill(job, stop);
    int status = 0;
    if (waitpid(job, &status, WNOHANG) == job) _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment, Terminal terminal) {
  std::string terminalName;
  if (terminal != Terminal::None) {
    terminalFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminalFd_ < 0 || grantpt(terminalFd_) != 0 || unlockpt(terminalFd_) != 0) throw std::runtime_error("pty");
    terminalName = ptsname(terminalFd_);
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    // A new session acquires the terminal opened first as its controlling
    // terminal, with the session's group in the foreground.
    if (terminal != Terminal::None) setsid();
    const int input = open(terminal != Terminal::None ? terminalName.c_str() : "/dev/null",
                           terminal != Terminal::None ? O_RDWR : O_RDONLY);
    dup2(input, STDIN_FILENO);
    if (input > STDIN_FILENO) close(input);
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (terminal == Terminal::Background) runAsBackgroundJob(program, arguments);
    execute(program, arguments);
  }
  close(pipeFds[1]);
  outputFd_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && exitCode_ < 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outputFd_ >= 0) close(outputFd_);
  if (terminalFd_ >= 0) close(terminalFd_);
}

void ChildProcess::writeToTerminal(const std::string& bytes) {
  if (terminalFd_ >= 0 && write(terminalFd_, bytes.data(), bytes.size()) < 0) throw std::runtime_error("pty write");
}

void ChildProcess::signal(int number) { kill(pid_, number); }

void ChildProcess::drain(int timeoutMs) {
  struct pollfd input {outputFd_, POLLIN, 0};
  if (poll(&input, 1, timeoutMs) <= 0) return;
  char buffer[4096];
  const ssize_t n = read(outputFd_, buffer, sizeof buffer);
  if (n > 0) output_.append(buffer, static_cast<size_t>(n));
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (output_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    drain(50);
  }
  return true;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      for (int i = 0; i < 100; ++i) drain(0);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    drain(20);
  }
}

const std::string& ChildProcess::output() {
  drain(0);
  return output_;
}

std::string runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment) {
  ChildProcess child(program, arguments, environment);
  child.waitForExit(std::chrono::seconds(30));
  return child.output();
}

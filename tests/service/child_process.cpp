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

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment, bool terminalInput) {
  std::string terminalName;
  if (terminalInput) {
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
    const int input = open(terminalInput ? terminalName.c_str() : "/dev/null", terminalInput ? O_RDWR : O_RDONLY);
    dup2(input, STDIN_FILENO);
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
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

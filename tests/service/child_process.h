// A child process for the process tests: started with its output captured,
// signalled, waited for with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// Standard input of a child: /dev/null, or a pseudo-terminal that is the
// controlling terminal of the child's own session, with the child either in
// its foreground or, as a job started with "&" from a shell, in a process
// group of its background (standard output stays a pipe).
enum class Terminal { None, Foreground, Background };

class ChildProcess {
 public:
  // Starts `program` with `arguments`; `environment` entries are added to (or
  // replace) the test's own environment; an empty value removes a variable.
  // With a terminal, writeToTerminal() feeds its other end.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {}, Terminal terminal = Terminal::None);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int number);
  void writeToTerminal(const std::string& bytes);
  // The terminal's other end (tcgetattr on it shows the child's mode).
  int terminalFd() const { return terminalFd_; }
  // Waits for the exit; false when the time ran out (the child is then killed).
  bool waitForExit(std::chrono::milliseconds limit);
  int exitCode() const { return exitCode_; }
  // Reads output until `text` appears or the time runs out.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
  const std::string& output();

 private:
  void drain(int timeoutMs);
  pid_t pid_ = -1;
  int outputFd_ = -1;
  int terminalFd_ = -1;
  int exitCode_ = -1;
  std::string output_;
};

// Runs a program to its end and returns its output (stdout and stderr).
std::string runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     const std::map<std::string, std::string>& environment = {});

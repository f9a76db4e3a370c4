// A child process for the process tests: started with its output captured,
// signalled, waited for with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts `program` with `arguments`; `environment` entries are added to (or
  // replace) the test's own environment; an empty value removes a variable.
  // With `terminalInput`, standard input is a pseudo-terminal whose other
  // end writeToTerminal() feeds (standard output stays a pipe).
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment = {}, bool terminalInput = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int number);
  void writeToTerminal(const std::string& bytes);
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

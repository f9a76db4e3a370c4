// Sealed passwords on Linux: systemd credentials.
#include "platform/sealed_secret.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "platform/posix/private_file.h"
#include "platform/posix/system_program.h"

namespace platform {

namespace {

// The credential file is handed over by systemd, but a run by hand may point
// $CREDENTIALS_DIRECTORY anywhere: a FIFO or a link there must not hang or
// redirect the read.
SealedSecretResult readCredentialFile(const std::string& path, std::string& secret) {
  SealedSecretResult result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    result.fault = error == ENOENT ? SealedSecretFault::NotHandedOver : SealedSecretFault::Unreadable;
    result.detail = path + ": " + std::strerror(error);
    return result;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    result.fault = SealedSecretFault::NotRegularFile;
    result.detail = path;
    return result;
  }
  result.readableByOthers = modeReadableByOthers(status);
  char buffer[kMaxSealedSecretBytes + 3];
  size_t length = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + length, sizeof buffer - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      wipeBytes(buffer, sizeof buffer);
      result.fault = SealedSecretFault::Unreadable;
      result.detail = path + ": " + std::strerror(error);
      return result;
    }
    if (n == 0) break;
    length += static_cast<size_t>(n);
    if (length == sizeof buffer) break;
  }
  ::close(fd);
  // One line end is the echo's or the editor's, not the password's.
  if (length > 0 && buffer[length - 1] == '\n') --length;
  if (length > 0 && buffer[length - 1] == '\r') --length;
  if (length == 0 || length > kMaxSealedSecretBytes || std::memchr(buffer, '\0', length) != nullptr) {
    result.fault = length == 0                       ? SealedSecretFault::Empty
                   : length > kMaxSealedSecretBytes ? SealedSecretFault::TooLong
                                                    : SealedSecretFault::ZeroByte;
    wipeBytes(buffer, sizeof buffer);
    return result;
  }
  secret.assign(buffer, length);
  wipeBytes(buffer, sizeof buffer);
  return result;
}

}  // namespace

SealedSecretResult openSealedSecret(std::string_view value, std::string& secret) {
  secret.clear();
  SealedSecretResult result;
  if (startsWithNoCase(value, kDpapiPrefix)) {
    result.fault = SealedSecretFault::OtherSystemsForm;
    return result;
  }
  const std::string name(value.substr(kCredentialPrefix.size()));
  if (!isCredentialName(name)) {
    result.fault = SealedSecretFault::BadName;
    return result;
  }
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  if (folder == nullptr || *folder == '\0') {
    result.fault = SealedSecretFault::NoCredentials;
    return result;
  }
  return readCredentialFile(std::string(folder) + "/" + name, secret);
}

SealedSecretResult sealSystemdCredential(const std::string& name, const std::string& secret, std::string& dropIn) {
  SealedSecretResult result;
  dropIn.clear();
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    result.fault = SealedSecretFault::SealFailed;
    result.detail = std::string("pipe ") + std::strerror(errno);
    return result;
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    result.fault = SealedSecretFault::SealFailed;
    result.detail = std::string("pipe ") + std::strerror(errno);
    ::close(input[0]);
    ::close(input[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  const std::string nameOption = "--name=" + name;
  const char* argv[] = {"systemd-creds", "encrypt", nameOption.c_str(), "--pretty", "-", "-", nullptr};
  pid_t child = 0;
  const int spawned = spawnSystemProgram(&child, "systemd-creds", &actions, const_cast<char* const*>(argv));
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (spawned != 0) {
    ::close(input[1]);
    ::close(output[0]);
    result.fault = SealedSecretFault::ToolMissing;
    result.detail = std::strerror(spawned);
    return result;
  }
  // The secret is short (far below a pipe's buffer), so writing it whole
  // before reading cannot block on a child that waits for us to read.
  void (*previous)(int) = signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  while (written < secret.size()) {
    const ssize_t n = ::write(input[1], secret.data() + written, secret.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::close(input[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(output[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    dropIn.append(buffer, static_cast<size_t>(n));
  }
  ::close(output[0]);
  signal(SIGPIPE, previous);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (written != secret.size() || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || dropIn.empty()) {
    result.fault = SealedSecretFault::ToolFailed;
    if (WIFEXITED(status)) result.detail = std::to_string(WEXITSTATUS(status));
    dropIn.clear();
    return result;
  }
  dropIn = "[Service]\n" + dropIn;
  if (dropIn.back() != '\n') dropIn += '\n';
  return result;
}

SealedSecretResult sealWithDpapi(const std::string&, bool, std::string& value) {
  value.clear();
  return {SealedSecretFault::NotOnThisSystem, {}, false};
}

}  // namespace platform

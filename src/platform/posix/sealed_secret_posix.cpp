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

std::u16string text(const std::string& utf8) { return utf8ToUtf16(utf8); }

// The credential file is handed over by systemd, but a run by hand may point
// $CREDENTIALS_DIRECTORY anywhere: a FIFO or a link there must not hang or
// redirect the read.
bool readCredentialFile(const std::string& path, std::string& secret, std::u16string& cause, bool& readableByOthers) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    cause = error == ENOENT ? u"nao foi entregue ao servico (falta LoadCredentialEncrypted= ou SetCredentialEncrypted= "
                              u"com esse nome na unidade; veja kelvasync-passwd --systemd-creds)"
                            : text("nao pode ser lida (" + path + ": " + std::strerror(error) + ")");
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    cause = text("nao eh um arquivo comum (" + path + ")");
    return false;
  }  readableByOthers = modeReadableByOthers(status);

  char buffer[kMaxSealedSecretBytes + 3];
  size_t length = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + length, sizeof buffer - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      wipeBytes(buffer, sizeof buffer);
      cause = text("nao pode ser lida (" + path + ": " + std::strerror(error) + ")");
      return false;
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
    cause = length == 0 ? u"estah vazia"
                        : length > kMaxSealedSecretBytes
                              ? text("tem mais de " + std::to_string(kMaxSealedSecretBytes) + " bytes")
                              : u"contem um byte zero";
    wipeBytes(buffer, sizeof buffer);
    return false;
  }
  secret.assign(buffer, length);
  wipeBytes(buffer, sizeof buffer);
  return true;
}

}  // namespace

bool openSealedSecret(std::string_view value, std::string& secret, std::u16string& cause, bool* readableByOthers) {
  secret.clear();
  bool exposed = false;
  if (startsWithNoCase(value, kDpapiPrefix)) {
    cause = u"o valor dpapi: eh uma senha selada pelo Windows (DPAPI) e nao pode ser aberto neste sistema; "
            u"use credential:NOME (kelvasync-passwd --systemd-creds) ou o valor de kelvasync-passwd";
    return false;
  }
  const std::string name(value.substr(kCredentialPrefix.size()));
  const std::u16string quoted = text("a credencial '" + name + "' ");
  if (!isCredentialName(name)) {
    cause = quoted + u"nao tem um nome valido (letras, digitos, '.', '_' ou '-', ateh 64)";
    return false;
  }
  const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
  if (folder == nullptr || *folder == '\0') {
    cause = quoted + u"nao estah disponivel: nenhuma credencial do systemd foi entregue a este processo "
                     u"($CREDENTIALS_DIRECTORY nao definido); so o servico iniciado pelo systemd a recebe";
    return false;
  }
  std::u16string why;
  const bool opened = readCredentialFile(std::string(folder) + "/" + name, secret, why, exposed);
  if (readableByOthers != nullptr) *readableByOthers = exposed;
  if (!opened) {
    cause = quoted + why;
    return false;
  }
  return true;
}

bool sealSystemdCredential(const std::string& name, const std::string& secret, std::string& dropIn,
                           std::string& error) {
  dropIn.clear();
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(input[0]);
    ::close(input[1]);
    return false;
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
    error = std::string("systemd-creds nao pode ser executado (") + std::strerror(spawned) +
            "); ele faz parte do systemd 250 ou mais novo";
    return false;
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
    error = "systemd-creds encrypt falhou" +
            (WIFEXITED(status) ? " (saida " + std::to_string(WEXITSTATUS(status)) + ")" : std::string()) +
            "; ele precisa do root para ler a chave do host (/var/lib/systemd/credential.secret)";
    dropIn.clear();
    return false;
  }
  dropIn = "[Service]\n" + dropIn;
  if (dropIn.back() != '\n') dropIn += '\n';
  return true;
}

bool sealWithDpapi(const std::string&, bool, std::string& value, std::string& error) {
  value.clear();
  error = "DPAPI existe so no Windows; neste sistema use --systemd-creds";
  return false;
}

}  // namespace platform

// kelvasync-passwd: turns a password into the hexadecimal text that the pwd
// keys of kelvasync.ini hold (RC4 under the service's key, two lower-case
// hexadecimal digits per byte).
//
// The password is read from standard input: typed at a terminal without echo
// (and asked twice), or as the first line of piped input. The value is
// printed alone on standard output; messages go to standard error.
// Exit codes: 0 value printed (and --help, --version), 1 password refused,
// 2 nothing could be read, or a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "build_info.h"
#include "config/config.h"
#include "platform/password_prompt.h"
#include "platform/system.h"

namespace {

// Longer input is not kept: it would be refused anyway.
constexpr size_t kMaxInputBytes = 1024;
constexpr size_t kMaxPasswordBytes = (kPasswordBufferSize - 1) / 2;

void wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  text.clear();
}

void usage(FILE* to) {
  std::fputs(
      "Uso: kelvasync-passwd\n"
      "     kelvasync-passwd --help | --version\n"
      "Le uma senha (digitada sem eco, ou a primeira linha da entrada padrao) e escreve o valor\n"
      "criptografado para as chaves pwd do kelvasync.ini.\n"
      "Saida: 0 valor escrito, 1 senha recusada, 2 nada pode ser lido ou erro de uso.\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  platform::keepMemoryPrivate();  // it holds the password in clear
  if (argc > 1) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
      usage(stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::fputs("kelvasync-passwd " KV_VERSION_TEXT "\n", stdout);
      return 0;
    }
    std::fprintf(stderr, "kelvasync-passwd: opcao desconhecida: %s\n\n", argv[1]);
    usage(stderr);
    return 2;
  }
  std::string password;
  bool truncated = false;
  bool unconvertible = false;
  platform::PasswordInput source = platform::PasswordInput::Stream;
  if (!platform::readPasswordLine("Senha: ", password, kMaxInputBytes, truncated, source, unconvertible)) {
    std::fputs("Nao foi possivel ler a senha.\n", stderr);
    return 2;
  }
  if (source == platform::PasswordInput::Terminal) {
    std::string again;
    bool againTruncated = false;
    bool againUnconvertible = false;
    const bool read = platform::readPasswordLine("Confirme a senha: ", again, kMaxInputBytes, againTruncated, source,
                                                 againUnconvertible);
    const bool same = read && again == password && againTruncated == truncated && againUnconvertible == unconvertible;
    wipe(again);
    if (!same) {
      wipe(password);
      std::fputs("As senhas digitadas nao conferem. Nada foi gerado.\n", stderr);
      return 1;
    }
  }

  int result = 0;
  if (unconvertible) {
    std::fputs(
        "Senha recusada: tem um caractere que nao existe em Windows-1252, a codificacao em que o servico le as "
        "senhas (ou o terminal nao usa a codificacao que LANG/LC_ALL indicam). Use so letras, digitos e simbolos "
        "de Windows-1252.\n",
        stderr);
    result = 1;
  } else if (password.empty()) {
    std::fputs("Senha recusada: vazia. Um valor pwd vazio conta como senha ausente.\n", stderr);
    result = 1;
  } else if (truncated || password.size() > kMaxPasswordBytes) {
    std::fprintf(stderr,
                 "Senha recusada: tem %s%zu bytes; o arquivo de configuracao guarda no maximo %zu bytes "
                 "(%zu digitos hexadecimais) e o servico leria uma senha cortada.\n",
                 truncated ? "mais de " : "", password.size(), kMaxPasswordBytes, 2 * kMaxPasswordBytes);
    result = 1;
  } else if (password.find('\0') != std::string::npos) {
    std::fputs("Senha recusada: contem um byte zero, e o servico leria a senha so ate ele.\n", stderr);
    result = 1;
  }
  if (result == 0) {
    for (unsigned char c : password) {
      if (c >= 0x80) {
        std::fputs(source == platform::PasswordInput::Terminal
                       ? "Aviso: a senha tem caracteres fora do ASCII; foram gravados em Windows-1252, a codificacao "
                         "em que o servico le as senhas.\n"
                       : "Aviso: a senha tem bytes fora do ASCII; como nao vieram de um terminal, foram gravados como "
                         "estao, e o servico os lera como Windows-1252 (texto em UTF-8 nao chegaria correto).\n",
                   stderr);
        break;
      }
    }
    std::string hex = encodeConfigPassword(password);
    std::printf("%s\n", hex.c_str());
    std::fflush(stdout);
    wipe(hex);
  }
  wipe(password);
  return result;
}

// kelvasync-passwd: turns a password into the hexadecimal text that the pwd
// keys of kelvasync.ini hold (RC4 under the service's key, two lower-case
// hexadecimal digits per byte).
//
// The password is read from standard input: typed at a terminal without echo
// (and asked twice), or as the first line of piped input. The value is
// printed alone on standard output; messages go to standard error.
//
// Instead of RC4 text it can seal the password with the operating system:
// --systemd-creds[=NAME] (Linux) prints a systemd drop-in that hands the
// service the credential NAME (hsm-pwd unless given), for pwd=credential:NAME;
// --dpapi[=machine|user] (Windows) prints the pwd value dpapi:..., sealed for
// this machine (the default) or for the account that runs the tool.
// --hsm says the password is the [hsm] account's and --directory the
// directory's: the HSM's login takes at most 15 bytes, so a longer password
// for [hsm] is refused here rather than by every cycle of the service. The
// credential hsm-pwd (--systemd-creds without a NAME) is the [hsm] one;
// otherwise a longer password without --directory is printed with a warning.
// Exit codes: 0 value printed (and --help, --version), 1 password refused,
// 2 nothing could be read, or a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "build_info.h"
#include "config/config.h"
#include "platform/password_prompt.h"
#include "platform/sealed_secret.h"
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
      "Uso: kelvasync-passwd [--hsm | --directory]\n"
      "     kelvasync-passwd --systemd-creds[=NOME] [--hsm | --directory]   (Linux)\n"
      "     kelvasync-passwd --dpapi[=machine|user] [--hsm | --directory]   (Windows)\n"
      "     kelvasync-passwd --help | --version\n"
      "Le uma senha (digitada sem eco, ou a primeira linha da entrada padrao) e escreve o valor\n"
      "criptografado para as chaves pwd do kelvasync.ini.\n"
      "--hsm: a senha eh a da conta [hsm]; mais de 15 bytes, que o HSM nao aceita, eh recusada (a\n"
      "  credencial hsm-pwd, o padrao de --systemd-creds, eh sempre a de [hsm]).\n"
      "--directory: a senha eh a de [activedirectory]; sem uma das duas, uma senha de mais de 15\n"
      "  bytes eh escrita com um aviso: ela so serve para o diretorio.\n"
      "--systemd-creds sela a senha com systemd-creds encrypt e escreve o drop-in da unidade que a\n"
      "  entrega ao servico como a credencial NOME (hsm-pwd se omitido); no INI: pwd=credential:NOME.\n"
      "--dpapi sela a senha com DPAPI para esta maquina (machine, o padrao) ou para a conta que roda\n"
      "  a ferramenta (user) e escreve o valor pwd=dpapi:... .\n"
      "Saida: 0 valor escrito, 1 senha recusada ou nao selada, 2 nada pode ser lido ou erro de uso.\n",
      to);
}

enum class Output { Rc4, SystemdCredential, Dpapi };

// Whose password it is: the HSM's login takes at most kHsmPasswordMaxBytes.
enum class Target { Unsaid, Hsm, Directory };

// The credential name of the [hsm] password in every example and drop-in.
constexpr const char* kHsmCredentialName = "hsm-pwd";

struct Options {
  Output output = Output::Rc4;
  bool outputGiven = false;
  std::string credentialName = kHsmCredentialName;
  bool machineScope = true;
  Target target = Target::Unsaid;
};

// Parses one option: the output's (one at most) or the target's (one at
// most); false on a usage error.
bool parseOption(const char* argument, Options& options) {
  const std::string text(argument);
  const std::string creds = "--systemd-creds";
  const std::string dpapi = "--dpapi";
  if (text == "--hsm" || text == "--directory") {
    if (options.target != Target::Unsaid) {
      std::fputs("kelvasync-passwd: --hsm ou --directory, uma so vez\n\n", stderr);
      return false;
    }
    options.target = text == "--hsm" ? Target::Hsm : Target::Directory;
    return true;
  }
  const bool output = text == creds || text.rfind(creds + "=", 0) == 0 || text == dpapi ||
                      text == dpapi + "=machine" || text == dpapi + "=user";
  if (output && options.outputGiven) {
    std::fputs("kelvasync-passwd: --systemd-creds ou --dpapi, uma so vez\n\n", stderr);
    return false;
  }
  if (output) options.outputGiven = true;
  if (text == creds || text.rfind(creds + "=", 0) == 0) {
    options.output = Output::SystemdCredential;
    if (text.size() > creds.size()) options.credentialName = text.substr(creds.size() + 1);
    if (!platform::isCredentialName(options.credentialName)) {
      std::fprintf(stderr, "kelvasync-passwd: nome de credencial invalido: %s (letras, digitos, '.', '_' ou '-')\n",
                   options.credentialName.c_str());
      return false;
    }
    return true;
  }
  if (text == dpapi || text == dpapi + "=machine" || text == dpapi + "=user") {
    options.output = Output::Dpapi;
    options.machineScope = text != dpapi + "=user";
    return true;
  }
  std::fprintf(stderr, "kelvasync-passwd: opcao desconhecida: %s\n\n", argument);
  return false;
}

}  // namespace

// Why the password could not be sealed, in the tool's words.
static std::string sealingFault(const platform::SealedSecretResult& result) {
  switch (result.fault) {
    case platform::SealedSecretFault::NotOnThisSystem:
#ifdef _WIN32
      return "credenciais do systemd existem so no Linux; neste sistema use --dpapi";
#else
      return "DPAPI existe so no Windows; neste sistema use --systemd-creds";
#endif
    case platform::SealedSecretFault::ToolMissing:
      return "systemd-creds nao pode ser executado (" + result.detail + "); ele faz parte do systemd 250 ou mais novo";
    case platform::SealedSecretFault::ToolFailed:
      return "systemd-creds encrypt falhou" + (result.detail.empty() ? std::string() : " (saida " + result.detail + ")") +
             "; ele precisa do root para ler a chave do host (/var/lib/systemd/credential.secret)";
    default: {
      // "CryptProtectData 0x80090345": the call, then its code or words.
      const size_t blank = result.detail.find(' ');
      return blank == std::string::npos ? result.detail
                                        : result.detail.substr(0, blank) + " falhou (" + result.detail.substr(blank + 1) + ")";
    }
  }
}

int main(int argc, char** argv) {
  platform::keepMemoryPrivate();  // it holds the password in clear
  Options options;
  if (argc > 1) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
      usage(stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::fputs("kelvasync-passwd " KV_VERSION_TEXT "\n", stdout);
      return 0;
    }
    for (int i = 1; i < argc; ++i) {
      if (!parseOption(argv[i], options)) {
        usage(stderr);
        return 2;
      }
    }
  }
  // The [hsm] credential's name says whose password it is.
  if (options.target == Target::Unsaid && options.output == Output::SystemdCredential &&
      options.credentialName == kHsmCredentialName) {
    options.target = Target::Hsm;
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
  } else if (options.output != Output::Rc4 && (truncated || password.size() > platform::kMaxSealedSecretBytes)) {
    std::fprintf(stderr, "Senha recusada: tem %s%zu bytes; uma senha selada tem no maximo %zu bytes.\n",
                 truncated ? "mais de " : "", password.size(), platform::kMaxSealedSecretBytes);
    result = 1;
  } else if (options.output == Output::Rc4 && (truncated || password.size() > kMaxPasswordBytes)) {
    std::fprintf(stderr,
                 "Senha recusada: tem %s%zu bytes; o arquivo de configuracao guarda no maximo %zu bytes "
                 "(%zu digitos hexadecimais) e o servico leria uma senha cortada.\n",
                 truncated ? "mais de " : "", password.size(), kMaxPasswordBytes, 2 * kMaxPasswordBytes);
    result = 1;
  } else if (password.find('\0') != std::string::npos) {
    std::fputs("Senha recusada: contem um byte zero, e o servico leria a senha so ate ele.\n", stderr);
    result = 1;
  } else if (options.target == Target::Hsm && password.size() > kHsmPasswordMaxBytes) {
    std::fprintf(stderr,
                 "Senha recusada: tem %zu bytes; a conta [hsm] entra no HSM com no maximo %zu bytes, e o HSM "
                 "recusaria cada login do servico. Troque a senha da conta por uma mais curta (para a senha do "
                 "diretorio, use --directory).\n",
                 password.size(), kHsmPasswordMaxBytes);
    result = 1;
  }
  if (result == 0 && options.target == Target::Unsaid && password.size() > kHsmPasswordMaxBytes) {
    std::fprintf(stderr,
                 "Aviso: a senha tem %zu bytes; serve so para [activedirectory] pwd: o HSM aceita no maximo %zu "
                 "bytes, e com ela em [hsm] pwd nenhum login do servico seria aceito (--hsm recusa, "
                 "--directory dispensa este aviso).\n",
                 password.size(), kHsmPasswordMaxBytes);
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
    std::string text;
    platform::SealedSecretResult sealed;
    if (options.output == Output::Rc4) {
      text = encodeConfigPassword(password) + "\n";
    } else if (options.output == Output::SystemdCredential) {
      sealed = platform::sealSystemdCredential(options.credentialName, password, text);
      if (sealed.ok()) {
        std::fprintf(stderr,
                     "Grave o texto acima em /etc/systemd/system/kelvasync.service.d/%s.conf, rode systemctl "
                     "daemon-reload e systemctl restart kelvasync, e ponha no kelvasync.ini: pwd=credential:%s\n",
                     options.credentialName.c_str(), options.credentialName.c_str());
      }
    } else {
      sealed = platform::sealWithDpapi(password, options.machineScope, text);
      if (sealed.ok()) text += "\n";
    }
    if (text.empty()) {
      std::fprintf(stderr, "A senha nao foi selada: %s\n", sealingFault(sealed).c_str());
      result = 1;
    } else {
      std::fputs(text.c_str(), stdout);
      std::fflush(stdout);
    }
    wipe(text);
  }
  wipe(password);
  return result;
}

// kelvasync-check: shows what the service would do in its next cycle,
// without doing it. See check.h for what is read and the exit codes.
#include <cstdio>
#include <cstring>
#include <string>

#include "check.h"
#include "config/config.h"

namespace {

void usage(FILE* to) {
  std::fputs(
      "Uso: kelvasync-check [--json] [--ini ARQUIVO]\n"
      "Verifica o kelvasync sem alterar nada: le o kelvasync.ini como o servico, le o grupo do\n"
      "diretorio, entra no HSM com a conta [hsm], lista os usuarios, confere se a conta IntegracaoAD\n"
      "le 'addb' e mostra o que o proximo ciclo faria. Nada eh gravado no HSM nem no log do servico.\n"
      "Senhas nunca sao mostradas: so se decifram e o seu tamanho.\n"
      "\n"
      "  --json         o mesmo resultado como um documento JSON\n"
      "  --ini ARQUIVO  verifica esse arquivo em vez do kelvasync.ini do servico\n"
      "\n"
      "Codigos de saida:\n"
      "  0  tudo acessivel e a trava de remocoes em massa nao dispararia\n"
      "  1  chave ausente ou invalida, arquivo de configuracao ilegivel ou pasta do log ausente\n"
      "  2  o grupo do diretorio, ou algum de seus membros, nao pode ser lido\n"
      "  3  o HSM nao pode ser lido (listagem de usuarios ou 'addb')\n"
      "  4  a trava de remocoes em massa impediria a segunda passagem, ou o plano bloquearia ou\n"
      "     removeria todos os usuarios gerenciados (ou nenhum membro foi lido e ha usuarios gerenciados)\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool ownIni = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--ini") == 0 && i + 1 < argc) {
      setConfigFilePath(argv[++i]);
      ownIni = false;
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "Opcao desconhecida: %s\n\n", argv[i]);
      usage(stderr);
      return kCheckConfig;
    }
  }
  const CheckReport report = runCheck(ownIni);
  const std::string text = json ? renderJson(report) : renderText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return report.exitCode;
}

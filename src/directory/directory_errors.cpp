#include "directory/directory_errors.h"

#include "common/text.h"
#include "directory/directory_trust.h"

namespace {

using platform::DirectoryCall;
using platform::DirectoryFault;
using platform::KerberosFault;

// Appended to a failure of the TLS step: libldap's own text for a refused
// certificate says nothing about certificates.
constexpr const char* kCertificateHint =
    "; certificado do servidor nao verificado? a CA que o emitiu deve estar no arquivo de [activedirectory] "
    "cacert, em LDAPTLS_CACERT ou em TLS_CACERT de /etc/ldap/ldap.conf";

// Appended to a GSSAPI bind that the server refused for want of a SASL
// security layer inside TLS, which the service never stacks there.
constexpr const char* kStrongAuthAdvice =
    "; o DC exige assinatura ou cifragem do SASL (sign/seal) dentro do TLS, que o servico nao usa: num DC Samba, "
    "defina 'ldap server require strong auth = allow_sasl_over_tls' em [global] do smb.conf e reinicie o Samba; num "
    "Active Directory, confira a politica de assinatura LDAP do DC (Domain controller: LDAP server signing "
    "requirements)";

// The step as the log names it.
std::string stepOf(const platform::DirectoryFailure& failure) {
  switch (failure.call) {
    case DirectoryCall::Initialize: return failure.names[0];  // the URI
    case DirectoryCall::Connect: return "conexao";
    case DirectoryCall::ConnectLdaps: return "conexao LDAPS";
    case DirectoryCall::StartTls: return "StartTLS";
    case DirectoryCall::Bind: return "bind";
    case DirectoryCall::BindGssapi: return "bind GSSAPI";
    case DirectoryCall::RootDse: return "rootDSE";
    case DirectoryCall::Entry: return "entrada";
    case DirectoryCall::MemberValues: return "member";
    case DirectoryCall::Member: return "membro";
    case DirectoryCall::MemberPage: return "pagina";
    case DirectoryCall::MemberSearch: return "membros";
    case DirectoryCall::TlsContext: return "contexto TLS";
    case DirectoryCall::Options: return "opcoes LDAP";
    case DirectoryCall::SaslOptions: return "opcoes SASL";
    default: return "diretorio";
  }
}

// A call refused without words of libldap's own: only the set-up's.
std::string refusedWithoutWords(DirectoryCall call) {
  switch (call) {
    case DirectoryCall::TlsContext: return "contexto TLS recusado";
    case DirectoryCall::Options: return "opcoes LDAP recusadas";
    case DirectoryCall::SaslOptions: return "opcoes SASL recusadas";
    default: return "";
  }
}

std::string describe(const platform::DirectoryFailure& failure) {
  switch (failure.fault) {
    case DirectoryFault::Refused:
    case DirectoryFault::TlsRefused: {
      std::string text = failure.words.empty() ? refusedWithoutWords(failure.call) : "";
      if (text.empty()) text = stepOf(failure) + ": " + failure.words;
      return failure.fault == DirectoryFault::TlsRefused ? text + kCertificateHint : text;
    }
    case DirectoryFault::TimedOut:
      return stepOf(failure) + ": tempo limite de " + std::to_string(failure.seconds) +
             " s esgotado; o servidor parou de responder";
    case DirectoryFault::NoEntry:
      return failure.call == DirectoryCall::RootDse ? "rootDSE ilegivel"
             : failure.call == DirectoryCall::MemberValues ? "grupo ilegivel"
                                                            : "entrada ilegivel";
    case DirectoryFault::NoNamingContext: return "rootDSE sem defaultNamingContext";
    case DirectoryFault::InvalidPath: return "caminho LDAP invalido";
    case DirectoryFault::EmptyPassword: return "senha vazia: bind sem autenticacao recusado";
    case DirectoryFault::NotAGroup: return "a entrada nao e um grupo";
    case DirectoryFault::NotAUser: return "o membro nao e um usuario";
    case DirectoryFault::ClassesUnreadable: return "objectClass ilegivel ou incompleto: " + failure.names[0];
    case DirectoryFault::TwoEntriesOneKey:
      // Two entries that the server holds apart but whose DNs give one key
      // (a naming attribute that compares case-exactly, which Active
      // Directory's never do): neither may stand in for the other.
      return "duas entradas distintas do diretorio com o mesmo DN sem distincao de maiusculas: [" + failure.names[0] +
             "] e [" + failure.names[1] + "]; o Grupo nao pode ser lido assim";
    case DirectoryFault::NoAttribute: return "atributo ausente: " + failure.names[0];
    case DirectoryFault::InvalidObject: return "objeto invalido";
    case DirectoryFault::NoValueYet: return "nenhum membro lido";
    case DirectoryFault::SaslMechanismMissing:
      return "bind GSSAPI: o mecanismo GSSAPI do SASL nao estah instalado (pacote libsasl2-modules-gssapi-mit)";
    case DirectoryFault::StrongAuthRequired:
      return stepOf(failure) + ": " + failure.words + kStrongAuthAdvice;
    case DirectoryFault::NoCredentials:
      return describeKerberosFailure(failure.kerberos, namedDirectoryKeytab().source);
    case DirectoryFault::None: break;
  }
  return failure.words;
}

}  // namespace

std::u16string describeDirectoryFailure(const platform::DirectoryFailure& failure) {
  return utf8ToUtf16(describe(failure));
}

std::string describeKerberosFailure(const platform::KerberosFailure& failure, const std::string& source) {
  const std::string named = "keytab '" + failure.keytab + "' (" + source + ")";
  const std::string& principal = failure.principal;
  const std::string& realm = failure.realm;
  const std::string words = failure.words + " (" + std::to_string(failure.code) + ")";
  switch (failure.fault) {
    case KerberosFault::NoKeytab:
      return "usr e pwd vazios pedem um bind Kerberos (GSSAPI), mas nenhum keytab foi configurado ([activedirectory] "
             "keytab ou KRB5_CLIENT_KTNAME)";
    case KerberosFault::LibraryFailed:
      return "a biblioteca Kerberos nao iniciou (confira o krb5.conf): codigo " + std::to_string(failure.code);
    case KerberosFault::KeytabMissing: return "o " + named + " nao existe";
    case KerberosFault::KeytabDenied: return "o " + named + " nao pode ser lido pela conta do servico";
    case KerberosFault::KeytabEmpty: return "o " + named + " nao contem nenhuma chave";
    case KerberosFault::KeytabUnreadable: return "o " + named + " nao pode ser lido: " + words;
    case KerberosFault::KeysDoNotMatch:
      return "as chaves do " + named + " nao conferem com a senha atual de " + principal +
             " no dominio (keytab errado, ou exportado antes de uma troca de senha da conta): exporte-o de novo";
    case KerberosFault::ClockSkew:
      return "o relogio deste computador difere do relogio do KDC do dominio " + realm +
             " alem da tolerancia do Kerberos (5 minutos por padrao): acerte o relogio (NTP)";
    case KerberosFault::PrincipalUnknown:
      return "o principal " + principal + " do " + named + " nao existe no dominio (o KDC nao conhece a conta)";
    case KerberosFault::KdcUnreachable:
      return "nenhum KDC do dominio " + realm + " respondeu (confira o krb5.conf e o acesso a porta 88 do DC)";
    case KerberosFault::RealmUnknown:
      return "nenhum KDC do dominio " + realm + " foi encontrado (confira [realms] do krb5.conf ou o DNS)";
    case KerberosFault::AccountDisabled: return "a conta " + principal + " estah desabilitada ou bloqueada no dominio";
    case KerberosFault::PasswordExpired: return "a senha da conta " + principal + " expirou no dominio";
    case KerberosFault::CacheRefused: return "cache de credenciais em memoria recusado: " + words;
    case KerberosFault::GssapiCacheRefused: return "cache de credenciais em memoria recusado pelo GSSAPI";
    case KerberosFault::Refused:
    case KerberosFault::None: break;
  }
  return "credenciais Kerberos de " + principal + " nao obtidas com o " + named + ": " + words;
}

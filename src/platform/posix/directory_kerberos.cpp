#include "platform/posix/directory_kerberos.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/directory.h"

namespace platform {

namespace {

std::string configuredKeytab;

// The process's own credential cache: in memory, gone with the process.
constexpr const char* kCredentialCache = "MEMORY:kelvasync";

// Frees what it holds when the scope ends; the context last.
struct KerberosScope {
  krb5_context context = nullptr;
  krb5_keytab keytab = nullptr;
  krb5_principal principal = nullptr;
  krb5_ccache cache = nullptr;
  krb5_get_init_creds_opt* options = nullptr;
  ~KerberosScope() {
    if (context == nullptr) return;
    if (options != nullptr) krb5_get_init_creds_opt_free(context, options);
    if (cache != nullptr) krb5_cc_close(context, cache);
    if (principal != nullptr) krb5_free_principal(context, principal);
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    krb5_free_context(context);
  }
};

std::string messageOf(krb5_context context, krb5_error_code code) {
  if (context == nullptr) return "codigo " + std::to_string(code);
  const char* text = krb5_get_error_message(context, code);
  std::string message = text != nullptr ? text : "";
  krb5_free_error_message(context, text);
  return message + " (" + std::to_string(code) + ")";
}

std::string named(const DirectoryKeytab& keytab) { return "o keytab '" + keytab.path + "' (" + keytab.source + ")"; }

// The table named now and its first entry's principal, in `scope`.
DirectoryKeytab openKeytab(KerberosScope& scope) {
  DirectoryKeytab keytab;
  if (!configuredKeytab.empty()) {
    keytab.path = configuredKeytab;
    keytab.source = "[activedirectory] keytab";
  } else if (const char* environment = std::getenv("KRB5_CLIENT_KTNAME");
             environment != nullptr && *environment != '\0') {
    keytab.path = environment;
    keytab.source = "KRB5_CLIENT_KTNAME";
  } else {
    keytab.problem =
        "usr e pwd vazios pedem um bind Kerberos (GSSAPI), mas nenhum keytab foi configurado ([activedirectory] "
        "keytab ou KRB5_CLIENT_KTNAME)";
    return keytab;
  }
  krb5_error_code code = krb5_init_context(&scope.context);
  if (code != 0) {
    scope.context = nullptr;
    keytab.problem = "a biblioteca Kerberos nao iniciou (confira o krb5.conf): " + messageOf(nullptr, code);
    return keytab;
  }
  code = krb5_kt_resolve(scope.context, keytab.path.c_str(), &scope.keytab);
  krb5_kt_cursor cursor{};
  if (code == 0) code = krb5_kt_start_seq_get(scope.context, scope.keytab, &cursor);
  if (code == 0) {
    krb5_keytab_entry entry{};
    code = krb5_kt_next_entry(scope.context, scope.keytab, &entry, &cursor);
    if (code == 0) {
      code = krb5_copy_principal(scope.context, entry.principal, &scope.principal);
      krb5_free_keytab_entry_contents(scope.context, &entry);
    }
    krb5_kt_end_seq_get(scope.context, scope.keytab, &cursor);
  }
  switch (code) {
    case 0: break;
    case ENOENT: keytab.problem = named(keytab) + " nao existe"; return keytab;
    case EACCES:
    case EPERM: keytab.problem = named(keytab) + " nao pode ser lido pela conta do servico"; return keytab;
    case KRB5_KT_END:
    case KRB5_KT_NOTFOUND: keytab.problem = named(keytab) + " nao contem nenhuma chave"; return keytab;
    default:
      keytab.problem = named(keytab) + " nao pode ser lido: " + messageOf(scope.context, code);
      return keytab;
  }
  char* text = nullptr;
  if (krb5_unparse_name(scope.context, scope.principal, &text) == 0) {
    keytab.principal = text;
    krb5_free_unparsed_name(scope.context, text);
  }
  return keytab;
}

// The cause of a failed request for initial credentials, in the log's words.
std::string causeOf(krb5_context context, krb5_error_code code, const DirectoryKeytab& keytab,
                    const std::string& realm) {
  const std::string& principal = keytab.principal;
  switch (code) {
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KRB_AP_ERR_BAD_INTEGRITY:
    case KRB5_PREAUTH_FAILED:
      return "as chaves do " + named(keytab).substr(2) + " nao conferem com a senha atual de " + principal +
             " no dominio (keytab errado, ou exportado antes de uma troca de senha da conta): exporte-o de novo";
    case KRB5KRB_AP_ERR_SKEW:
      return "o relogio deste computador difere do relogio do KDC do dominio " + realm +
             " alem da tolerancia do Kerberos (5 minutos por padrao): acerte o relogio (NTP)";
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
      return "o principal " + principal + " do " + named(keytab).substr(2) +
             " nao existe no dominio (o KDC nao conhece a conta)";
    case KRB5_KDC_UNREACH:
      return "nenhum KDC do dominio " + realm + " respondeu (confira o krb5.conf e o acesso a porta 88 do DC)";
    case KRB5_REALM_CANT_RESOLVE:
    case KRB5_REALM_UNKNOWN:
      return "nenhum KDC do dominio " + realm + " foi encontrado (confira [realms] do krb5.conf ou o DNS)";
    case KRB5KDC_ERR_CLIENT_REVOKED:
      return "a conta " + principal + " estah desabilitada ou bloqueada no dominio";
    case KRB5KDC_ERR_KEY_EXP:
      return "a senha da conta " + principal + " expirou no dominio";
    default:
      return "credenciais Kerberos de " + principal + " nao obtidas com " + named(keytab) + ": " +
             messageOf(context, code);
  }
}

}  // namespace

KerberosCredential::~KerberosCredential() {
  OM_uint32 minor = 0;
  if (credential_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credential_);
}

bool setDirectoryKeytab(const std::string& path) {
  configuredKeytab = path;
  return true;
}

DirectoryKeytab directoryKeytab() {
  KerberosScope scope;
  return openKeytab(scope);
}

bool acquireKerberosCredentials(KerberosCredential& credential, std::string& problem) {
  KerberosScope scope;
  const DirectoryKeytab keytab = openKeytab(scope);
  if (!keytab.problem.empty()) {
    problem = keytab.problem;
    return false;
  }
  const krb5_data* realmData = krb5_princ_realm(scope.context, scope.principal);
  const std::string realm(realmData->data, realmData->length);
  krb5_error_code code = krb5_cc_resolve(scope.context, kCredentialCache, &scope.cache);
  if (code == 0) code = krb5_get_init_creds_opt_alloc(scope.context, &scope.options);
  // The ticket goes to the memory cache only, which is set up anew with it.
  if (code == 0) code = krb5_get_init_creds_opt_set_out_ccache(scope.context, scope.options, scope.cache);
  if (code != 0) {
    problem = "cache de credenciais em memoria recusado: " + messageOf(scope.context, code);
    return false;
  }
  krb5_creds credentials{};
  code = krb5_get_init_creds_keytab(scope.context, &credentials, scope.principal, scope.keytab, 0, nullptr,
                                    scope.options);
  if (code != 0) {
    problem = causeOf(scope.context, code, keytab, realm);
    return false;
  }
  krb5_free_cred_contents(scope.context, &credentials);
  // The GSSAPI bind uses the ticket there, whatever KRB5CCNAME says: through
  // the credential, and as this thread's default should anything look for
  // one of its own.
  OM_uint32 minor = 0;
  gss_key_value_element_desc element{"ccache", kCredentialCache};
  const gss_key_value_set_desc store{1, &element};
  gss_OID_set_desc mechanisms{1, gss_mech_krb5};
  if (gss_krb5_ccache_name(&minor, kCredentialCache, nullptr) != GSS_S_COMPLETE ||
      gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE, &store,
                            &credential.credential_, nullptr, nullptr) != GSS_S_COMPLETE) {
    problem = "cache de credenciais em memoria recusado pelo GSSAPI";
    return false;
  }
  return true;
}

}  // namespace platform

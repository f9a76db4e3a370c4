#include "platform/posix/ldap_connection.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <sasl/sasl.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/text.h"

namespace platform::ldap {

namespace {

// libldap reads ldap.conf, ldaprc and .ldaprc in the working and home
// folders, $LDAPRC and its LDAP* variables once, at its first call, unless
// LDAPNOINIT is set. That first call is made here, before main, while the
// process has one thread, with LDAPNOINIT set for its duration only (child
// processes such as ldapsearch keep their usual behaviour): whoever may
// write those files can neither pick the trust anchor nor switch the
// certificate check off. What matters is set explicitly instead.
const bool libldapReadNoConfiguration = [] {
  const char* before = std::getenv("LDAPNOINIT");
  const std::string saved = before != nullptr ? before : "";
  setenv("LDAPNOINIT", "1", 1);
  int version = 0;
  const bool initialised = ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS;
  if (before != nullptr) setenv("LDAPNOINIT", saved.c_str(), 1);
  if (before == nullptr) unsetenv("LDAPNOINIT");
  return initialised;
}();

uint32_t networkTimeout() {
  if (tuning().networkTimeoutSeconds != 0) return tuning().networkTimeoutSeconds;
  return setup().networkTimeoutSeconds != 0 ? setup().networkTimeoutSeconds : kDefaultNetworkTimeoutSeconds;
}

template <typename Call>
int bounded(Session& session, bool& timedOut, Call call) {
  const WatchdogScope scope(session.socket, std::chrono::seconds(callBound()));
  const int rc = call();
  timedOut = scope.timedOut();
  return rc;
}

extern "C" int onConnect(LDAP*, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb* callbacks) {
  ber_socket_t fd = -1;
  if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0) {
    attachSocket(static_cast<Session*>(callbacks->lc_arg)->socket, static_cast<int>(fd));
  }
  return 0;
}
extern "C" void onDisconnect(LDAP*, Sockbuf*, ldap_conncb* callbacks) {
  detachSocket(static_cast<Session*>(callbacks->lc_arg)->socket);
}

// ------------------------------------------------------------ Kerberos

// The process's own credential cache: in memory, gone with the process.
constexpr const char* kCredentialCache = "MEMORY:kelvasync";

// What one look at the keytab holds; frees it when the scope ends.
struct KerberosScope {
  krb5_context context = nullptr;
  krb5_keytab keytab = nullptr;
  krb5_principal principal = nullptr;
  krb5_ccache cache = nullptr;
  krb5_get_init_creds_opt* options = nullptr;
  gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;  // for one bind: the SASL mechanism never gives its own back
  ~KerberosScope() {
    OM_uint32 minor = 0;
    if (credential != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credential);
    if (context == nullptr) return;
    if (options != nullptr) krb5_get_init_creds_opt_free(context, options);
    if (cache != nullptr) krb5_cc_close(context, cache);
    if (principal != nullptr) krb5_free_principal(context, principal);
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    krb5_free_context(context);
  }
};

bool kerberosFailed(KerberosFailure& failure, KerberosFault fault, krb5_context context, krb5_error_code code) {
  failure.fault = fault;
  failure.code = static_cast<int32_t>(code);
  if (context != nullptr && code != 0) {
    const char* text = krb5_get_error_message(context, code);
    failure.words = text != nullptr ? text : "";
    krb5_free_error_message(context, text);
  }
  return false;
}

// Opens `path` and reads its first entry's principal (and realm) into
// `failure`, which says why when it cannot.
bool openKeytab(const std::string& path, KerberosScope& scope, KerberosFailure& failure) {
  failure = KerberosFailure{};
  failure.keytab = path;
  if (path.empty()) return kerberosFailed(failure, KerberosFault::NoKeytab, nullptr, 0);
  krb5_error_code code = krb5_init_context(&scope.context);
  if (code != 0) {
    scope.context = nullptr;
    return kerberosFailed(failure, KerberosFault::LibraryFailed, nullptr, code);
  }
  code = krb5_kt_resolve(scope.context, path.c_str(), &scope.keytab);
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
  if (code == ENOENT) return kerberosFailed(failure, KerberosFault::KeytabMissing, scope.context, code);
  if (code == EACCES || code == EPERM) return kerberosFailed(failure, KerberosFault::KeytabDenied, scope.context, code);
  if (code == KRB5_KT_END || code == KRB5_KT_NOTFOUND) {
    return kerberosFailed(failure, KerberosFault::KeytabEmpty, scope.context, code);
  }
  if (code != 0) return kerberosFailed(failure, KerberosFault::KeytabUnreadable, scope.context, code);
  char* text = nullptr;
  if (krb5_unparse_name(scope.context, scope.principal, &text) == 0) {
    failure.principal = text;
    krb5_free_unparsed_name(scope.context, text);
  }
  const krb5_data* realm = krb5_princ_realm(scope.context, scope.principal);
  failure.realm.assign(realm->data, realm->length);
  return true;
}

// The refusals of a ticket the group search tells apart.
KerberosFault faultOfTicket(krb5_error_code code) {
  static const std::pair<krb5_error_code, KerberosFault> kFaults[] = {
      {KRB5KDC_ERR_PREAUTH_FAILED, KerberosFault::KeysDoNotMatch},
      {KRB5KRB_AP_ERR_BAD_INTEGRITY, KerberosFault::KeysDoNotMatch},
      {KRB5_PREAUTH_FAILED, KerberosFault::KeysDoNotMatch},
      {KRB5KRB_AP_ERR_SKEW, KerberosFault::ClockSkew},
      {KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, KerberosFault::PrincipalUnknown},
      {KRB5_KDC_UNREACH, KerberosFault::KdcUnreachable},
      {KRB5_REALM_CANT_RESOLVE, KerberosFault::RealmUnknown},
      {KRB5_REALM_UNKNOWN, KerberosFault::RealmUnknown},
      {KRB5KDC_ERR_CLIENT_REVOKED, KerberosFault::AccountDisabled},
      {KRB5KDC_ERR_KEY_EXP, KerberosFault::PasswordExpired}};
  for (const auto& [known, fault] : kFaults) {
    if (code == known) return fault;
  }
  return KerberosFault::Refused;
}

// A fresh ticket-granting ticket for the keytab's principal into the
// MEMORY: cache, which becomes the thread's GSSAPI default, and a credential
// over it in `scope`. Anew for every bind, so that a keytab replaced after
// a password change is used at the next one.
bool acquireTicket(const std::string& keytab, KerberosScope& scope, KerberosFailure& failure) {
  if (!openKeytab(keytab, scope, failure)) return false;
  krb5_error_code code = krb5_cc_resolve(scope.context, kCredentialCache, &scope.cache);
  if (code == 0) code = krb5_get_init_creds_opt_alloc(scope.context, &scope.options);
  // The ticket goes to the memory cache only, which is set up anew with it.
  if (code == 0) code = krb5_get_init_creds_opt_set_out_ccache(scope.context, scope.options, scope.cache);
  if (code != 0) return kerberosFailed(failure, KerberosFault::CacheRefused, scope.context, code);
  krb5_creds ticket{};
  code = krb5_get_init_creds_keytab(scope.context, &ticket, scope.principal, scope.keytab, 0, nullptr, scope.options);
  if (code != 0) return kerberosFailed(failure, faultOfTicket(code), scope.context, code);
  krb5_free_cred_contents(scope.context, &ticket);
  // The GSSAPI bind uses the ticket there, whatever KRB5CCNAME says.
  OM_uint32 minor = 0;
  gss_key_value_element_desc element{"ccache", kCredentialCache};
  const gss_key_value_set_desc store{1, &element};
  gss_OID_set_desc mechanisms{1, gss_mech_krb5};
  if (gss_krb5_ccache_name(&minor, kCredentialCache, nullptr) != GSS_S_COMPLETE ||
      gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE, &store,
                            &scope.credential, nullptr, nullptr) != GSS_S_COMPLETE) {
    return kerberosFailed(failure, KerberosFault::GssapiCacheRefused, nullptr, 0);
  }
  return true;
}

// Answers the SASL library's questions during a GSSAPI bind: the
// authorization identity is left to the mechanism (the ticket's principal).
// The mechanism asks before it looks for credentials, when the bind's SASL
// context exists: it is handed the scope's credential then.
extern "C" int answerSasl(LDAP* ld, unsigned, void* scope, void* questions) {
  const gss_cred_id_t credential = static_cast<KerberosScope*>(scope)->credential;
  if (ldap_set_option(ld, LDAP_OPT_X_SASL_GSS_CREDS, credential) != LDAP_OPT_SUCCESS) return LDAP_LOCAL_ERROR;
  for (auto* question = static_cast<sasl_interact_t*>(questions); question->id != SASL_CB_LIST_END; ++question) {
    question->result = question->defresult != nullptr ? question->defresult : "";
    question->len = static_cast<unsigned>(std::strlen(static_cast<const char*>(question->result)));
  }
  return LDAP_SUCCESS;
}

// The process-wide TLS settings: the CA handed from above and a verified
// certificate demanded, with the TLS context made anew whenever the CA
// changes. Connections inherit both (a connection's own TLS settings start
// without any CA, so they are not the place for this).
bool applyTlsSettings() {
  static bool applied = false;
  static std::string appliedCaFile;
  const std::string& caFile = setup().caFile;
  if (applied && appliedCaFile == caFile) return true;
  const int demand = LDAP_OPT_X_TLS_DEMAND, clientContext = 0;
  applied = (caFile.empty() || ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, caFile.c_str()) == 0) &&
            ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == 0 &&
            ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &clientContext) == 0;
  appliedCaFile = caFile;
  return applied;
}

}  // namespace

DirectoryTuning& tuning() {
  static DirectoryTuning tuning;
  return tuning;
}
DirectorySetup& setup() {
  static DirectorySetup setup;
  return setup;
}
uint32_t pageSize() {
  return tuning().pageSize == 0 ? kDefaultPageSize : std::min(tuning().pageSize, kDefaultPageSize);
}
uint32_t operationTimeout() {
  if (tuning().operationTimeoutSeconds != 0) return tuning().operationTimeoutSeconds;
  return setup().operationTimeoutSeconds != 0 ? setup().operationTimeoutSeconds : kDefaultOperationTimeoutSeconds;
}
uint32_t callBound() { return networkTimeout() + operationTimeout() + 2; }

DirectoryFailure& lastFailure() {
  thread_local DirectoryFailure failure;
  return failure;
}

int32_t fail(DirectoryCall call, DirectoryFault fault, int32_t code) {
  lastFailure() = DirectoryFailure{};
  lastFailure().code = code;
  lastFailure().call = call;
  lastFailure().fault = fault;
  return code;
}

int32_t failLdap(LDAP* ld, int rc, DirectoryCall call, DirectoryFault fault) {
  // The failures the group search tells apart get ADSI's codes for them.
  const int32_t code = rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR ? kDirectoryServerDown
                       : rc == LDAP_TIMEOUT                               ? kDirectoryTimedOut
                       : rc == LDAP_NO_SUCH_OBJECT                        ? kDirectoryNoSuchObject
                       : rc == LDAP_BUSY                                  ? kDirectoryBusy
                       : rc == LDAP_UNAVAILABLE                           ? kDirectoryUnavailable
                       : rc == LDAP_STRONG_AUTH_REQUIRED                  ? kDirectoryStrongAuthRequired
                                                                          : kDirectoryFail;
  fail(call, fault, code);
  std::string& words = lastFailure().words;
  words = "LDAP " + std::to_string(rc) + ": " + ldap_err2string(rc);
  char* diagnostic = nullptr;
  if (ld != nullptr && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
      diagnostic != nullptr) {
    if (*diagnostic != '\0') words += std::string("; ") + diagnostic;
    ldap_memfree(diagnostic);
  }
  return code;
}

int32_t failTimedOut(DirectoryCall call) {
  fail(call, DirectoryFault::TimedOut, kDirectoryTimedOut);
  lastFailure().seconds = callBound();
  return kDirectoryTimedOut;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

Session::~Session() {
  if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
}

int32_t connectAndBind(const LdapPath& path, const std::u16string& user, const std::u16string& password,
                       Session& session) {
  // libldap and the TLS library write to the socket without MSG_NOSIGNAL: a
  // server that drops the connection must fail the call, not end the process.
  static std::once_flag ignorePipe;
  std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });

  // No account and no password: the service's own Kerberos identity. Its
  // ticket comes first, so that a keytab or KDC problem is named as such.
  const bool kerberos = user.empty() && password.empty();
  if (!kerberos && password.empty()) return fail(DirectoryCall::Bind, DirectoryFault::EmptyPassword);
  KerberosScope ticket;
  KerberosFailure why;
  if (kerberos && !acquireTicket(setup().keytab, ticket, why)) {
    fail(DirectoryCall::BindGssapi, DirectoryFault::NoCredentials, kDirectoryNoCredentials);
    lastFailure().kerberos = std::move(why);
    return kDirectoryNoCredentials;
  }
  if (!applyTlsSettings()) return fail(DirectoryCall::TlsContext, DirectoryFault::TlsRefused);

  const bool ldaps = path.port == 636;
  const std::string host = path.host.find(':') != std::string::npos ? "[" + path.host + "]" : path.host;
  const std::string uri =
      (ldaps ? "ldaps://" : "ldap://") + host + (path.portGiven ? ":" + std::to_string(path.port) : "");
  int rc = ldap_initialize(&session.ld, uri.c_str());
  if (rc != LDAP_SUCCESS || session.ld == nullptr) {
    const int32_t code = failLdap(nullptr, rc, DirectoryCall::Initialize);
    lastFailure().names[0] = uri;
    return code;
  }
  LDAP* const ld = session.ld;
  const int version = LDAP_VERSION3;
  const timeval network{static_cast<time_t>(networkTimeout()), 0},
      operation{static_cast<time_t>(operationTimeout()), 0};
  session.callbacks = ldap_conncb{onConnect, onDisconnect, &session};
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != 0 ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != 0 ||
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network) != 0 ||
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation) != 0 ||
      ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &session.callbacks) != 0) {
    return fail(DirectoryCall::Options, DirectoryFault::Refused);
  }
  // The service principal is ldap/<host> with the host as configured, not as
  // reverse DNS names it, and no SASL security layer is stacked on TLS
  // (Active Directory refuses GSSAPI signing and sealing inside TLS).
  if (kerberos && (ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != 0 ||
                   ldap_set_option(ld, LDAP_OPT_X_SASL_SECPROPS, "maxssf=0") != 0)) {
    return fail(DirectoryCall::SaslOptions, DirectoryFault::Refused);
  }

  // The connection (over LDAPS with its handshake), then StartTLS, each
  // bounded: a peer that accepts and then stalls holds libldap for ever.
  const DirectoryCall connect = ldaps ? DirectoryCall::ConnectLdaps : DirectoryCall::Connect;
  bool timedOut = false;
  rc = bounded(session, timedOut, [&] { return ldap_connect(ld); });
  if (timedOut) return failTimedOut(connect);
  if (rc != LDAP_SUCCESS)
    return failLdap(ld, rc, connect, ldaps ? DirectoryFault::TlsRefused : DirectoryFault::Refused);
  if (!ldaps) {
    rc = bounded(session, timedOut, [&] { return ldap_start_tls_s(ld, nullptr, nullptr); });
    if (timedOut) return failTimedOut(DirectoryCall::StartTls);
    // The server took StartTLS and the handshake failed here: almost always
    // a certificate this side does not trust.
    if (rc != LDAP_SUCCESS) {
      return failLdap(ld, rc, DirectoryCall::StartTls,
                      rc == LDAP_CONNECT_ERROR ? DirectoryFault::TlsRefused : DirectoryFault::Refused);
    }
  }
  if (kerberos) {
    rc = bounded(session, timedOut, [&] {
      return ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, answerSasl,
                                          &ticket);
    });
    if (timedOut) return failTimedOut(DirectoryCall::BindGssapi);
    if (rc == LDAP_AUTH_UNKNOWN) {
      return fail(DirectoryCall::BindGssapi, DirectoryFault::SaslMechanismMissing, kDirectoryNoCredentials);
    }
    if (rc == LDAP_SUCCESS) return kDirectoryOk;
    // Samba wants GSSAPI signing or sealing even inside TLS unless told
    // otherwise; Active Directory refuses them there, so none is asked for.
    return failLdap(ld, rc, DirectoryCall::BindGssapi,
                    rc == LDAP_STRONG_AUTH_REQUIRED ? DirectoryFault::StrongAuthRequired : DirectoryFault::Refused);
  }
  // The account as configured: a DN, user@domain or DOMAIN\user (Active
  // Directory takes all three), and only over TLS.
  const std::string name = utf16ToUtf8(user);
  std::string secret = utf16ToUtf8(password);
  berval credentials{secret.size(), secret.data()};
  rc = bounded(session, timedOut, [&] {
    return ldap_sasl_bind_s(ld, name.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
  });
  wipe(secret);  // the settings keep the one copy
  if (timedOut) return failTimedOut(DirectoryCall::Bind);
  if (rc == LDAP_SUCCESS) return kDirectoryOk;
  // Over LDAPS the handshake comes with the first request: a server that
  // cannot be reached and one whose certificate is refused look alike.
  return failLdap(ld, rc, DirectoryCall::Bind,
                  rc == LDAP_SERVER_DOWN && ldaps ? DirectoryFault::TlsRefused : DirectoryFault::Refused);
}

int searchBase(Session& session, const std::string& dn, char** attributes, LdapMessage& result, bool& timedOut) {
  timeval wait{static_cast<time_t>(operationTimeout()), 0};
  const int rc = bounded(session, timedOut, [&] {
    return ldap_search_ext_s(session.ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                             nullptr, &wait, 0, &result.message);
  });
  return timedOut ? LDAP_TIMEOUT : rc;
}

int32_t readNamingContext(Session& session) {
  char defaultNc[] = "defaultNamingContext", contexts[] = "namingContexts";
  char* attributes[] = {defaultNc, contexts, nullptr};
  LdapMessage result;
  bool timedOut = false;
  const int rc = searchBase(session, "", attributes, result, timedOut);
  if (timedOut) return failTimedOut(DirectoryCall::RootDse);
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, DirectoryCall::RootDse);
  LDAPMessage* entry = ldap_first_entry(session.ld, result.message);
  if (entry == nullptr) return fail(DirectoryCall::RootDse, DirectoryFault::NoEntry);
  for (char* attribute : {defaultNc, contexts}) {
    berval** list = ldap_get_values_len(session.ld, entry, attribute);
    if (list != nullptr && list[0] != nullptr) session.namingContext.assign(list[0]->bv_val, list[0]->bv_len);
    if (list != nullptr) ldap_value_free_len(list);
    if (!session.namingContext.empty()) break;
  }
  return kDirectoryOk;
}

}  // namespace platform::ldap

bool platform::readKeytabPrincipal(const std::string& keytab, std::string& principal, KerberosFailure& failure) {
  ldap::KerberosScope scope;
  if (!ldap::openKeytab(keytab, scope, failure)) return false;
  principal = failure.principal;
  return true;
}

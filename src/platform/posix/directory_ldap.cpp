// The directory seam on Linux: Active Directory (or any LDAP server with
// AD's schema) through OpenLDAP's libldap.
//
// Each ADSI step of the group search has its counterpart here:
//   openObject "LDAP://host"     connect, TLS, simple bind, read the rootDSE's
//                                 naming context (defaultNamingContext, else
//                                 the first of namingContexts)
//   getPath                      succeeds when that naming context is known
//   openObject "LDAP://host/DN"  connect, TLS, simple bind, read the entry
//   queryGroup                   the entry is of class `group`
//   members                      every value of `member`, by range retrieval
//                                 ("member;range=N-*") until a range ends in
//                                 "*", in the server's order
//   newEnum / queryEnumVariant   a cursor over those values
//   next                         the member's entry, read a page at a time:
//                                 a paged subtree search (at most 1,000 per
//                                 page) under the naming context for
//                                 (memberOf=<group>), matched back to the
//                                 member values by DN, case-insensitively;
//                                 a member the search does not return
//                                 (outside the naming context, or without
//                                 memberOf) is read by a base search on its
//                                 own DN, and the entry it finds is also
//                                 matched by the DN the server gives it (a
//                                 value may spell a letter beyond ASCII in
//                                 another case); one that this cannot read
//                                 (no entry, not readable by the account, a
//                                 referral elsewhere) comes back as an
//                                 element without object. Two entries of the
//                                 search whose DNs differ in ASCII case only
//                                 (a case-exact naming attribute) fail the
//                                 read: neither may stand in for the other
//   valueName                    the member value last fetched
//   queryUser                    the entry is of class `user`; one that
//                                 shows a class that rules a user out (a
//                                 group, a contact) is "not a user"; an
//                                 entry whose classes the account may not
//                                 read, wholly or in part, is unreadable
//   unlistedMembers              the rest of the memberOf search: entries
//                                 that no value of `member` named
//   getAttribute                 cn / sAMAccountName, UTF-8 decoded
//
// Security: the host is always reached with TLS, never in clear: StartTLS on
// "LDAP://host[:port]", LDAPS when the port is 636. The certificate is always
// verified (a valid chain to a trusted CA, a name that matches the host),
// whatever any file or variable says; the CA comes from one explicit place
// (see DirectoryTrust), and libldap reads no configuration of its own
// (LDAPNOINIT). The bind is a simple bind made only after TLS is up, with
// the account as configured: a DN, user@domain or DOMAIN\user (Active
// Directory accepts all three). An empty password is refused here, since a
// simple bind with a name and no password is an unauthenticated bind that
// some servers accept without checking anything. With no account and no
// password at all the bind is SASL GSSAPI, also after TLS is up, as the
// principal of the client keytab (directory_kerberos.h); the service
// principal is ldap/<host> with the host as configured, not as reverse DNS
// names it, and no SASL security layer is stacked on TLS (Active Directory
// refuses GSSAPI signing and sealing inside TLS).
//
// Time-outs: LDAP v3, referrals not chased. Every connection attempt (TCP
// connect and TLS handshake) is bounded by the network time-out, and every
// wait for an answer by the operation time-out (10 s and 30 s unless tuned).
// A server that stops answering therefore makes the step in progress fail
// after at most one network time-out per address of the host plus one
// operation time-out (about 40 s for a host with one address), and the
// search ends there: the caller checks for a stop request after each step.
#include <ldap.h>
#include <sasl/sasl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "platform/directory.h"
#include "platform/posix/directory_kerberos.h"

namespace platform {

namespace {

DirectoryTuning tuning;
std::string configuredCaFile;

// libldap reads ldap.conf, ldaprc and .ldaprc in the working and home
// folders, $LDAPRC and its LDAP* variables once, at its first call, unless
// LDAPNOINIT is set. That first call is made here, before main, while the
// process has one thread, with LDAPNOINIT set for its duration only (child
// processes such as ldapsearch keep their usual behaviour). The defaults
// that matter are given explicitly below instead (the CA, the check).
const bool libldapReadNoConfiguration = [] {
  const char* before = std::getenv("LDAPNOINIT");
  const std::string saved = before != nullptr ? before : "";
  setenv("LDAPNOINIT", "1", 1);
  int version = 0;
  const bool initialised = ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS;
  if (before != nullptr) {
    setenv("LDAPNOINIT", saved.c_str(), 1);
  } else {
    unsetenv("LDAPNOINIT");
  }
  return initialised;
}();

// TLS_CACERT of the system's ldap.conf, read here since libldap no longer
// reads the file itself; empty when the file or the line is missing.
std::string systemLdapConfCaFile() {
  std::FILE* file = std::fopen("/etc/ldap/ldap.conf", "r");
  if (file == nullptr) return {};
  std::string found;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string_view text(line);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
      text.remove_suffix(1);
    const size_t blank = text.find_first_of(" \t");
    if (blank == std::string_view::npos) continue;
    std::string keyword(text.substr(0, blank));
    for (char& c : keyword) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (keyword != "TLS_CACERT") continue;
    text.remove_prefix(blank);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    found = std::string(text);
  }
  std::fclose(file);
  return found;
}

uint32_t rangeSize() { return tuning.rangeSize; }
uint32_t pageSize() {
  return tuning.pageSize == 0 ? kDefaultPageSize : std::min<uint32_t>(tuning.pageSize, kDefaultPageSize);
}
// A time-out from the environment (whole seconds, 1 to 3600), for tests that
// make a directory stall and must not wait the defaults; 0 when unset or
// not such a number.
uint32_t environmentSeconds(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return *end == '\0' && value >= 1 && value <= 3600 ? static_cast<uint32_t>(value) : 0;
}
uint32_t networkTimeout() {
  static const uint32_t fromEnvironment = environmentSeconds("KELVASYNC_LDAP_NETWORK_TIMEOUT");
  if (tuning.networkTimeoutSeconds != 0) return tuning.networkTimeoutSeconds;
  return fromEnvironment != 0 ? fromEnvironment : kDefaultNetworkTimeoutSeconds;
}
uint32_t operationTimeout() {
  static const uint32_t fromEnvironment = environmentSeconds("KELVASYNC_LDAP_OPERATION_TIMEOUT");
  if (tuning.operationTimeoutSeconds != 0) return tuning.operationTimeoutSeconds;
  return fromEnvironment != 0 ? fromEnvironment : kDefaultOperationTimeoutSeconds;
}
// The most one call may take on a connection: libldap's own bounds (one
// network and one operation time-out) and a margin, so that where they work
// their failure is the one reported.
uint32_t callBound() { return networkTimeout() + operationTimeout() + 2; }

thread_local std::u16string lastErrorText;

int32_t fail(std::string text, int32_t code = kDirectoryFail) {
  lastErrorText = utf8ToUtf16(text);
  return code;
}

// Appended to a failure of the TLS step: libldap's own text for a refused
// certificate says nothing about certificates.
constexpr const char* kCertificateHint =
    "; certificado do servidor nao verificado? a CA que o emitiu deve estar no arquivo de [activedirectory] "
    "cacert, em LDAPTLS_CACERT ou em TLS_CACERT de /etc/ldap/ldap.conf";

// The code the group search is given for libldap's result `rc`: the
// failures it tells apart get ADSI's codes for them.
int32_t directoryCodeOf(int rc) {
  switch (rc) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR: return kDirectoryServerDown;
    case LDAP_TIMEOUT: return kDirectoryTimedOut;
    case LDAP_NO_SUCH_OBJECT: return kDirectoryNoSuchObject;
    default: return kDirectoryFail;
  }
}

// "LDAP <code>: <text>", with the server's diagnostic message when it sent
// one, and `hint` after it.
int32_t failLdap(LDAP* ld, int rc, const char* what, const char* hint = "") {
  std::string text = std::string(what) + ": LDAP " + std::to_string(rc) + ": " + ldap_err2string(rc);
  char* diagnostic = nullptr;
  if (ld != nullptr && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
      diagnostic != nullptr) {
    if (*diagnostic != '\0') text += std::string("; ") + diagnostic;
    ldap_memfree(diagnostic);
  }
  return fail(std::move(text) + hint, directoryCodeOf(rc));
}

// Attribute names and class names are ASCII: compared without the locale.
bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// True for a DN that ldap_dn_normalize() would give back unchanged: RDNs of
// one "type=value" each, types of letters, digits and '-' starting with a
// letter, values of letters, digits, '.', '-', '_' and inner blanks, joined
// by ',' with no blank around it. Most DNs are of this form; dnKey() then
// skips libldap's parser, which costs more than the rest of a member.
bool isPlainDn(std::string_view dn) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  const size_t n = dn.size();
  for (;;) {
    if (i == n || !letter(dn[i])) return false;  // the type
    while (i < n && (letter(dn[i]) || digit(dn[i]) || dn[i] == '-')) ++i;
    if (i == n || dn[i] != '=') return false;
    ++i;
    const size_t valueStart = i;  // the value: not empty, no blank at either end
    while (i < n && (letter(dn[i]) || digit(dn[i]) || dn[i] == '.' || dn[i] == '-' || dn[i] == '_' || dn[i] == ' '))
      ++i;
    if (i == valueStart || dn[valueStart] == ' ' || dn[i - 1] == ' ') return false;
    if (i == n) return true;
    if (dn[i] != ',') return false;
    ++i;
  }
}

// The key under which a DN is matched: LDAPv3 form with the spacing
// normalised, ASCII letters lower-cased (attribute names and values of
// Active Directory DNs compare without regard to case).
std::string dnKey(const std::string& dn) {
  std::string key = dn;
  if (isPlainDn(dn)) {
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
  }
  char* normalised = nullptr;
  if (ldap_dn_normalize(dn.c_str(), LDAP_DN_FORMAT_LDAP, &normalised, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
      normalised != nullptr) {
    key = normalised;
  }
  if (normalised != nullptr) ldap_memfree(normalised);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

size_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

// Two entries that the server holds apart but whose DNs give one key (a
// naming attribute that compares case-exactly, which Active Directory's never
// do): neither may stand in for the other, so the read fails, naming both.
int32_t failTwoEntriesOneKey(const std::string& first, const std::string& second) {
  return fail("duas entradas distintas do diretorio com o mesmo DN sem distincao de maiusculas: [" + first + "] e [" +
              second + "]; o Grupo nao pode ser lido assim");
}

struct LdapMessageHolder {
  LDAPMessage* message = nullptr;
  ~LdapMessageHolder() {
    if (message != nullptr) ldap_msgfree(message);
  }
};

std::vector<std::string> values(LDAP* ld, LDAPMessage* entry, const char* attribute) {
  std::vector<std::string> result;
  berval** list = ldap_get_values_len(ld, entry, attribute);
  if (list == nullptr) return result;
  for (berval** v = list; *v != nullptr; ++v) result.emplace_back((*v)->bv_val, (*v)->bv_len);
  ldap_value_free_len(list);
  return result;
}

bool hasClass(const std::vector<std::string>& classes, std::string_view name) {
  return std::any_of(classes.begin(), classes.end(), [&](const std::string& c) { return equalsIgnoreCase(c, name); });
}

timeval operationTimeval() {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(operationTimeout());
  return tv;
}

// One authenticated connection. Closed when the last object that uses it is
// released.
struct Session {
  LDAP* ld = nullptr;
  std::string namingContext;  // the domain's (first bind) or looked up later
  // The connection's socket once libldap has connected (-1 before and after
  // it), and whether the watchdog cut it; both guarded by the watchdog.
  int fd = -1;
  bool expired = false;
  ldap_conncb connectCallback{};
  ~Session();
};

// Bounds the blocking libldap calls that its own time-outs do not: the
// StartTLS answer and the TLS handshake (libldap 2.5 waits for both without
// limit), and a message that stops half-way (the socket is read blocking).
// When a call outlasts its bound, the watchdog's thread shuts the
// connection's socket down, which makes the call fail at once; the session
// is then dead and the step fails naming the time-out. One thread for the
// process, started at the first call.
class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;
  static Watchdog& instance() {
    static Watchdog watchdog;
    return watchdog;
  }
  uint64_t arm(Session& session, Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    const uint64_t id = next_++;
    armed_.emplace(id, Armed{deadline, &session});
    wake_.notify_all();
    return id;
  }
  void disarm(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_.erase(id);
  }
  // libldap's connection callbacks: the socket as it comes and goes.
  void connected(Session& session, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    session.fd = fd;
    if (session.expired) ::shutdown(fd, SHUT_RDWR);  // cut before its socket was known
  }
  void disconnected(Session& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    session.fd = -1;
  }
  bool expired(const Session& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    return session.expired;
  }

 private:
  struct Armed {
    Clock::time_point deadline;
    Session* session;
  };
  Watchdog() = default;
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      auto first = armed_.end();
      for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (first == armed_.end() || it->second.deadline < first->second.deadline) first = it;
      }
      if (first == armed_.end()) {
        wake_.wait(lock);
      } else if (const Clock::time_point deadline = first->second.deadline; Clock::now() < deadline) {
        // A copy: the entry may be disarmed (erased) while this waits.
        wake_.wait_until(lock, deadline);
      } else {
        Session& session = *first->second.session;
        session.expired = true;
        if (session.fd >= 0) ::shutdown(session.fd, SHUT_RDWR);
        armed_.erase(first);
      }
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<uint64_t, Armed> armed_;
  uint64_t next_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

Session::~Session() {
  if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
}

extern "C" int onConnect(LDAP*, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb* callback) {
  ber_socket_t fd = -1;
  if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1 && fd >= 0) {
    Watchdog::instance().connected(*static_cast<Session*>(callback->lc_arg), static_cast<int>(fd));
  }
  return 0;
}
extern "C" void onDisconnect(LDAP*, Sockbuf*, ldap_conncb* callback) {
  Watchdog::instance().disconnected(*static_cast<Session*>(callback->lc_arg));
}

// While it lives, the session's connection is bounded by callBound().
class BoundedScope {
 public:
  explicit BoundedScope(Session& session)
      : session_(session),
        id_(Watchdog::instance().arm(session, Watchdog::Clock::now() + std::chrono::seconds(callBound()))) {}
  ~BoundedScope() { Watchdog::instance().disarm(id_); }
  BoundedScope(const BoundedScope&) = delete;
  BoundedScope& operator=(const BoundedScope&) = delete;
  bool timedOut() const { return Watchdog::instance().expired(session_); }

 private:
  Session& session_;
  uint64_t id_;
};

// Runs one blocking libldap call on the session's connection within
// callBound(); `timedOut` tells whether the watchdog had to cut it.
template <typename Call>
int bounded(Session& session, bool& timedOut, Call call) {
  const BoundedScope scope(session);
  const int rc = call();
  timedOut = scope.timedOut();
  return rc;
}

// Answers the SASL library's questions during a GSSAPI bind: the
// authorization identity is left to the mechanism (the ticket's principal).
// The mechanism asks before it looks for credentials, and the bind's SASL
// context exists by then: it is handed `credential` (a KerberosCredential).
extern "C" int answerSasl(LDAP* ld, unsigned, void* credential, void* questions) {
  const gss_cred_id_t held = static_cast<const KerberosCredential*>(credential)->get();
  if (ldap_set_option(ld, LDAP_OPT_X_SASL_GSS_CREDS, held) != LDAP_OPT_SUCCESS) return LDAP_LOCAL_ERROR;
  for (auto* question = static_cast<sasl_interact_t*>(questions); question->id != SASL_CB_LIST_END; ++question) {
    const char* answer = question->defresult != nullptr ? question->defresult : "";
    question->result = answer;
    question->len = static_cast<unsigned>(std::strlen(answer));
  }
  return LDAP_SUCCESS;
}

// The step's failure after the watchdog cut its call.
int32_t failTimedOut(const char* step) {
  return fail(std::string(step) + ": tempo limite de " + std::to_string(callBound()) +
                  " s esgotado; o servidor parou de responder",
              kDirectoryTimedOut);
}

// Whether a member is a user, as far as the classes it shows tell. Every
// user of Active Directory carries the class `user` (a computer and a
// managed service account too); an entry of a structural class that can be
// a member but never a user (a group, a contact, a foreign security
// principal) is known not to be one. Anything else is a member whose read is
// incomplete: no class visible, or only classes that decide nothing (top,
// person, organizationalPerson), as when an access rule hides the value
// `user` alone.
enum class MemberClass : uint8_t { Unknown, User, NotUser };

// One member's entry as the member search returned it.
struct MemberEntry {
  std::string dn;
  MemberClass memberClass = MemberClass::Unknown;
  bool hasCn = false, hasLogon = false;
  std::u16string cn, logon;
};

// The group entry: its DN as the server spells it and its classes.
struct GroupEntry {
  std::string dn;
  std::vector<std::string> objectClasses;
};

// The cursor of one enumeration: the member values and the entries read so
// far, a page at a time.
struct Cursor {
  std::shared_ptr<Session> session;
  std::shared_ptr<GroupEntry> group;
  std::shared_ptr<const std::vector<std::string>> memberDns;
  size_t index = 0;
  std::unordered_map<std::string, std::shared_ptr<MemberEntry>> entries;  // by dnKey
  // The entries already handed out, by the hash of their dnKey: the hash of
  // the DN as the server spells it, and the member value it was handed out
  // for. An entry of a later page under a key already handed out for
  // another DN is a second entry that the key cannot tell apart.
  struct HandedOut {
    size_t dnHash;
    size_t valueIndex;
  };
  std::unordered_map<size_t, HandedOut> handedOut;
  berval* cookie = nullptr;
  // The request for the next page, sent as soon as the page before it has
  // ended, so that the server prepares it while this side hands out the
  // page in hand; -1 when none is outstanding.
  int pendingMessage = -1;
  bool searchDone = false;
  ~Cursor() {
    if (pendingMessage >= 0 && session != nullptr && session->ld != nullptr) {
      ldap_abandon_ext(session->ld, pendingMessage, nullptr, nullptr);
    }
    if (cookie != nullptr) ber_bvfree(cookie);
  }
};

}  // namespace

struct DirectoryObject {
  enum class Kind { Bound, Group, Members, Enumerator, VariantEnumerator, Element, User } kind;
  std::shared_ptr<Session> session;
  std::shared_ptr<GroupEntry> group;
  std::shared_ptr<const std::vector<std::string>> memberDns;
  std::shared_ptr<Cursor> cursor;
  std::shared_ptr<MemberEntry> member;
};

namespace {

DirectoryRef newObject(DirectoryObject::Kind kind, const DirectoryObject* from) {
  auto* object = new DirectoryObject{kind, {}, {}, {}, {}, {}};
  if (from != nullptr) {
    object->session = from->session;
    object->group = from->group;
    object->memberDns = from->memberDns;
    object->cursor = from->cursor;
    object->member = from->member;
  }
  return object;
}

// "LDAP://host[:port][/DN]" split into its parts; the DN's "\/" (how ADSI
// paths escape a slash) becomes "/".
bool parsePath(const std::string& path, std::string& host, std::string& port, std::string& dn) {
  constexpr std::string_view scheme = "LDAP://";
  if (path.size() < scheme.size() || !equalsIgnoreCase(path.substr(0, scheme.size()), scheme)) return false;
  const std::string rest = path.substr(scheme.size());
  const size_t slash = rest.find('/');
  std::string hostPort = rest.substr(0, slash);
  if (slash != std::string::npos) {
    for (size_t i = slash + 1; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size() && rest[i + 1] == '/') continue;
      dn.push_back(rest[i]);
    }
  }
  // host, host:port, [v6 address] or [v6 address]:port
  const size_t close = hostPort.rfind(']');
  const size_t colon = hostPort.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos ? hostPort.find(':') == colon : colon > close)) {
    port = hostPort.substr(colon + 1);
    hostPort.resize(colon);
  }
  host = hostPort;
  if (host.empty()) return false;
  return port.empty() || std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Connects, secures the connection and binds. On failure the error text is
// set and null returned.
int32_t connectAndBind(const std::string& host, const std::string& port, const std::u16string& user,
                       const std::u16string& password, std::shared_ptr<Session>& session) {
  // libldap and the TLS library write to the socket without MSG_NOSIGNAL: a
  // server that drops the connection must fail the call, not end the process.
  static std::once_flag ignorePipe;
  std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });

  // No account and no password: the service's own Kerberos identity. Its
  // ticket is obtained first, so that a keytab or KDC problem is named as
  // such, before any connection to the server.
  const bool kerberos = user.empty() && password.empty();
  if (!kerberos && password.empty()) return fail("senha vazia: bind sem autenticacao recusado");
  KerberosCredential credential;
  if (kerberos) {
    std::string problem;
    if (!acquireKerberosCredentials(credential, problem)) return fail(problem, kDirectoryNoCredentials);
  }

  // Before the first connection the process-wide TLS settings name the CA
  // and demand a verified certificate, and the TLS context is made anew
  // from them. Connections inherit both (a connection's own TLS settings
  // start without any CA, so they are not the place for this). libldap
  // reads no file or variable of its own (LDAPNOINIT): none could switch
  // the check off or swap the trust anchor.
  static int tlsSetup = LDAP_OPT_ERROR;
  static std::once_flag tlsOnce;
  std::call_once(tlsOnce, [] {
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int clientContext = 0;
    const DirectoryTrust trust = directoryTrust();
    tlsSetup = trust.caFile.empty() ? LDAP_OPT_SUCCESS
                                    : ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, trust.caFile.c_str());
    if (tlsSetup == LDAP_OPT_SUCCESS) tlsSetup = ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    if (tlsSetup == LDAP_OPT_SUCCESS) tlsSetup = ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &clientContext);
  });
  if (tlsSetup != LDAP_OPT_SUCCESS) return fail(std::string("contexto TLS recusado") + kCertificateHint);

  const bool ldaps = port == "636";
  const std::string uri = std::string(ldaps ? "ldaps://" : "ldap://") + host + (port.empty() ? "" : ":" + port);
  auto s = std::make_shared<Session>();
  int rc = ldap_initialize(&s->ld, uri.c_str());
  if (rc != LDAP_SUCCESS || s->ld == nullptr) return failLdap(nullptr, rc, uri.c_str());

  const int version = LDAP_VERSION3;
  timeval network{};
  network.tv_sec = static_cast<time_t>(networkTimeout());
  timeval operation = operationTimeval();
  if (ldap_set_option(s->ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(s->ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(s->ld, LDAP_OPT_NETWORK_TIMEOUT, &network) != LDAP_OPT_SUCCESS ||
      ldap_set_option(s->ld, LDAP_OPT_TIMEOUT, &operation) != LDAP_OPT_SUCCESS) {
    return fail("opcoes LDAP recusadas");
  }
  if (kerberos && (ldap_set_option(s->ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != LDAP_OPT_SUCCESS ||
                   ldap_set_option(s->ld, LDAP_OPT_X_SASL_SECPROPS, "maxssf=0") != LDAP_OPT_SUCCESS)) {
    return fail("opcoes SASL recusadas");
  }
  s->connectCallback.lc_add = onConnect;
  s->connectCallback.lc_del = onDisconnect;
  s->connectCallback.lc_arg = s.get();
  if (ldap_set_option(s->ld, LDAP_OPT_CONNECT_CB, &s->connectCallback) != LDAP_OPT_SUCCESS) {
    return fail("opcoes LDAP recusadas");
  }

  // The connection (over LDAPS with its handshake), then StartTLS: each
  // bounded, since a peer that accepts and then stalls holds libldap's
  // call for ever.
  bool timedOut = false;
  rc = bounded(*s, timedOut, [&] { return ldap_connect(s->ld); });
  if (timedOut) return failTimedOut(ldaps ? "conexao LDAPS" : "conexao");
  if (rc != LDAP_SUCCESS) {
    return ldaps ? failLdap(s->ld, rc, "conexao LDAPS", kCertificateHint) : failLdap(s->ld, rc, "conexao");
  }
  if (!ldaps) {
    rc = bounded(*s, timedOut, [&] { return ldap_start_tls_s(s->ld, nullptr, nullptr); });
    if (timedOut) return failTimedOut("StartTLS");
    // The server accepted StartTLS and the handshake failed here: almost
    // always a certificate this client does not trust.
    if (rc == LDAP_CONNECT_ERROR) return failLdap(s->ld, rc, "StartTLS", kCertificateHint);
    if (rc != LDAP_SUCCESS) return failLdap(s->ld, rc, "StartTLS");
  }

  if (kerberos) {
    rc = bounded(*s, timedOut, [&] {
      return ldap_sasl_interactive_bind_s(s->ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, answerSasl,
                                          &credential);
    });
    if (timedOut) return failTimedOut("bind GSSAPI");
    if (rc == LDAP_AUTH_UNKNOWN) {
      return fail("bind GSSAPI: o mecanismo GSSAPI do SASL nao estah instalado (pacote "
                  "libsasl2-modules-gssapi-mit)",
                  kDirectoryNoCredentials);
    }
    if (rc != LDAP_SUCCESS) return failLdap(s->ld, rc, "bind GSSAPI");
    session = std::move(s);
    return kDirectoryOk;
  }

  const std::string name = utf16ToUtf8(user);
  std::string secret = utf16ToUtf8(password);
  berval credentials{};
  credentials.bv_val = const_cast<char*>(secret.data());
  credentials.bv_len = secret.size();
  rc = bounded(*s, timedOut, [&] {
    return ldap_sasl_bind_s(s->ld, name.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
  });
  wipe(secret);  // the settings keep the one copy
  if (timedOut) return failTimedOut("bind");
  // Over LDAPS the handshake happens with the first request: a server that
  // cannot be reached and one whose certificate is refused look alike.
  if (rc == LDAP_SERVER_DOWN && ldaps) return failLdap(s->ld, rc, "bind", kCertificateHint);
  if (rc != LDAP_SUCCESS) return failLdap(s->ld, rc, "bind");
  session = std::move(s);
  return kDirectoryOk;
}

// Reads the rootDSE's naming context into the session.
int32_t readNamingContext(Session& session) {
  char defaultNc[] = "defaultNamingContext", contexts[] = "namingContexts";
  char* attributes[] = {defaultNc, contexts, nullptr};
  LdapMessageHolder result;
  timeval tv = operationTimeval();
  bool timedOut = false;
  int rc = bounded(session, timedOut, [&] {
    return ldap_search_ext_s(session.ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr, nullptr,
                             &tv, 0, &result.message);
  });
  if (timedOut) return failTimedOut("rootDSE");
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "rootDSE");
  LDAPMessage* entry = ldap_first_entry(session.ld, result.message);
  if (entry == nullptr) return fail("rootDSE ilegivel");
  std::vector<std::string> found = values(session.ld, entry, defaultNc);
  if (found.empty()) found = values(session.ld, entry, contexts);
  if (!found.empty()) session.namingContext = found.front();
  return kDirectoryOk;
}

int32_t ldapOpenObject(const std::u16string& path, const std::u16string& user, const std::u16string& password,
                       DirectoryRef* object) {
  *object = nullptr;
  std::string host, port, dn;
  if (!parsePath(utf16ToUtf8(path), host, port, dn)) return fail("caminho LDAP invalido");

  std::shared_ptr<Session> session;
  int32_t code = connectAndBind(host, port, user, password, session);
  if (!directorySucceeded(code)) return code;

  if (dn.empty()) {
    code = readNamingContext(*session);
    if (!directorySucceeded(code)) return code;
    auto* bound = newObject(DirectoryObject::Kind::Bound, nullptr);
    bound->session = std::move(session);
    *object = bound;
    return kDirectoryOk;
  }

  char objectClass[] = "objectClass";
  char* attributes[] = {objectClass, nullptr};
  LdapMessageHolder result;
  timeval tv = operationTimeval();
  bool timedOut = false;
  int rc = bounded(*session, timedOut, [&] {
    return ldap_search_ext_s(session->ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                             nullptr, &tv, 0, &result.message);
  });
  if (timedOut) return failTimedOut("entrada");
  if (rc != LDAP_SUCCESS) return failLdap(session->ld, rc, "entrada");
  LDAPMessage* entry = ldap_first_entry(session->ld, result.message);
  if (entry == nullptr) return fail("entrada ilegivel");
  auto group = std::make_shared<GroupEntry>();
  char* entryDn = ldap_get_dn(session->ld, entry);
  group->dn = entryDn != nullptr ? entryDn : dn;
  if (entryDn != nullptr) ldap_memfree(entryDn);
  group->objectClasses = values(session->ld, entry, objectClass);

  auto* bound = newObject(DirectoryObject::Kind::Bound, nullptr);
  bound->session = std::move(session);
  bound->group = std::move(group);
  *object = bound;
  return kDirectoryOk;
}

int32_t ldapGetPath(DirectoryRef object) {
  if (object == nullptr || object->kind != DirectoryObject::Kind::Bound) return fail("objeto invalido");
  if (object->group == nullptr && object->session->namingContext.empty()) {
    return fail("rootDSE sem defaultNamingContext");
  }
  return kDirectoryOk;
}

int32_t ldapQueryGroup(DirectoryRef object, DirectoryRef* group) {
  *group = nullptr;
  if (object == nullptr || object->group == nullptr || !hasClass(object->group->objectClasses, "group")) {
    return fail("a entrada nao e um grupo", kDirectoryNoInterface);
  }
  *group = newObject(DirectoryObject::Kind::Group, object);
  return kDirectoryOk;
}

// The range named by an attribute description "member;range=low-high";
// high is -1 for "*". False when `description` is not a range of member.
bool parseRange(const char* description, long long& low, long long& high) {
  constexpr std::string_view prefix = "member;range=";
  const std::string_view text(description);
  if (text.size() <= prefix.size() || !equalsIgnoreCase(text.substr(0, prefix.size()), prefix)) return false;
  const std::string range(text.substr(prefix.size()));
  const size_t dash = range.find('-');
  if (dash == std::string::npos || dash == 0) return false;
  char* end = nullptr;
  low = std::strtoll(range.c_str(), &end, 10);
  if (end != range.c_str() + dash) return false;
  const std::string upper = range.substr(dash + 1);
  if (upper == "*") {
    high = -1;
    return true;
  }
  high = std::strtoll(upper.c_str(), &end, 10);
  return !upper.empty() && *end == '\0' && high >= low;
}

int32_t ldapMembers(DirectoryRef group, DirectoryRef* members) {
  *members = nullptr;
  if (group == nullptr || group->kind != DirectoryObject::Kind::Group) return fail("objeto invalido");
  Session& session = *group->session;
  auto dns = std::make_shared<std::vector<std::string>>();

  // Without a range size, "member" is asked for: a server that limits the
  // values per answer (Active Directory) names the range it returned, and the
  // rest is asked for from there on.
  long long low = 0;
  bool first = true;
  for (;;) {
    std::string description = "member";
    if (!first || rangeSize() != 0) {
      description += ";range=" + std::to_string(low) + "-" +
                     (rangeSize() != 0 ? std::to_string(low + rangeSize() - 1) : std::string("*"));
    }
    first = false;
    char* attributes[] = {description.data(), nullptr};
    LdapMessageHolder result;
    timeval tv = operationTimeval();
    bool timedOut = false;
    int rc = bounded(session, timedOut, [&] {
      return ldap_search_ext_s(session.ld, group->group->dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes,
                               0, nullptr, nullptr, &tv, 0, &result.message);
    });
    if (timedOut) return failTimedOut("member");
    if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "member");
    LDAPMessage* entry = ldap_first_entry(session.ld, result.message);
    if (entry == nullptr) return fail("grupo ilegivel");

    bool more = false;
    BerElement* ber = nullptr;
    for (char* name = ldap_first_attribute(session.ld, entry, &ber); name != nullptr;
         name = ldap_next_attribute(session.ld, entry, ber)) {
      long long rangeLow = 0, rangeHigh = 0;
      const bool whole = equalsIgnoreCase(name, "member");
      const bool ranged = !whole && parseRange(name, rangeLow, rangeHigh);
      if ((whole || ranged) && (!ranged || rangeLow == low)) {
        for (std::string& value : values(session.ld, entry, name)) dns->push_back(std::move(value));
        if (ranged && rangeHigh >= 0) {
          more = true;
          low = rangeHigh + 1;
        }
      }
      ldap_memfree(name);
    }
    if (ber != nullptr) ber_free(ber, 0);
    if (!more) break;  // the whole attribute, the last range, or no values left
  }
  auto* object = newObject(DirectoryObject::Kind::Members, group);
  object->memberDns = std::move(dns);
  *members = object;
  return kDirectoryOk;
}

int32_t ldapNewEnum(DirectoryRef members, DirectoryRef* enumerator) {
  *enumerator = nullptr;
  if (members == nullptr || members->kind != DirectoryObject::Kind::Members) return fail("objeto invalido");
  auto cursor = std::make_shared<Cursor>();
  cursor->session = members->session;
  cursor->group = members->group;
  cursor->memberDns = members->memberDns;
  auto* object = newObject(DirectoryObject::Kind::Enumerator, members);
  object->cursor = std::move(cursor);
  *enumerator = object;
  return kDirectoryOk;
}

int32_t ldapQueryEnumVariant(DirectoryRef enumerator, DirectoryRef* variantEnumerator) {
  *variantEnumerator = nullptr;
  if (enumerator == nullptr || enumerator->kind != DirectoryObject::Kind::Enumerator) {
    return fail("objeto invalido", kDirectoryNoInterface);
  }
  *variantEnumerator = newObject(DirectoryObject::Kind::VariantEnumerator, enumerator);
  return kDirectoryOk;
}

std::string escapedFilterValue(const std::string& value) {
  berval in{};
  in.bv_val = const_cast<char*>(value.data());
  in.bv_len = value.size();
  berval out{};
  if (ldap_bv2escaped_filter_value(&in, &out) != 0) return value;
  std::string escaped(out.bv_val, out.bv_len);
  ber_memfree(out.bv_val);
  return escaped;
}

char memberAttributes[3][16] = {"objectClass", "cn", "sAMAccountName"};

// The parts of a member's entry the search uses, taken in one pass over the
// entry: the DN and the values are read in place, so that only the strings
// kept are allocated (a search of many members spends most of its time here).
std::shared_ptr<MemberEntry> memberEntryOf(LDAP* ld, LDAPMessage* entry) {
  auto member = std::make_shared<MemberEntry>();
  BerElement* ber = nullptr;
  berval dn{};
  if (ldap_get_dn_ber(ld, entry, &ber, &dn) != LDAP_SUCCESS) {
    if (ber != nullptr) ber_free(ber, 0);
    return member;  // no DN: the caller skips the entry
  }
  member->dn.assign(dn.bv_val, dn.bv_len);
  berval name{};
  berval* list = nullptr;
  while (ldap_get_attribute_ber(ld, entry, ber, &name, &list) == LDAP_SUCCESS && name.bv_val != nullptr) {
    const std::string_view attribute(name.bv_val, name.bv_len);
    const bool none = list == nullptr || list[0].bv_val == nullptr;
    if (equalsIgnoreCase(attribute, memberAttributes[0])) {
      for (berval* v = list; v != nullptr && v->bv_val != nullptr; ++v) {
        const std::string_view value(v->bv_val, v->bv_len);
        if (equalsIgnoreCase(value, "user")) {
          member->memberClass = MemberClass::User;
        } else if (member->memberClass == MemberClass::Unknown &&
                   (equalsIgnoreCase(value, "group") || equalsIgnoreCase(value, "contact") ||
                    equalsIgnoreCase(value, "foreignSecurityPrincipal"))) {
          member->memberClass = MemberClass::NotUser;
        }
      }
    } else if (equalsIgnoreCase(attribute, memberAttributes[1]) && !none && !member->hasCn) {
      member->hasCn = true;
      member->cn = utf8ToUtf16(std::string_view(list[0].bv_val, list[0].bv_len));
    } else if (equalsIgnoreCase(attribute, memberAttributes[2]) && !none && !member->hasLogon) {
      member->hasLogon = true;
      member->logon = utf8ToUtf16(std::string_view(list[0].bv_val, list[0].bv_len));
    }
    if (list != nullptr) ber_memfree(list);
    list = nullptr;
  }
  if (list != nullptr) ber_memfree(list);
  ber_free(ber, 0);
  return member;
}

// Reads one member's entry by a base search on its DN. `member` stays null
// when the directory says the entry cannot be read here (no such entry, not
// visible to the account, or held by another server); any other failure (the
// server gone, a time-out) fails the step, so that the group is not taken
// as read.
int32_t readMemberByDn(Session& session, const std::string& dn, std::shared_ptr<MemberEntry>& member) {
  member.reset();
  char* attributes[] = {memberAttributes[0], memberAttributes[1], memberAttributes[2], nullptr};
  LdapMessageHolder result;
  timeval tv = operationTimeval();
  bool timedOut = false;
  const int rc = bounded(session, timedOut, [&] {
    return ldap_search_ext_s(session.ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                             nullptr, &tv, 0, &result.message);
  });
  if (timedOut) return failTimedOut("membro");
  if (rc == LDAP_NO_SUCH_OBJECT || rc == LDAP_INSUFFICIENT_ACCESS || rc == LDAP_REFERRAL ||
      rc == LDAP_INVALID_DN_SYNTAX) {
    return kDirectoryOk;
  }
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "membro");
  LDAPMessage* entry = ldap_first_entry(session.ld, result.message);
  if (entry != nullptr) member = memberEntryOf(session.ld, entry);
  return kDirectoryOk;
}

// Abandons the request in flight, if any: the read is given up.
void abandonPending(Cursor& cursor) {
  if (cursor.pendingMessage >= 0) ldap_abandon_ext(cursor.session->ld, cursor.pendingMessage, nullptr, nullptr);
  cursor.pendingMessage = -1;
}

// Sends the request for the page after the cursor's cookie (the first page
// when there is none).
int32_t requestPage(Cursor& cursor) {
  Session& session = *cursor.session;
  if (session.namingContext.empty()) {
    int32_t code = readNamingContext(session);
    if (!directorySucceeded(code)) return code;
    if (session.namingContext.empty()) return fail("rootDSE sem defaultNamingContext");
  }
  const std::string filter = "(memberOf=" + escapedFilterValue(cursor.group->dn) + ")";
  char* attributes[] = {memberAttributes[0], memberAttributes[1], memberAttributes[2], nullptr};

  LDAPControl* pageControl = nullptr;
  int rc = ldap_create_page_control(session.ld, static_cast<ber_int_t>(pageSize()), cursor.cookie, 1, &pageControl);
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "pagina");
  LDAPControl* serverControls[] = {pageControl, nullptr};
  timeval tv = operationTimeval();
  int messageId = 0;
  rc = ldap_search_ext(session.ld, session.namingContext.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attributes, 0,
                       serverControls, nullptr, &tv, 0, &messageId);
  ldap_control_free(pageControl);
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "membros");
  cursor.pendingMessage = messageId;
  return kDirectoryOk;
}

int32_t readPageWithin(Cursor& cursor);

// Reads the next page of the members' entries into the cursor, and asks for
// the one after it.
int32_t readPage(Cursor& cursor) {
  Session& session = *cursor.session;
  // One bound for the page: a message that stops half-way blocks the read
  // of the socket beyond the waits below.
  const BoundedScope scope(session);
  const int32_t code = readPageWithin(cursor);
  return scope.timedOut() ? failTimedOut("membros") : code;
}

int32_t readPageWithin(Cursor& cursor) {
  Session& session = *cursor.session;
  if (cursor.pendingMessage < 0) {
    const int32_t code = requestPage(cursor);
    if (!directorySucceeded(code)) return code;
  }
  const int messageId = cursor.pendingMessage;

  // The entries are taken one by one as they arrive, so that reading them
  // here overlaps the server's sending of the rest of the page. The whole
  // page, not each message, is bounded by the operation time-out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(operationTimeout());
  LdapMessageHolder result;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    timeval wait{};
    if (left.count() > 0) {
      wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
      wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    }
    LDAPMessage* message = nullptr;
    const int type = left.count() > 0 ? ldap_result(session.ld, messageId, LDAP_MSG_ONE, &wait, &message) : 0;
    if (type <= 0) {
      int code = LDAP_TIMEOUT;
      if (type < 0) ldap_get_option(session.ld, LDAP_OPT_RESULT_CODE, &code);
      ldap_abandon_ext(session.ld, messageId, nullptr, nullptr);
      cursor.pendingMessage = -1;
      return failLdap(session.ld, code, "membros");
    }
    if (type == LDAP_RES_SEARCH_RESULT) {
      result.message = message;
      cursor.pendingMessage = -1;
      break;
    }
    LdapMessageHolder held{message};
    if (type != LDAP_RES_SEARCH_ENTRY) continue;  // a continuation reference: another server's entries
    LDAPMessage* entry = ldap_first_entry(session.ld, message);
    if (entry == nullptr) continue;
    std::shared_ptr<MemberEntry> member = memberEntryOf(session.ld, entry);
    if (member->dn.empty()) continue;
    std::string key = dnKey(member->dn);
    const auto waiting = cursor.entries.find(key);
    if (waiting != cursor.entries.end() && waiting->second->dn != member->dn) {
      abandonPending(cursor);
      return failTwoEntriesOneKey(waiting->second->dn, member->dn);
    }
    const auto given = cursor.handedOut.find(hashOf(key));
    if (given != cursor.handedOut.end() && given->second.dnHash != hashOf(member->dn)) {
      abandonPending(cursor);
      return failTwoEntriesOneKey((*cursor.memberDns)[given->second.valueIndex], member->dn);
    }
    cursor.entries[std::move(key)] = std::move(member);
  }

  // The cookie of the next page; none (or an empty one) ends the search.
  LDAPControl** controls = nullptr;
  int resultCode = LDAP_SUCCESS;
  int rc = ldap_parse_result(session.ld, result.message, &resultCode, nullptr, nullptr, nullptr, &controls, 0);
  if (rc == LDAP_SUCCESS && resultCode != LDAP_SUCCESS) {
    if (controls != nullptr) ldap_controls_free(controls);
    rc = resultCode;
  }
  if (rc != LDAP_SUCCESS) return failLdap(session.ld, rc, "membros");
  if (cursor.cookie != nullptr) {
    ber_bvfree(cursor.cookie);
    cursor.cookie = nullptr;
  }
  LDAPControl* response =
      controls != nullptr ? ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr) : nullptr;
  if (response != nullptr) {
    ber_int_t estimate = 0;
    berval cookie{};
    if (ldap_parse_pageresponse_control(session.ld, response, &estimate, &cookie) == LDAP_SUCCESS &&
        cookie.bv_len > 0) {
      cursor.cookie = ber_bvdup(&cookie);
    }
    if (cookie.bv_val != nullptr) ber_memfree(cookie.bv_val);
  }
  if (controls != nullptr) ldap_controls_free(controls);
  cursor.searchDone = cursor.cookie == nullptr;
  return cursor.searchDone ? kDirectoryOk : requestPage(cursor);
}

int32_t ldapNext(DirectoryRef variantEnumerator, DirectoryRef* element, uint32_t* fetched) {
  *element = nullptr;
  *fetched = 0;
  if (variantEnumerator == nullptr || variantEnumerator->kind != DirectoryObject::Kind::VariantEnumerator) {
    return fail("objeto invalido");
  }
  Cursor& cursor = *variantEnumerator->cursor;
  if (cursor.index >= cursor.memberDns->size()) return kDirectoryNoMore;

  const std::string key = dnKey((*cursor.memberDns)[cursor.index]);
  auto found = cursor.entries.find(key);
  while (found == cursor.entries.end() && !cursor.searchDone) {
    int32_t code = readPage(cursor);
    if (!directorySucceeded(code)) return code;
    found = cursor.entries.find(key);
  }
  std::shared_ptr<MemberEntry> member;
  if (found != cursor.entries.end()) {
    member = std::move(found->second);
    cursor.entries.erase(found);  // each entry is handed out once; keeps memory to the pages in hand
    cursor.handedOut[hashOf(key)] = {hashOf(member->dn), cursor.index};
  } else {
    const int32_t code = readMemberByDn(*cursor.session, (*cursor.memberDns)[cursor.index], member);
    if (!directorySucceeded(code)) return code;
    if (member != nullptr) {
      // The value may spell the DN otherwise than the entry does (another
      // case of a letter beyond ASCII, another escaping): the memberOf search
      // returned the same entry under the server's spelling, and it is this
      // member, not one the list lacks.
      const std::string serverKey = dnKey(member->dn);
      const auto same = cursor.entries.find(serverKey);
      if (same != cursor.entries.end()) {
        if (same->second->dn != member->dn) return failTwoEntriesOneKey(same->second->dn, member->dn);
        cursor.entries.erase(same);
      }
      cursor.handedOut[hashOf(serverKey)] = {hashOf(member->dn), cursor.index};
    }
  }
  ++cursor.index;
  *fetched = 1;
  if (member == nullptr) return kDirectoryOk;  // a member the account cannot read
  auto* object = newObject(DirectoryObject::Kind::Element, nullptr);
  object->member = std::move(member);
  *element = object;
  return kDirectoryOk;
}

int32_t ldapQueryUser(DirectoryRef element, DirectoryRef* user) {
  *user = nullptr;
  if (element == nullptr || element->member == nullptr) return fail("objeto invalido");
  switch (element->member->memberClass) {
    case MemberClass::Unknown: return fail("objectClass ilegivel ou incompleto: " + element->member->dn);
    case MemberClass::NotUser: return fail("o membro nao e um usuario", kDirectoryNoInterface);
    case MemberClass::User: break;
  }
  *user = newObject(DirectoryObject::Kind::User, element);
  return kDirectoryOk;
}

// True when `name` spells the ASCII `attribute` in any case (no conversion:
// this is asked twice per member).
bool namesAttribute(const std::u16string& name, std::string_view attribute) {
  const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  return name.size() == attribute.size() &&
         std::equal(name.begin(), name.end(), attribute.begin(),
                    [&](char16_t x, char y) { return fold(x) == fold(static_cast<unsigned char>(y)); });
}

int32_t ldapGetAttribute(DirectoryRef user, const std::u16string& name, std::u16string* value) {
  if (user == nullptr || user->kind != DirectoryObject::Kind::User) return fail("objeto invalido");
  const MemberEntry& member = *user->member;
  if (namesAttribute(name, "cn") && member.hasCn) {
    *value = member.cn;
    return kDirectoryOk;
  }
  if (namesAttribute(name, "sAMAccountName") && member.hasLogon) {
    *value = member.logon;
    return kDirectoryOk;
  }
  return fail("atributo ausente: " + utf16ToUtf8(name));
}

// The paged memberOf search behind `next` is read to its end; the entries it
// returned that no member value claimed are the unlisted members. Costs no
// search of its own when the enumeration already read every page.
int32_t ldapUnlistedMembers(const MemberCrossCheck& check, std::vector<std::u16string>* unlisted) {
  const DirectoryRef enumeration = check.enumeration;
  if (enumeration == nullptr || enumeration->kind != DirectoryObject::Kind::VariantEnumerator) {
    return fail("objeto invalido");
  }
  Cursor& cursor = *enumeration->cursor;
  while (!cursor.searchDone) {
    const int32_t code = readPage(cursor);
    if (!directorySucceeded(code)) return code;
  }
  // In the order of the DNs, so that the log names them the same way each time.
  std::vector<std::string> names;
  names.reserve(cursor.entries.size());
  for (const auto& entry : cursor.entries) names.push_back(entry.second->dn);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) unlisted->push_back(utf8ToUtf16(name));
  cursor.entries.clear();
  return kDirectoryOk;
}

int32_t ldapValueName(DirectoryRef variantEnumerator, std::u16string* name) {
  if (variantEnumerator == nullptr || variantEnumerator->kind != DirectoryObject::Kind::VariantEnumerator) {
    return fail("objeto invalido");
  }
  const Cursor& cursor = *variantEnumerator->cursor;
  if (cursor.index == 0) return fail("nenhum membro lido");
  *name = utf8ToUtf16((*cursor.memberDns)[cursor.index - 1]);
  return kDirectoryOk;
}

void ldapRelease(DirectoryRef object) { delete object; }

int32_t ldapInitialize() { return kDirectoryOk; }
void ldapUninitialize() {}

std::u16string ldapErrorText(int32_t) { return lastErrorText; }

const DirectoryApi ldapApi = {
    ldapInitialize, ldapUninitialize, ldapOpenObject, ldapGetPath,  ldapQueryGroup,   ldapMembers,
    ldapNewEnum,    ldapQueryEnumVariant, ldapNext,   ldapQueryUser, ldapGetAttribute, ldapRelease,
    ldapErrorText,  nullptr,              ldapUnlistedMembers, ldapValueName,
};

}  // namespace

const DirectoryApi& platformDirectoryApi() { return ldapApi; }

void setDirectoryTuning(const DirectoryTuning& newTuning) { tuning = newTuning; }

bool setDirectoryCaFile(const std::string& path) {
  configuredCaFile = path;
  return true;
}

DirectoryTrust directoryTrust() {
  if (!configuredCaFile.empty()) return {configuredCaFile, "[activedirectory] cacert"};
  const char* environment = std::getenv("LDAPTLS_CACERT");
  if (environment != nullptr && *environment != '\0') return {environment, "LDAPTLS_CACERT"};
  std::string system = systemLdapConfCaFile();
  if (!system.empty()) return {std::move(system), "TLS_CACERT de /etc/ldap/ldap.conf"};
  return {};
}

}  // namespace platform

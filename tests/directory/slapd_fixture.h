// A throwaway slapd with Active Directory's schema essentials, for the
// directory tests and benchmarks (scripts/start-slapd.sh does the work).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

constexpr const char* kSuffix = "dc=kelvasync,dc=test";
constexpr const char* kServiceAccount = "cn=svc,ou=Users,dc=kelvasync,dc=test";
constexpr const char* kServicePassword = "segredo";

// Entries for the test directory, written as LDIF with memberOf filled in the
// way the memberof overlay would (the loader bypasses the overlay). Values
// are UTF-8.
class DirectoryData {
 public:
  DirectoryData();  // the suffix, ou=Users, ou=Groups, ou=Contacts, the service account
  // Adds an entry; the DN is returned. `classes` is e.g. {"user"}.
  std::string add(const std::string& dn, const std::vector<std::string>& classes,
                  const std::map<std::string, std::string>& attributes);
  std::string addUser(const std::string& cn, const std::string& logon);  // under ou=Users
  std::string addGroup(const std::string& cn, const std::vector<std::string>& memberDns);  // under ou=Groups
  std::string addContact(const std::string& cn);  // under ou=Contacts
  std::string ldif() const;

 private:
  struct Entry {
    std::string dn;
    std::vector<std::string> classes;
    std::map<std::string, std::string> attributes;
    std::vector<std::string> members, memberOf;
  };
  std::vector<Entry> entries_;
  std::map<std::string, size_t> index_;  // DN as given, and lower-cased -> entry
};

// Lower-cases ASCII letters (DNs compare without regard to case).
std::string lowerAscii(std::string text);

class SlapdServer {
 public:
  // Starts the server over `data`; throws std::runtime_error when it cannot.
  // With `certificateName`, its certificate names that DNS name alone, not
  // the address it is reached by.
  explicit SlapdServer(const DirectoryData& data, const std::string& certificateName = "");
  ~SlapdServer();  // stops the server and removes its folder
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& folder() const { return folder_; }
  std::string caFile() const { return folder_ + "/ca.pem"; }
  int pid() const { return pid_; }  // to freeze the server (SIGSTOP) in a test

 private:
  std::string folder_;
  int port_ = 0;
  int pid_ = 0;
};

// Sets LDAPTLS_CACERT so that libldap trusts the server's test CA. Must run
// before the process's first LDAP call (libldap reads it once).
void trustCa(const std::string& caFile);

// A server on a free loopback port that accepts one connection, records
// what it receives and never answers: a directory that hangs. With
// `startTlsAnswerBytes`, it first sends that many bytes of a successful
// answer to the StartTLS request (all 38: the client then starts its TLS
// handshake, which gets no answer), and stalls there.
class SilentServer {
 public:
  explicit SilentServer(size_t startTlsAnswerBytes = 0);
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int port() const { return port_; }
  std::string received();

 private:
  int listener_ = -1, port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
};

}  // namespace kvtest

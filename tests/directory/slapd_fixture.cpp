#include "slapd_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {

std::string base64(const std::string& in) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
  }
  return out;
}

// One LDIF line; values that are not plain ASCII go base64-encoded.
std::string line(const std::string& name, const std::string& value) {
  bool safe = !value.empty() && value[0] != ' ' && value[0] != ':' && value[0] != '<';
  for (char c : value) safe = safe && static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
  return safe ? name + ": " + value + "\n" : name + ":: " + base64(value) + "\n";
}

}  // namespace

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

DirectoryData::DirectoryData() {
  add(kSuffix, {"domain"}, {{"dc", "kelvasync"}});
  for (const char* ou : {"Users", "Groups", "Contacts"}) {
    add(std::string("ou=") + ou + "," + kSuffix, {"organizationalUnit"}, {{"ou", ou}});
  }
  add(kServiceAccount, {"user"},
      {{"cn", "svc"}, {"sn", "svc"}, {"sAMAccountName", "svc"}, {"userPassword", kServicePassword}});
}

std::string DirectoryData::add(const std::string& dn, const std::vector<std::string>& classes,
                               const std::map<std::string, std::string>& attributes) {
  // By the DN as given, and by its ASCII lower case unless an entry already
  // has that (two entries may differ in case under a case-exact name).
  index_[dn] = entries_.size();
  index_.try_emplace(lowerAscii(dn), entries_.size());
  entries_.push_back({dn, classes, attributes, {}, {}});
  return dn;
}

std::string DirectoryData::addUser(const std::string& cn, const std::string& logon) {
  return add("cn=" + cn + ",ou=Users," + kSuffix, {"user"}, {{"cn", cn}, {"sn", cn}, {"sAMAccountName", logon}});
}

std::string DirectoryData::addContact(const std::string& cn) {
  return add("cn=" + cn + ",ou=Contacts," + kSuffix, {"contact"}, {{"cn", cn}, {"sn", cn}});
}

std::string DirectoryData::addGroup(const std::string& cn, const std::vector<std::string>& memberDns) {
  const std::string dn = add("cn=" + cn + ",ou=Groups," + kSuffix, {"group"}, {{"cn", cn}});
  entries_.back().members = memberDns;
  for (const std::string& member : memberDns) {
    auto found = index_.find(member);
    if (found == index_.end()) found = index_.find(lowerAscii(member));
    if (found != index_.end()) entries_[found->second].memberOf.push_back(dn);
  }
  return dn;
}

std::string DirectoryData::ldif() const {
  std::string text;
  for (const Entry& entry : entries_) {
    text += line("dn", entry.dn);
    for (const std::string& c : entry.classes) text += line("objectClass", c);
    for (const auto& [name, value] : entry.attributes) text += line(name, value);
    for (const std::string& member : entry.members) text += line("member", member);
    for (const std::string& group : entry.memberOf) text += line("memberOf", group);
    text += "\n";
  }
  return text;
}

SlapdServer::SlapdServer(const DirectoryData& data, const std::string& certificateName) {
  char pattern[] = "/tmp/kv-slapd-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  folder_ = pattern;
  {
    std::ofstream out(folder_ + "/data.ldif", std::ios::binary);
    out << data.ldif();
  }
  const std::string command = (certificateName.empty() ? "" : "KV_SLAPD_CERT_NAME=" + certificateName + " ") +
                              std::string(KV_SOURCE_DIR) + "/scripts/start-slapd.sh " + folder_ + "/server " +
                              folder_ + "/data.ldif " + std::to_string(getpid());
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen");
  char buffer[128] = {0};
  const bool read = fgets(buffer, sizeof buffer, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!read || status != 0 || std::sscanf(buffer, "%d %d", &port_, &pid_) != 2) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    throw std::runtime_error("slapd did not start: " + command);
  }
  folder_ += "/server";
}

SlapdServer::~SlapdServer() {
  if (pid_ > 0 && kill(pid_, SIGTERM) == 0) {
    for (int i = 0; i < 200 && kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (kill(pid_, 0) == 0) kill(pid_, SIGKILL);
  }
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(folder_).parent_path(), ignored);
}

void trustCa(const std::string& caFile) { setenv("LDAPTLS_CACERT", caFile.c_str(), 1); }

SilentServer::SilentServer(size_t startTlsAnswerBytes) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener_, 4);
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this, startTlsAnswerBytes] {
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    char buffer[4096];
    bool answered = startTlsAnswerBytes == 0;
    for (ssize_t n; (n = recv(connection, buffer, sizeof buffer, 0)) > 0;) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer, static_cast<size_t>(n));
      // The request: 30 len 02 01 <message id> 77 ...; the answer is an
      // extended response with result success and the StartTLS name.
      if (!answered && received_.size() >= 5) {
        answered = true;
        std::string answer = std::string("\x30\x24\x02\x01", 4) + received_[4] +
                             std::string("\x78\x1f\x0a\x01\x00\x04\x00\x04\x00\x8a\x16", 11) +
                             "1.3.6.1.4.1.1466.20037";
        answer.resize(std::min(answer.size(), startTlsAnswerBytes));
        send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
    }
    close(connection);
  });
}

SilentServer::~SilentServer() {
  shutdown(listener_, SHUT_RDWR);
  close(listener_);
  thread_.join();
}

std::string SilentServer::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

}  // namespace kvtest

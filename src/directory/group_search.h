// The group member search: reads the members of the watched directory group
// into a MemberList, once per update cycle, on the worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/records.h"

// Appends one GroupMember per member of the configured group, in the
// directory's order, and logs their count. False when the group could not
// be read (each failing step logs its own message); false at once, with
// nothing logged, when a stop was requested before the search began or when
// the directory settings are wholly empty (DirectorySettings::unconfigured).
// `unreadableMembers` is set to the number of members that could not be
// read (see enumerateGroupMembers); they have no record.
bool searchGroupMembers(MemberList& memberList, uint32_t& unreadableMembers);
bool searchGroupMembers(MemberList& memberList);

#include "directory/directory_trust.h"
#include "platform/directory.h"

// Set the first time a search logs the full group path; the path is logged
// once per process.
extern bool groupPathLogged;

// Keeps the directory runtime (COM on Windows) initialised on the thread that
// creates it until it goes: each read's own initialisation then finds it up
// and leaves it up, so the ADSI provider is loaded once per thread instead of
// once per cycle. Every load of a provider DLL may leave memory behind that
// its unload does not give back (a statically linked C++ runtime keeps its
// exception pool, 73 KB, for good), which repeated each cycle made the
// process grow without end. A failed initialisation holds nothing. Create
// and destroy it on the same thread.
class DirectoryThreadScope {
 public:
  DirectoryThreadScope();
  ~DirectoryThreadScope();
  DirectoryThreadScope(const DirectoryThreadScope&) = delete;
  DirectoryThreadScope& operator=(const DirectoryThreadScope&) = delete;

 private:
  bool held_ = false;
};

// Binds to the domain controller and to the group, and enumerates its
// members into memberList. Initialises COM for its own duration. False when
// the group could not be read; when COM cannot be initialised it also asks
// the service to stop.
bool readGroupMembers(MemberList& memberList, uint32_t& unreadableMembers);

// Walks the group's member collection (IADsMembers), appending one record per
// element that could be read: a user with its logon, or an element that is
// not a user (a nested group, a contact: all three strings empty). An
// element that could not be read (no object, the user interface refused for
// another reason than "not a user", the logon unreadable) gets a Warning line
// and no record, and is counted in `unreadableMembers`. True once the
// enumeration has started, also when a stop request ends it early (the
// members read so far stay); false when it could not start or the directory
// failed in the middle.
//
// With `crossCheck` (the group and the account filled in), an enumeration
// that reaches its end is checked against the entries whose memberOf names
// the group: each one whose DN is not among the values walked (compared as
// the directory compares DNs) gets a Warning line (the first ten by name)
// and counts in `unreadableMembers`; a failed check makes the result false.
bool enumerateGroupMembers(platform::DirectoryRef members, MemberList& memberList, uint32_t& unreadableMembers,
                           platform::MemberCrossCheck* crossCheck = nullptr);

// What the last search did with each domain controller it had, in the
// order it tried them (the one read last first): the one read, those
// skipped (with why), the one whose failure ended the search, and those it
// never reached. Empty when no search got as far as its domain
// controllers. Worker thread (or kelvasync-check's).
struct DomainControllerOutcome {
  std::string name;     // as the log names it
  std::u16string path;  // its bind path, "LDAP://" + name
  enum class State : uint8_t { NotTried, Read, Skipped, Failed } state = State::NotTried;
  std::string detail;   // why it was skipped, as its Atencao line says (8-bit, as the log writes it)
};
const std::vector<DomainControllerOutcome>& lastSearchedControllers();

// The domain controller the last search read the group from, as the log
// names it; empty when it read none.
const std::string& domainControllerRead();

// For tests: forgets the domain controller read last, so that the next
// search tries the list in its own order and names the DC it reads.
void forgetDomainControllerRead();

// Binds to the domain controller at `path` with the configured account, as
// a search's first step does (connection, TLS, bind, naming context), and
// gives the binding back: kelvasync-check's probe of a DC the search did
// not reach. False with the directory's words and the cause in `result`.
bool probeDomainController(const std::u16string& path, std::u16string& result);

// When the first connection to the domain controller fails for a network
// reason, the line names the cause found by a TCP probe of the
// [activedirectory] host (common/reachability.h), bounded by this time-out.
inline constexpr uint32_t kDirectoryProbeTimeoutMs = 3000;
// For kelvasync-check, whose whole run is bounded: replaces that time-out.
void setDirectoryProbeTimeout(uint32_t milliseconds);

// Splits the host of a directory path "LDAP://host[:port][/DN]" into name
// and port (389 when none is given; "[v6 address]:port" too). False when
// there is no name or the port is not a number from 1 to 65535.
bool splitDirectoryHost(const std::u16string& ldapPath, std::string& host, uint16_t& port);

// The directory table the search uses: the platform's own unless a test has
// put another in its place (null restores the platform's).
void setDirectoryApiForTesting(const platform::DirectoryApi* api);

// Reads one group with the service's own group search and prints its
// records, one line each: logon, common name and identifier separated by
// TAB. Used by the Samba acceptance test.
//
//   samba_group_read LDAP_PATH USER PASSWORD GROUP_DN RANGE_SIZE LOG_FOLDER
//
// Exit code 0 when the search succeeded, 1 when it failed (the log is
// printed to standard error), 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "runtime/process_state.h"
#include "common/text.h"
#include "config/config.h"
#include "directory/group_search.h"
#include "platform/directory.h"
#include "support/service_files.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: samba_group_read LDAP_PATH USER PASSWORD GROUP_DN RANGE_SIZE LOG_FOLDER\n";
    return 2;
  }
  const std::filesystem::path logFolder = argv[6];
  std::filesystem::create_directories(kvtest::productFolderUnder(logFolder) / "data");
  programFilesDir = logFolder.u16string();
  serviceMode = true;

  directorySettings.ldapPath = utf8ToUtf16(argv[1]);
  directorySettings.adUser = utf8ToUtf16(argv[2]);
  directorySettings.adPassword = utf8ToUtf16(argv[3]);
  directorySettings.groupName = argv[4];
  platform::DirectoryTuning tuning;
  tuning.rangeSize = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  platform::setDirectoryTuning(tuning);

  MemberList list;
  const bool found = searchGroupMembers(list);
  for (const GroupMember& m : list) std::cout << m.logon << '\t' << m.commonName << '\t' << m.hsmUserId << '\n';
  std::cerr << kvtest::readFileText(kvtest::productFolderUnder(logFolder) / "data" / "kelvasync.log");
  return found ? 0 : 1;
}

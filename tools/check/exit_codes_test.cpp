// kelvasync-check's exit codes and plug-in states: the header and the
// manual page list the same, each once.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "exit_codes.h"
#include "support/man_page.h"

namespace {

TEST(CheckExitCodes, TheManualPageListsEveryCodeAndStateOnceAndNoOther) {
  std::set<int> codes, pageCodes;
  std::map<int, std::string> states, pageStates;
  for (const ExitCodeMeaning& entry : kCheckExitCodes) EXPECT_TRUE(codes.insert(entry.code).second);
  for (const ExitCodeMeaning& entry : kPluginStates) states[entry.code] = entry.meaning;
  for (const kvtest::ManPageCode& entry : kvtest::manPageExitCodes(KV_MAN_PAGE)) {
    if (entry.group == 0) {
      EXPECT_TRUE(pageCodes.insert(entry.code).second) << entry.code;
    } else {
      EXPECT_TRUE(pageStates.emplace(entry.code, entry.label).second) << entry.code;
    }
  }
  EXPECT_EQ(pageCodes, codes);
  EXPECT_EQ(pageStates, states);
}

}  // namespace

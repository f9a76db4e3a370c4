// kelvasync's exit codes: the header, the usage text and the manual page
// list the same codes, each once.
#include <gtest/gtest.h>

#include <set>

#include "service/exit_codes.h"
#include "support/man_page.h"

namespace {

TEST(ServiceExitCodes, TheManualPageListsEveryCodeOnceAndNoOther) {
  std::set<int> header, page;
  for (const ExitCodeMeaning& entry : kServiceExitCodes) EXPECT_TRUE(header.insert(entry.code).second) << entry.code;
  for (const kvtest::ManPageCode& entry : kvtest::manPageExitCodes(KV_MAN_PAGE)) {
    EXPECT_EQ(entry.group, 0) << entry.code;
    EXPECT_TRUE(page.insert(entry.code).second) << entry.code;
  }
  EXPECT_EQ(page, header);
}

}  // namespace

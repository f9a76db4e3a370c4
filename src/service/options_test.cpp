#include "service/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Selected {
  int install, remove, console, firstNonOption;
};

// Runs the three option tests the entry point makes, on one command line.
Selected parse(std::vector<const char16_t*> arguments) {
  arguments.insert(arguments.begin(), u"kelvasync.exe");
  const int argc = static_cast<int>(arguments.size());
  Selected s{};
  hasOption(argc, arguments.data(), u"i", {&s.install, nullptr});
  hasOption(argc, arguments.data(), u"d", {&s.remove, nullptr});
  s.firstNonOption = hasOption(argc, arguments.data(), u"c", {&s.console, nullptr});
  return s;
}

TEST(HasOption, LettersInsideLeadingDashArguments) {
  EXPECT_EQ(parse({u"-i"}).install, 1);
  EXPECT_EQ(parse({u"-xi"}).install, 1);
  const Selected ic = parse({u"-ic"});  // install is tested first by the entry point
  EXPECT_EQ(ic.install, 1);
  EXPECT_EQ(ic.console, 1);
  EXPECT_EQ(parse({u"-debug"}).remove, 1);  // contains "d"
  EXPECT_EQ(parse({u"-console"}).console, 1);
  EXPECT_EQ(parse({u"-x", u"-c"}).console, 1);  // spread over several arguments
  EXPECT_EQ(parse({u"-c"}).install, 0);
}

TEST(HasOption, ScanStopsAtTheFirstArgumentWithoutDash) {
  const Selected s = parse({u"x", u"-c"});
  EXPECT_EQ(s.console, 0);
  EXPECT_EQ(s.firstNonOption, 1);
  EXPECT_EQ(parse({u"c"}).console, 0);
  EXPECT_EQ(parse({u"-a", u"-b", u"rest", u"-i"}).firstNonOption, 3);
  EXPECT_EQ(parse({u"-a", u"-b"}).firstNonOption, 3);
  EXPECT_EQ(parse({}).firstNonOption, 1);
}

TEST(HasOption, ComparisonIsExactAndCaseSensitive) {
  EXPECT_EQ(parse({u"-C"}).console, 0);
  EXPECT_EQ(parse({u"-I"}).install, 0);
  EXPECT_EQ(parse({u"-\u0169"}).install, 0);  // a letter whose low byte is not 'i'
}

TEST(HasOption, SeveralLettersFillTheirSlotsUntilTheNullSlot) {
  const char16_t* argv[] = {u"prog", u"-dc"};
  int i = 7, d = 7, c = 7;
  hasOption(2, argv, u"idc", {&i, &d, nullptr, &c});
  EXPECT_EQ(i, 0);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(c, 7);  // after the null slot nothing is touched
}

}  // namespace

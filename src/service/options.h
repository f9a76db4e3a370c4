// The command-line option test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Options are the leading run of arguments after the program name that begin
// with '-'. For each letter of `letters`, taken in order with the next slot
// of `slots` (stopping at the first null slot), the slot becomes 1 when the
// letter occurs anywhere in one of those arguments (exact, case-sensitive
// comparison; the '-' itself included), else 0. Returns the index of the
// first argument that does not begin with '-' (argc when all do).
int hasOption(int argc, const char16_t* const argv[], std::u16string_view letters,
              std::initializer_list<int*> slots);

// The long options, recognised before the letter rule and taken out of its
// way (the letters of "--version" hold an 'i', those of "--once" a 'c').
enum class LongOption : uint8_t {
  None,
  Help,     // --help, -h alone, /?
  Version,  // --version
  Once,     // --once
  Unknown,  // any other argument that begins with "--" or "/"
};
struct CommandLine {
  LongOption option = LongOption::None;  // help wins over an unknown one, which wins over the rest
  std::u16string unknown;                // the first unknown argument
  std::vector<const char16_t*> letterArguments;  // argv[0] and every argument that is no long option
};
CommandLine readCommandLine(int argc, const char16_t* const argv[]);

// The command-line option test.
#pragma once

#include <initializer_list>
#include <string_view>

// Options are the leading run of arguments after the program name that begin
// with '-'. For each letter of `letters`, taken in order with the next slot
// of `slots` (stopping at the first null slot), the slot becomes 1 when the
// letter occurs anywhere in one of those arguments (exact, case-sensitive
// comparison; the '-' itself included), else 0. Returns the index of the
// first argument that does not begin with '-' (argc when all do).
int hasOption(int argc, const char16_t* const argv[], std::u16string_view letters,
              std::initializer_list<int*> slots);

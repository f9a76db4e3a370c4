// A program's exit code with its meaning in the usage text's words: each
// program lists its codes in a table of these (service/exit_codes.h,
// tools/check/exit_codes.h), which its usage text prints and its manual
// page follows.
#pragma once

#include <string_view>

struct ExitCodeMeaning {
  int code;
  std::string_view meaning;
};

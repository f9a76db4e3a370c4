// The executable's entry point: hands the command line, as UTF-16, to
// runKelvasync.
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/system.h"
#include "service/entry.h"

#ifdef _WIN32
// Wide entry point (linked with -municode): wchar_t is UTF-16 on Windows.
int wmain(int argc, wchar_t* argv[]) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  platform::keepMemoryPrivate();
  return runKelvasync(argc, reinterpret_cast<const char16_t* const*>(argv));
}
#else
int main(int argc, char* argv[]) {
  platform::keepMemoryPrivate();
  std::vector<std::u16string> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(utf8ToUtf16(argv[i]));
  std::vector<const char16_t*> pointers;
  for (const auto& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return runKelvasync(argc, pointers.data());
}
#endif

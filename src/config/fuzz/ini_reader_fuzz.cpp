// Fuzz target: the Linux INI reader over arbitrary file bytes. The first two
// lines of the input are the section and key asked for, the rest is the file.
// Checks that the reader never reads outside its input and that its result
// keeps the reader's own guarantees.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/ini_text.h"
#include "platform/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t first = input.find('\n');
  if (first == std::string_view::npos) return 0;
  const std::string_view section = input.substr(0, first);
  input.remove_prefix(first + 1);
  const size_t second = input.find('\n');
  if (second == std::string_view::npos) return 0;
  const std::string_view key = input.substr(0, second);
  const std::string_view file = input.substr(second + 1);

  const std::string value = ini::lookupProfileValue(file, section, key);
  if (value.size() > platform::kProfileValueMaxLength) std::abort();
  // Asking again gives the same answer (no state between calls).
  if (ini::lookupProfileValue(file, section, key) != value) std::abort();
  return 0;
}

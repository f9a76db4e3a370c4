#include "service/options.h"

namespace {

bool isOptionArgument(const char16_t* argument) { return argument != nullptr && argument[0] == u'-'; }

}  // namespace

int hasOption(int argc, const char16_t* const argv[], std::u16string_view letters,
              std::initializer_list<int*> slots) {
  auto slot = slots.begin();
  for (char16_t letter : letters) {
    if (slot == slots.end() || *slot == nullptr) break;
    int* result = *slot++;
    *result = 0;
    for (int i = 1; i < argc && isOptionArgument(argv[i]); ++i) {
      if (std::u16string_view(argv[i]).find(letter) != std::u16string_view::npos) {
        *result = 1;
        break;
      }
    }
  }
  int index = 1;
  while (index < argc && isOptionArgument(argv[index])) ++index;
  return index;
}

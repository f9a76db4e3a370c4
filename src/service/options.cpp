#include "service/options.h"

namespace {

bool isOptionArgument(const char16_t* argument) { return argument != nullptr && argument[0] == u'-'; }

}  // namespace

CommandLine readCommandLine(int argc, const char16_t* const argv[]) {
  CommandLine line;
  bool help = false, version = false, once = false;
  for (int i = 0; i < argc; ++i) {
    const std::u16string_view argument = argv[i] != nullptr ? argv[i] : u"";
    if (i == 0) {
      line.letterArguments.push_back(argv[i]);
    } else if (argument == u"--help" || argument == u"-h" || argument == u"/?") {
      help = true;
    } else if (argument == u"--version") {
      version = true;
    } else if (argument == u"--once") {
      once = true;
    } else if (argument.substr(0, 2) == u"--" || argument.substr(0, 1) == u"/") {
      if (line.unknown.empty()) line.unknown = argument;
    } else {
      line.letterArguments.push_back(argv[i]);
    }
  }
  line.option = help                    ? LongOption::Help
                : !line.unknown.empty() ? LongOption::Unknown
                : version               ? LongOption::Version
                : once                  ? LongOption::Once
                                        : LongOption::None;
  return line;
}

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

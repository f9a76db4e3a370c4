// Test helper for service_under_wine.sh: holds a kernel object under the
// name an older kelvasync used as its single-instance guard, the way any
// local user could, until it is ended. The object is a mutex ("mutex") or an
// event ("event"); "pronto" on standard output once it is held.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const wchar_t* name = L"Global\\kelvasync.instance";
  const HANDLE object = std::strcmp(argv[1], "event") == 0 ? CreateEventW(nullptr, TRUE, FALSE, name)
                                                           : CreateMutexW(nullptr, TRUE, name);
  if (object == nullptr) return 1;
  std::puts("pronto");
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

// Loads and unloads a DLL a number of times and prints the heap blocks, by
// size, that as many loads left behind (one or more per load). With
// reload_probe.dll it shows what a module with a statically linked C++
// runtime keeps after its unload; with kvtest-adsi.dll what the test ADSI
// provider keeps, which COM loaded and unloaded once a cycle when each
// cycle's CoInitialize/CoUninitialize pair was the worker thread's only one.
//
//   dll_reload [DLL [LOADS]]   (default reload_probe.dll, 20)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

// Busy blocks of every heap of the process, counted by size.
std::map<SIZE_T, long> heapBlocks() {
  std::map<SIZE_T, long> blocks;
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD h = 0; h < count && h < 64; ++h) {
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heaps[h]);
    while (HeapWalk(heaps[h], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++blocks[entry.cbData];
    }
    HeapUnlock(heaps[h]);
  }
  return blocks;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dll = argc > 1 ? argv[1] : "reload_probe.dll";
  const long loads = argc > 2 ? std::max(1L, std::atol(argv[2])) : 20;
  std::map<SIZE_T, long> before = heapBlocks();
  for (long i = 0; i < loads; ++i) {
    const HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) return std::printf("%s: LoadLibrary failed (%lu)\n", dll, GetLastError()), 1;
    FreeLibrary(module);
  }
  long long bytes = 0;
  for (const auto& [size, count] : heapBlocks()) {
    const long left = count - before[size];
    if (left < loads) continue;
    std::printf("%s: %ld blocks of %zu bytes left by %ld loads\n", dll, left, static_cast<size_t>(size), loads);
    bytes += static_cast<long long>(left) * static_cast<long long>(size);
  }
  std::printf("%s: %lld bytes in all, %lld a load\n", dll, bytes, bytes / loads);
  return 0;
}

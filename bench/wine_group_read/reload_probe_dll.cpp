// A DLL with nothing but a use of the C++ library, built like every module
// of the Windows build (-static-libstdc++): what dll_reload loads.
#include <string>

extern "C" __declspec(dllexport) int reloadProbeLength(const char* text) {
  return static_cast<int>(std::string(text).size());
}

#include "runtime/process_state.h"

bool serviceMode = false;
std::u16string programFilesDir;

// Linux implementation of platform/event_log.h: nothing to do. A service run
// under systemd already has its standard output and status in the journal.
#include "platform/event_log.h"

namespace platform {

void reportEvent(EventType, const std::u16string&) {}

bool registerEventSource(const std::u16string&) { return true; }

bool unregisterEventSource() { return true; }

}  // namespace platform

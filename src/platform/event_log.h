// Platform seam: the system's event log, where an administrator looks first
// (on Windows the Application log, source "kelvasync"). Linux has no such
// log beside the journal, which already receives the service's output:
// there every function here does nothing and reports success.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class EventType : uint16_t {
  Error = 1,        // EVENTLOG_ERROR_TYPE
  Warning = 2,      // EVENTLOG_WARNING_TYPE
  Information = 4,  // EVENTLOG_INFORMATION_TYPE
};

// The event source's name and the one message of kelvasync.exe's message
// table ("%1": the entry shows the text as it was reported).
inline constexpr char16_t kEventSourceName[] = u"kelvasync";
inline constexpr uint32_t kEventMessageId = 1;

// Writes one entry (RegisterEventSourceW, ReportEventW with kEventMessageId
// and `text` as its only string, DeregisterEventSource). Failures are
// ignored: the event log is a copy of what the log file holds.
// Any thread; takes no lock of the program's.
void reportEvent(EventType type, const std::u16string& text);

// Registers `messageFile` (the executable's full path) as the event source
// kEventSourceName of the Application log: the key
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kelvasync with
// EventMessageFile and TypesSupported. False on failure, with lastErrorCode().
bool registerEventSource(const std::u16string& messageFile);

// Removes that key. A key that does not exist counts as removed. False on
// failure, with lastErrorCode().
bool unregisterEventSource();

}  // namespace platform

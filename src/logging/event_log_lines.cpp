#include "logging/event_log_lines.h"

#include "logging/log.h"
#include "platform/system.h"

bool eventLogEnabled = false;

namespace {

platform::EventType eventTypeOf(uint32_t level) {
  switch (level) {
    case Error: return platform::EventType::Error;
    case Warning: return platform::EventType::Warning;
    default: return platform::EventType::Information;
  }
}

}  // namespace

void reportLogLineEvent(uint32_t level, std::string_view lineBytes) {
  if (!eventLogEnabled) return;
  // The prefix ends with "[label] "; neither the time stamp nor the thread
  // identifier before it holds a ']' followed by " [".
  const std::u16string_view label = logLevelLabel(level);
  std::string marker = "] [";
  for (char16_t unit : label) marker.push_back(static_cast<char>(unit));
  marker += "] ";
  const size_t at = lineBytes.find(marker);
  if (at == std::string_view::npos) return;
  std::string_view message = lineBytes.substr(at + marker.size());
  if (message.ends_with("\r\n")) message.remove_suffix(2);
  // The file holds one byte per character (ISO 8859-1): each byte is its
  // own code unit again.
  std::u16string text;
  text.reserve(message.size());
  for (char byte : message) text.push_back(static_cast<unsigned char>(byte));
  platform::reportEvent(eventTypeOf(level), text);
}

bool writeLogAndEventArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  // The start and stop lines: the journal gets them too.
  const bool written = writeJournaledLogArgs(level, format, args);
  if (level != Error) {
    reportLogLineEvent(level, formatLogLine(level, platform::localTime(), platform::currentThreadId(), format,
                                            args));
  }
  return written;
}

void reportStartupFailureEvent(const std::u16string& text) {
  if (eventLogEnabled) platform::reportEvent(platform::EventType::Error, text);
}

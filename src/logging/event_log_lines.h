// Copies of log lines in the system's event log (the Application log on
// Windows, source "kelvasync"; nothing on Linux), with the text the log file
// holds: every Error line, the service's start and stop lines, and the
// start-up failures that end the process before or without its log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/format.h"
#include "platform/event_log.h"

// Off until the entry point turns it on for a service or console run, so
// that tests and kelvasync-check, which run the same code, leave the event
// log alone. Written before other threads exist.
extern bool eventLogEnabled;

// Hands the message part of `lineBytes` (a line as formatLogLine builds it:
// prefix, message, CR LF) to the event log, when eventLogEnabled. Called by
// writeLog for Error lines, under logLock.
void reportLogLineEvent(uint32_t level, std::string_view lineBytes);

// Writes a line as writeJournaledLog does and reports it to the event log
// whatever its level (Error lines are reported once).
bool writeLogAndEventArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args);

template <typename... Args>
bool writeLogAndEvent(uint32_t level, std::u16string_view format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  return writeLogAndEventArgs(level, format, std::span<const FormatArg>(list, sizeof...(Args)));
}

// Reports a failure that ends the start-up where no log line can say it
// (the log file cannot be opened, another instance runs), when
// eventLogEnabled; the same text goes wherever else the caller puts it.
void reportStartupFailureEvent(const std::u16string& text);

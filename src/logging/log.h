// The service's log: one time-stamped line per message, appended to
// kelvasync.log under the program-files folder and, in console mode, echoed
// to standard output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/format.h"
#include "platform/files.h"
#include "platform/system.h"

enum LogLevel : uint32_t {
  Error = 1,
  Warning = 2,
  Info = 4,
  Unknown = 0xAAABAC,
  Console = 0xAAABAD,  // written in console mode only
};

// Serialises whole lines; held only inside writeLog and never together with
// any other lock.
extern platform::CriticalSection logLock;

// The open log file while a line is written, kInvalidFile otherwise. Only
// touched under logLock (or by the start-up test, before other threads).
extern platform::FileHandle logFileHandle;

// Full path of the log file: programFilesDir + the product's data folder.
std::u16string logFilePath();

// What to do about the log's folder `folder` when it is missing, for the
// line that names it: "crie-a", or, when the folder is a symbolic link (as
// the Debian package installs `data`), to create the folder it points to,
// named.
std::u16string missingLogFolderAdvice(const std::u16string& folder);

// The folders of the service's own files, under the product folder of
// programFilesDir: `data` holds the log; the status file (kelvasync.status)
// lies in the product folder's `state` and the instance lock
// (kelvasync.lock) in its `run` when these exist (a symbolic link counts,
// also one whose target is missing: the Debian package links them to
// /var/lib/kelvasync and /run/kelvasync, the folders systemd gives the
// service), and beside the log otherwise (Windows, kelvasync -i).
std::u16string dataFolderPath();
std::u16string stateFolderPath();
std::u16string runtimeFolderPath();

// Size the log file may reach before it is renamed to kelvasync.1.log and a
// new one started; 0 (the default) lets it grow without limit. Set by the
// entry point from [log] maxsizemb before any other thread exists.
extern uint64_t logSizeLimitBytes;

// Rotated files kept beside the log: kelvasync.1.log (the newest) to
// kelvasync.<kLogFilesKept>.log (the oldest); an older one is deleted.
inline constexpr int kLogFilesKept = 5;

// Path of rotated file `index` (1 to kLogFilesKept) beside logFilePath().
std::u16string rotatedLogFilePath(int index);

// Opens the log file into logFileHandle. False, doing nothing else, when a
// handle is already open; otherwise whether the open succeeded.
bool openLogFile();

// The label written for a level ("Erro", "Atencao", ...; empty for values
// that are not levels).
std::u16string_view logLevelLabel(uint32_t level);

// Builds the complete line (prefix, message, CR LF) as written to the file,
// converted to bytes (the low byte of each unit). A byte below 0x20 or 0x7F
// in the text becomes '?', so that names from the directory or the HSM can
// neither cut a line, nor start a forged one, nor send terminal escapes to
// the console; the line's own CR LF ends it. The line, terminator included,
// never exceeds 4096 UTF-16 units: a longer message is cut so that CR LF
// still ends the line.
std::string formatLogLine(uint32_t level, const platform::LocalTime& time, uint32_t threadId,
                          std::u16string_view format, std::span<const FormatArg> args);

// While set, every line (Console lines included, in either mode) is handed
// to `capture` with its level and message instead of going to the file or
// the console: a tool that runs the service's code without being the
// service (kelvasync-check) keeps the service's log untouched and reports
// the lines itself. Null restores the file. Set before other threads log.
using LogCapture = void (*)(uint32_t level, const std::u16string& message, void* context);
void setLogCapture(LogCapture capture, void* context);

// Writes one line; returns true when it was handed to the file. A Console
// line in service mode is written nowhere (false).
bool writeLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args);

template <typename... Args>
bool writeLog(uint32_t level, std::u16string_view format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  return writeLogArgs(level, format, std::span<const FormatArg>(list, sizeof...(Args)));
}

// Writes one line as writeLog does and, in service mode, hands it to the
// journal whatever its level (Info at priority 6): the start and stop lines
// and the cycle summary. Other Info lines stay in the file alone (at 20,000
// members one line each would double a cycle's writes); Erro and Atencao
// lines reach the journal through writeLog already.
bool writeJournaledLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args);

template <typename... Args>
bool writeJournaledLog(uint32_t level, std::u16string_view format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  return writeJournaledLogArgs(level, format, std::span<const FormatArg>(list, sizeof...(Args)));
}

// Writes one line as writeLog does, to the file (and the console), but
// never to the journal: a line that repeats, cycle after cycle, what the
// journal already heard when it first happened (a former member's user
// blocked again).
bool writeRepeatedLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args);

template <typename... Args>
bool writeRepeatedLog(uint32_t level, std::u16string_view format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(0)};
  return writeRepeatedLogArgs(level, format, std::span<const FormatArg>(list, sizeof...(Args)));
}

// The cause a failed cycle reports in its status: from beginCauseRecording
// on, the message of the first Erro line written (or, when none was, of the
// first Atencao line), as the file holds it (Windows-1252 bytes, controls
// as '?'), cut to `maxBytes`. Lines that never reach the file (Console in
// service mode, a capture) are not recorded. Worker thread.
void beginCauseRecording();
std::string recordedCause(size_t maxBytes = 300);

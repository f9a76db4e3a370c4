#include "logging/log.h"

#include "common/process_state.h"
#include "common/text.h"
#include "logging/event_log_lines.h"
#include "platform/console.h"

platform::CriticalSection logLock;
platform::FileHandle logFileHandle = platform::kInvalidFile;
uint64_t logSizeLimitBytes = 0;

namespace {

constexpr size_t kLineBufferUnits = 4096;  // whole line, terminator included
constexpr size_t kTimeBufferUnits = 256;

// Set while the log could not be renamed, so that the failure is reported
// once in the file rather than on every line; cleared by a rotation.
bool rotationFailureReported = false;

LogCapture logCapture = nullptr;
void* logCaptureContext = nullptr;

// Shifts kelvasync.N.log up by one (dropping the oldest) and renames the
// log to kelvasync.1.log. Renames never replace a file, so a rotated file
// that cannot be moved (held open on Windows) stops the shift and the log
// itself stays where it is: nothing is ever overwritten, and the caller
// goes on appending to the current file. True when the log was renamed.
bool rotateLogFiles() {
  platform::removeFile(rotatedLogFilePath(kLogFilesKept));
  for (int index = kLogFilesKept - 1; index >= 1; --index)
    platform::renameFileNoReplace(rotatedLogFilePath(index), rotatedLogFilePath(index + 1));
  return platform::renameFileNoReplace(logFilePath(), rotatedLogFilePath(1));
}

// With a size limit set and logFileHandle open: when `lineBytes` more would
// take a non-empty file past the limit, closes it, rotates and opens a new
// one. False when no file is open afterwards.
bool makeRoomForLine(size_t lineBytes) {
  if (logSizeLimitBytes == 0) return true;
  const uint64_t size = platform::fileSize(logFilePath());
  if (size == 0 || size + lineBytes <= logSizeLimitBytes) return true;
  platform::closeFile(logFileHandle);
  logFileHandle = platform::kInvalidFile;
  const bool rotated = rotateLogFiles();
  if (!openLogFile()) return false;
  if (rotated) {
    rotationFailureReported = false;
  } else if (!rotationFailureReported) {
    rotationFailureReported = true;
    const std::string notice = formatLogLine(
        Warning, platform::localTime(), platform::currentThreadId(),
        u"Nao foi possivel renomear o arquivo de log para kelvasync.1.log (outro programa o mantem aberto?); "
        u"o log continua no arquivo atual",
        {});
    platform::appendToFile(logFileHandle, notice.data(), notice.size());
  }
  return true;
}

}  // namespace

std::u16string logFilePath() {
  return platform::productPath(programFilesDir, u"\\Karvell Networks\\HSM Karvell\\data\\kelvasync.log");
}

std::u16string rotatedLogFilePath(int index) {
  std::u16string path = logFilePath();
  path.resize(path.size() - 4);  // ".log"
  return path + u"." + asciiToUtf16(std::to_string(index)) + u".log";
}

bool openLogFile() {
  if (logFileHandle != platform::kInvalidFile) return false;
  logFileHandle = platform::openExclusiveAppend(logFilePath());
  return logFileHandle != platform::kInvalidFile;
}

std::u16string_view logLevelLabel(uint32_t level) {
  switch (level) {
    case Error: return u"Erro";
    case Warning: return u"Atencao";
    case Info: return u"Info";
    case Unknown: return u"Desconhecido";
    case Console: return u"Console";
    default: return u"";
  }
}

std::string formatLogLine(uint32_t level, const platform::LocalTime& time, uint32_t threadId,
                          std::u16string_view format, std::span<const FormatArg> args) {
  std::u16string stamp = formatWide(u"%02d/%02d/%04d %02d:%02d:%02d", time.day, time.month, time.year,
                                    time.hour, time.minute, time.second);
  if (stamp.size() >= kTimeBufferUnits) stamp.resize(kTimeBufferUnits - 1);

  std::u16string line = formatWide(u"%s [%x] [%s] ", stamp, threadId, logLevelLabel(level));
  formatWideInto(line, format, args);
  // Room for CR LF and the terminator: a longer message is cut, never
  // written past the 4096-unit line.
  if (line.size() > kLineBufferUnits - 3) line.resize(kLineBufferUnits - 3);
  line.append(u"\r\n");

  // One byte per code unit (its low 8 bits), up to the first zero byte.
  std::string bytes;
  bytes.reserve(line.size());
  for (char16_t unit : line) {
    const char byte = static_cast<char>(unit & 0xFF);
    if (byte == 0) break;
    bytes.push_back(byte);
  }
  return bytes;
}

void setLogCapture(LogCapture capture, void* context) {
  platform::CriticalSectionGuard guard(logLock);
  logCapture = capture;
  logCaptureContext = context;
}

bool writeLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  platform::CriticalSectionGuard guard(logLock);
  if (logCapture != nullptr) {
    std::u16string message;
    formatWideInto(message, format, args);
    logCapture(level, message, logCaptureContext);
    return false;
  }
  if (level == Console && serviceMode) return false;

  const std::string bytes =
      formatLogLine(level, platform::localTime(), platform::currentThreadId(), format, args);

  bool written = false;
  if (openLogFile() && makeRoomForLine(bytes.size())) {
    platform::appendToFile(logFileHandle, bytes.data(), bytes.size());
    platform::flushFile(logFileHandle);
    platform::closeFile(logFileHandle);
    logFileHandle = platform::kInvalidFile;
    written = true;
  }
  if (!serviceMode) platform::writeConsoleBytes(bytes.data(), bytes.size());
  // In service mode the lines that call for attention reach the journal too.
  if (serviceMode && (level == Error || level == Warning)) platform::writeJournalLine(level == Error ? 3 : 4, bytes);
  if (level == Error) reportLogLineEvent(level, bytes);
  return written;
}

#include "logging/log.h"

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "runtime/process_state.h"
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

// Lines that could not be written to the file since the last one that was
// (the file held by another process, no room, no rights). The next line
// that can be written is preceded by one line that gives their number, so
// a gap in the log never goes unnoticed.
uint64_t unwrittenLines = 0;

LogCapture logCapture = nullptr;
void* logCaptureContext = nullptr;

// The first Erro and Atencao messages since beginCauseRecording (guarded by
// logLock).
bool recordingCause = false;
std::string firstError, firstWarning;

// Renames the log to kelvasync.1.log, shifting the rotated files up by one,
// all or nothing. Only the files below the first free number move; when
// every number up to kLogFilesKept is taken, the oldest moves too, to the
// number past the last, and is deleted only once the whole shift has
// succeeded. Renames never replace a file; one that fails (a file held open
// on Windows) undoes those already made, so no file is lost, the log stays
// where it is and the caller goes on appending to it. True when the log
// was renamed.
bool rotateLogFiles() {
  const std::u16string dropped = rotatedLogFilePath(kLogFilesKept + 1);
  int free = 1;
  while (free <= kLogFilesKept && platform::fileExists(rotatedLogFilePath(free))) ++free;
  if (free > kLogFilesKept) platform::removeFile(dropped);  // left by a shift whose deletion failed

  std::vector<std::pair<std::u16string, std::u16string>> renamed;
  for (int index = free - 1; index >= 0; --index) {
    std::u16string from = index == 0 ? logFilePath() : rotatedLogFilePath(index);
    std::u16string to = rotatedLogFilePath(index + 1);
    if (!platform::renameFileNoReplace(from, to)) {
      for (auto undo = renamed.rbegin(); undo != renamed.rend(); ++undo)
        platform::renameFileNoReplace(undo->second, undo->first);
      return false;
    }
    renamed.emplace_back(std::move(from), std::move(to));
  }
  platform::removeFile(dropped);
  return true;
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
  return platform::productPath(programFilesDir, std::u16string(kProductFolder) + u"\\data\\kelvasync.log");
}

std::u16string missingLogFolderAdvice(const std::u16string& folder) {
  const std::filesystem::path link(folder);
  std::error_code error;
  if (std::filesystem::is_symlink(link, error)) {
    std::filesystem::path target = std::filesystem::read_symlink(link, error);
    if (!error) {
      if (target.is_relative()) target = link.parent_path() / target;
      return u"eh um link para '" + target.lexically_normal().u16string() +
             u"', que nao existe; crie essa pasta (o servico nunca cria pastas)";
    }
  }
  return u"crie-a (o servico nunca cria pastas)";
}

namespace {

// The product folder's `name` when it exists, else the data folder.
std::u16string productFolderOrData(std::u16string_view name) {
  const std::u16string folder = platform::productPath(programFilesDir, std::u16string(kProductFolder) + u"\\" + std::u16string(name));
  return platform::fileExists(folder) ? folder : dataFolderPath();
}

}  // namespace

std::u16string dataFolderPath() {
  return platform::productPath(programFilesDir, std::u16string(kProductFolder) + u"\\data");
}

std::u16string stateFolderPath() { return productFolderOrData(u"state"); }

std::u16string runtimeFolderPath() { return productFolderOrData(u"run"); }

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

  std::string bytes = narrowText(line);
  replaceControlBytes(bytes);
  return bytes + "\r\n";
}

void setLogCapture(LogCapture capture, void* context) {
  platform::CriticalSectionGuard guard(logLock);
  logCapture = capture;
  logCaptureContext = context;
}

namespace {

// The journal's priority for a line of `level`: Erro 3, Atencao 4, Info 6.
int journalPriority(uint32_t level) { return level == Error ? 3 : level == Warning ? 4 : 6; }

// Where a line goes beside the file: the journal as its level says, always,
// or never.
enum class Journal { ByLevel, Always, Never };

bool writeLogLine(uint32_t level, std::u16string_view format, std::span<const FormatArg> args, Journal journal) {
  platform::CriticalSectionGuard guard(logLock);
  if (logCapture != nullptr) {
    std::u16string message;
    formatWideInto(message, format, args);
    logCapture(level, message, logCaptureContext);
    return false;
  }
  if (level == Console && serviceMode) return false;

  const platform::LocalTime time = platform::localTime();
  const uint32_t threadId = platform::currentThreadId();
  const std::string bytes = formatLogLine(level, time, threadId, format, args);
  if (recordingCause && (level == Error ? firstError.empty() : level == Warning && firstWarning.empty())) {
    // The message is what follows "[label] " in the line, without CR LF.
    const size_t label = bytes.find("] [");
    const size_t start = label == std::string::npos ? std::string::npos : bytes.find("] ", label + 3);
    std::string message = start == std::string::npos ? bytes : bytes.substr(start + 2);
    if (message.size() >= 2) message.resize(message.size() - 2);
    (level == Error ? firstError : firstWarning) = std::move(message);
  }
  std::string notice;
  if (unwrittenLines > 0) {
    const FormatArg count(static_cast<unsigned long long>(unwrittenLines));
    notice = formatLogLine(Warning, time, threadId,
                           u"%d linha(s) do log nao puderam ser gravadas no arquivo (bloqueado por outro programa "
                           u"ou inacessivel)",
                           {&count, 1});
  }

  // The count line and the line go in one write: both or neither.
  bool written = false;
  if (openLogFile() && makeRoomForLine(notice.size() + bytes.size())) {
    written = platform::appendToFile(logFileHandle, (notice + bytes).data(), notice.size() + bytes.size());
    platform::flushFile(logFileHandle);
    platform::closeFile(logFileHandle);
    logFileHandle = platform::kInvalidFile;
  }
  unwrittenLines = written ? 0 : unwrittenLines + 1;
  if (!serviceMode) platform::writeConsoleBytes(bytes.data(), bytes.size());
  // In service mode the lines that call for attention reach the journal
  // too, and the Info lines chosen for it (start, stop, cycle summary); the
  // file keeps every line.
  if (serviceMode && journal != Journal::Never && (journal == Journal::Always || level == Error || level == Warning)) {
    platform::writeJournalLine(journalPriority(level), bytes);
  }
  if (level == Error) reportLogLineEvent(level, bytes);
  return written;
}

}  // namespace

bool writeLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  return writeLogLine(level, format, args, Journal::ByLevel);
}

bool writeRepeatedLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  return writeLogLine(level, format, args, Journal::Never);
}

bool writeJournaledLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  return writeLogLine(level, format, args, Journal::Always);
}

void beginCauseRecording() {
  platform::CriticalSectionGuard guard(logLock);
  recordingCause = true;
  firstError.clear();
  firstWarning.clear();
}

std::string recordedCause(size_t maxBytes) {
  platform::CriticalSectionGuard guard(logLock);
  std::string cause = firstError.empty() ? firstWarning : firstError;
  if (cause.size() > maxBytes) cause.resize(maxBytes);
  return cause;
}

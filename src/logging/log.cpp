#include "logging/log.h"

#include "common/process_state.h"
#include "platform/console.h"

platform::CriticalSection logLock;
platform::FileHandle logFileHandle = platform::kInvalidFile;

namespace {

constexpr size_t kLineBufferUnits = 4096;  // whole line, terminator included
constexpr size_t kTimeBufferUnits = 256;

}  // namespace

std::u16string logFilePath() {
  return platform::productPath(programFilesDir, u"\\Karvell Networks\\HSM Karvell\\data\\kelvasync.log");
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

bool writeLogArgs(uint32_t level, std::u16string_view format, std::span<const FormatArg> args) {
  platform::CriticalSectionGuard guard(logLock);
  if (level == Console && serviceMode) return false;

  const std::string bytes =
      formatLogLine(level, platform::localTime(), platform::currentThreadId(), format, args);

  bool written = false;
  if (openLogFile()) {
    platform::appendToFile(logFileHandle, bytes.data(), bytes.size());
    platform::flushFile(logFileHandle);
    platform::closeFile(logFileHandle);
    logFileHandle = platform::kInvalidFile;
    written = true;
  }
  if (!serviceMode) platform::writeConsoleBytes(bytes.data(), bytes.size());
  return written;
}

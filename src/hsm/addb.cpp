#include "hsm/addb.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "common/text.h"
#include "config/config.h"
#include "hsm/hsm_client.h"
#include "hsm/hsm_settings.h"
#include "logging/log.h"

namespace {

// Appends one field as the writer stores it: cut to `limit` bytes, with
// CR, LF and NUL (which would break the record structure) replaced by '?'.
void appendField(std::string& record, const std::string& field, size_t limit) {
  const size_t length = std::min(field.size(), limit);
  for (size_t i = 0; i < length; ++i) {
    const char c = field[i];
    record.push_back(c == '\r' || c == '\n' || c == '\0' ? '?' : c);
  }
  record.append("\r\n");
}

// Takes one field starting at `at`: the bytes up to the first CR, LF or NUL,
// at most `limit` of them. The two bytes after the field (its CR LF) are
// skipped whatever they are, so a field ended by a lone LF takes the next
// byte with it, as other readers of this format do; the skip stops at the
// end of the text. False when the field is too long or the text ends
// inside it.
bool takeField(std::string_view text, size_t& at, size_t limit, std::string& field) {
  size_t end = at;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n' && text[end] != '\0') ++end;
  if (end - at > limit || end >= text.size()) return false;
  field.assign(text.data() + at, end - at);
  at = std::min(end + 2, text.size());
  return true;
}

// The receiving buffer of the read: process-wide, used by the worker thread
// only, rewound at the start of every read.
AddbReceiveBuffer& receiveBuffer() {
  static const std::unique_ptr<AddbReceiveBuffer> buffer = std::make_unique<AddbReceiveBuffer>();
  return *buffer;
}

// Whether the missing right has been named since the last save that
// succeeded: a refusal repeats every cycle until someone grants the right,
// and one explanation in the log is enough. Worker thread only.
bool writeRightNamed = false;

void logUnreadable() {
  writeLog(Error, u"Erro na leitura de 'addb'. Procure o atendimento de Suporte. Codigo 101.");
}

}  // namespace

size_t fillAddbText(const MemberList& members, AddbBuffer& buffer) {
  buffer.length = 0;
  buffer.cursor = 0;
  buffer.text[0] = '\0';
  size_t written = 0;
  std::string record;
  for (const GroupMember& member : members) {
    record.clear();
    appendField(record, member.hsmUserId, kAddbMaxUserIdBytes);
    appendField(record, member.logon, kAddbMaxLogonBytes);
    appendField(record, member.commonName, kAddbMaxCommonNameBytes);
    // The record and the terminator after it must fit whole.
    if (record.size() + 1 > kAddbTextSize - buffer.length) break;
    std::memcpy(buffer.text + buffer.length, record.data(), record.size());
    buffer.length += static_cast<uint32_t>(record.size());
    buffer.text[buffer.length] = '\0';
    ++written;
  }
  return written;
}

bool writeAddb(MemberList members) {
  auto buffer = std::make_unique<AddbBuffer>();
  const size_t written = fillAddbText(members, *buffer);
  if (written < members.size()) {
    writeLog(Warning,
             u"A base de dados 'addb' nao comporta todos os membros do grupo: %d membro(s) ficaram de fora",
             static_cast<long long>(members.size() - written));
  }
  if (buffer->length == 0) {
    writeLog(Console, u"Nao existem dados a serem salvos em 'addb'");
    return false;
  }
  return saveAddbText(*buffer);
}

bool saveAddbText(AddbBuffer& buffer) {
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::AddbWrite);
  refreshHsmSettings(settings);  // a missing value shows up as a failed session
  buffer.length = static_cast<uint32_t>(strnlen(buffer.text, kAddbTextSize - 1));
  buffer.cursor = 0;

  const int32_t backup = backupHsmObject(settings.host, kAddbAccount, kAddbAccountPassword,
                                         kAddbObject, kAddbBackupObject);
  if (backup != KV_OK && backup != KV_ERR_OBJECT_NOT_FOUND) {
    writeLog(Error, u"Nao foi possivel fazer o backup interno 'addb'. Procure o atendimento de Suporte. Codigo %d.",
             backup);
    return false;
  }
  writeLog(Console, u"Backup de 'addb' realizado com sucesso");

  KvSession session = nullptr;
  const int32_t opened = openHsmSession(session, settings.host, settings.user, settings.password);
  if (opened != KV_OK) {
    writeLog(Warning, u"Nao foi possivel efetuar conexao com o HSM/Tessel. Codigo %d", opened);
    // The backup has already moved the last list to addb_backup, where it
    // stays until a save succeeds; the cycle must not pass for complete.
    writeLog(Error,
             u"Nao foi possivel salvar 'addb': a sessao para a gravacao nao foi aberta; a lista anterior, se havia, "
             u"continua em 'addb_backup'. Codigo %d.",
             opened);
    return false;
  }
  if (buffer.length == 0) {
    KvCloseSession(&session, 0);
    return false;
  }
  const int32_t code =
      KvWriteFile(session, kAddbQualifiedObject, buffer.length, supplyAddbChunk, &buffer);
  KvCloseSession(&session, 0);
  if (code == KV_ERR_ACCESS_DENIED && !writeRightNamed) {
    // The session of [hsm] usr opened: the account exists but may not write
    // another account's objects. Said once, after the usual words.
    writeRightNamed = true;
    writeLog(Error,
             u"Nao foi possivel salvar 'addb'. Procure o atendimento de Suporte. Codigo %d. A conta [hsm] usr (%s) "
             u"precisa poder gravar os objetos de %s (seja administradora de objetos do HSM).",
             code, widenText(settings.user), widenText(kAddbAccount));
    return false;
  }
  if (code != KV_OK) {
    writeLog(Error, u"Nao foi possivel salvar 'addb'. Procure o atendimento de Suporte. Codigo %d.", code);
    return false;
  }
  writeRightNamed = false;
  return true;
}

bool readAddb(MemberList& members) {
  CachedHsmSettings& settings = cachedHsmSettings(HsmOperation::AddbRead);
  readHsmSettings(&settings.host, nullptr, nullptr);

  KvSession session = nullptr;
  if (openHsmSession(session, settings.host, kAddbAccount, kAddbAccountPassword) != KV_OK)
    return false;

  AddbReceiveBuffer& buffer = receiveBuffer();
  buffer.cursor = 0;
  buffer.received = 0;
  buffer.overflowed = false;
  buffer.text[0] = '\0';
  const int32_t code = KvReadFile(session, kAddbQualifiedObject, appendAddbChunk, &buffer);
  KvCloseSession(&session, 0);
  // A read that ends early leaves the cursor where it was; the next read
  // starts from the beginning all the same.
  buffer.cursor = 0;

  if (code == KV_ERR_OBJECT_NOT_FOUND) {
    writeLog(Warning,
             u"O base de dados 'addb' nao existe dentro do HSM/Tessel. Por enquanto nenhuma acao eh necessaria");
    return true;
  }
  if (code != KV_OK) return false;
  if (buffer.overflowed) {
    logUnreadable();
    return false;
  }
  bool parsed = false;
  try {
    parsed = parseAddbText(std::string_view(buffer.text, buffer.received), members);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) {
    logUnreadable();
    return false;
  }
  return true;
}

bool parseAddbText(std::string_view text, MemberList& members) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  size_t at = 0;
  while (at < text.size()) {
    GroupMember member;
    if (!takeField(text, at, kAddbMaxUserIdBytes, member.hsmUserId) ||
        !takeField(text, at, kAddbMaxLogonBytes, member.logon) ||
        !takeField(text, at, kAddbMaxCommonNameBytes, member.commonName))
      return false;
    members.push_back(std::move(member));
  }
  return true;
}

extern "C" int32_t supplyAddbChunk(uint8_t* destination, uint32_t* requestedCount, void* context,
                                   int32_t* endFlag) {
  AddbBuffer& buffer = *static_cast<AddbBuffer*>(context);
  *endFlag = 0;
  if (buffer.cursor >= buffer.length) {
    *endFlag = 1;
    buffer.cursor = 0;
    return 0;
  }
  // The count stays as the library asked and the cursor advances by it, as
  // the client library expects; the bytes copied never pass the end of the
  // text, and the call after the last bytes reports the end. (A count that
  // would wrap the cursor round stops it at the end instead.)
  const uint32_t requested = *requestedCount;
  std::memcpy(destination, buffer.text + buffer.cursor, std::min(requested, buffer.length - buffer.cursor));
  buffer.cursor = requested > UINT32_MAX - buffer.cursor ? buffer.length : buffer.cursor + requested;
  return 0;
}

extern "C" int32_t appendAddbChunk(const uint8_t* chunk, uint32_t chunkLength, void* context,
                                   int32_t endFlag) {
  AddbReceiveBuffer& buffer = *static_cast<AddbReceiveBuffer*>(context);
  // One byte always stays free for the terminator.
  const uint32_t room = kAddbTextSize - 1 - std::min(buffer.cursor, kAddbTextSize - 1);
  const uint32_t count = std::min(chunkLength, room);
  if (count < chunkLength) buffer.overflowed = true;
  if (count != 0) std::memcpy(buffer.text + buffer.cursor, chunk, count);
  buffer.cursor += count;
  buffer.text[buffer.cursor] = '\0';
  if (endFlag != 0) {
    buffer.received = buffer.cursor;
    buffer.cursor = 0;
  }
  return 0;
}

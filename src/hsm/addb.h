// The addb object: the group member list as it stood at the last
// reconciliation, kept as text on the HSM itself in the namespace of the
// dedicated account "IntegracaoAD", with the previous copy as addb_backup.
//
// Format (8-bit text, no header, no count, no terminator): for each member,
// in list order, hsmUserId CR LF logon CR LF commonName CR LF. At most
// 65,535 bytes. Only the worker thread runs these operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/records.h"

// The HSM account that owns addb and addb_backup. It must exist on the HSM
// beforehand; the service never creates it.
inline constexpr const char* kAddbAccount = "IntegracaoAD";
inline constexpr const char* kAddbAccountPassword = "73905162";
inline constexpr const char* kAddbObject = "addb";
inline constexpr const char* kAddbBackupObject = "addb_backup";
inline constexpr const char* kAddbQualifiedObject = "IntegracaoAD/addb";

// Size of the text buffers, terminator included: the object holds at most
// kAddbTextSize - 1 bytes.
inline constexpr uint32_t kAddbTextSize = 65536;

// Longest field the reader accepts; the writer cuts longer ones to these.
inline constexpr size_t kAddbMaxUserIdBytes = 127;
inline constexpr size_t kAddbMaxLogonBytes = 255;
inline constexpr size_t kAddbMaxCommonNameBytes = 1023;

// The writer's buffer, one per write.
struct AddbBuffer {
  uint32_t length = 0;  // bytes of text, terminator excluded
  uint32_t cursor = 0;  // the supplier's position
  char text[kAddbTextSize] = {};
};

// The reader's receiving buffer.
struct AddbReceiveBuffer {
  uint32_t cursor = 0;     // where the next chunk goes; back to 0 after the last
  uint32_t received = 0;   // bytes held once the last chunk has arrived
  bool overflowed = false; // the object did not fit; the text is incomplete
  char text[kAddbTextSize] = {};
};

// Fills `buffer` with the records of `members` in order. A member is written
// whole or not at all: the text stops before the first member that does not
// fit with the terminator. CR, LF and NUL bytes inside a field become '?',
// and a field longer than the reader accepts is cut to that length, so that
// every object written reads back record for record. Returns the number of
// members written; buffer.length is set, buffer.cursor is 0.
size_t fillAddbText(const MemberList& members, AddbBuffer& buffer);

// Writes the whole list into addb after backing up the stored one. False,
// touching nothing on the HSM, for an empty list. Logs a Warning with how
// many members were left out when not all fit.
bool writeAddb(MemberList members);

// Backs up addb as addb_backup (session of IntegracaoAD), then writes the
// buffer's text as IntegracaoAD/addb (session of the [hsm] user). When there
// is no addb (an earlier write failed after its backup) addb_backup is left
// as it is: it holds the last list. So one of the two objects holds the last
// complete list at every moment, whatever fails or is killed.
bool saveAddbText(AddbBuffer& buffer);

// Reads IntegracaoAD/addb (session of IntegracaoAD) and appends its records
// to `members`, which is not emptied first. True also when the object does
// not exist (nothing appended). An object that is too large, or whose text
// breaks the format (a field over its limit, a text that ends inside a
// field), is reported with the Codigo 101 line and
// gives false; records before the fault stay appended, and nothing is
// appended from an object that was too large.
bool readAddb(MemberList& members);

// Parses addb text: the records up to `text`'s end or its first NUL byte.
// A field ends at the first CR, LF or NUL, and the two bytes after it are
// skipped (its CR LF, or a lone line end and the next byte), never past the
// end. Appends each complete record; false at the first fault of the format
// (records before it stay). Never reads outside `text`.
bool parseAddbText(std::string_view text, MemberList& members);

// The supplier handed to KvWriteFile; `buffer` is an AddbBuffer.
extern "C" int32_t supplyAddbChunk(uint8_t* destination, uint32_t* requestedCount, void* buffer,
                                   int32_t* endFlag);

// The receiver handed to KvReadFile; `buffer` is an AddbReceiveBuffer.
extern "C" int32_t appendAddbChunk(const uint8_t* chunk, uint32_t chunkLength, void* buffer,
                                   int32_t endFlag);

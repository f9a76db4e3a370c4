// Platform seam: passwords sealed by the operating system, so that the INI
// file need not hold a reversible one.
//
// A pwd value of kelvasync.ini may name a sealed secret instead of holding
// RC4 text (which is only hexadecimal digits, so the forms cannot be
// confused):
//
//   credential:NAME  Linux: a systemd credential of the service, the file
//                    NAME in $CREDENTIALS_DIRECTORY. systemd decrypts it with
//                    the host's key (and TPM, where there is one) when the
//                    unit starts, from LoadCredentialEncrypted= or
//                    SetCredentialEncrypted= of the unit or a drop-in; it
//                    lives in memory only while the service runs.
//   dpapi:BASE64     Windows: a DPAPI blob that CryptProtectData made of the
//                    password, for the machine or for the service's account,
//                    with this program's entropy.
//
// The secret's bytes are the password as the RC4 values hold it (8-bit
// text in the ANSI code page, Windows-1252), without a trailing line end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::string_view kCredentialPrefix = "credential:";
inline constexpr std::string_view kDpapiPrefix = "dpapi:";

// Longest secret accepted; the HSM's own field is far shorter and refuses
// a longer password with its own line.
inline constexpr size_t kMaxSealedSecretBytes = 255;

// Whether `value` (a pwd value as read) names a sealed secret rather than
// RC4 text. The prefix is compared without regard to ASCII case.
inline bool startsWithNoCase(std::string_view value, std::string_view prefix) {
  if (value.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = value[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}
inline bool isSealedSecret(std::string_view value) {
  return startsWithNoCase(value, kCredentialPrefix) || startsWithNoCase(value, kDpapiPrefix);
}

// Why a sealed secret could not be opened or made: the facts, for the
// layers above to put into words. `detail` carries the system's own words
// (a path, strerror, a Windows error code, a program's exit status).
enum class SealedSecretFault : uint8_t {
  None,
  OtherSystemsForm,   // credential: on Windows, dpapi: on Linux
  BadName,            // not a credential name (isCredentialName)
  NoCredentials,      // no credentials handed to this process ($CREDENTIALS_DIRECTORY unset)
  NotHandedOver,      // no credential of that name was handed over
  Unreadable,         // the credential file cannot be opened or read (detail: path and error)
  NotRegularFile,     // the credential is no regular file (detail: path)
  Empty,              // it holds nothing
  TooLong,            // more than kMaxSealedSecretBytes
  ZeroByte,           // it holds a zero byte
  NotBase64,          // a dpapi: value that is no base64 text
  NotThisMachine,     // DPAPI refused the blob (detail: the code): another machine or account sealed it
  NotOnThisSystem,    // sealing: the form does not exist on this system
  ToolMissing,        // sealing: systemd-creds cannot be started (detail: the error)
  ToolFailed,         // sealing: systemd-creds failed (detail: its exit status, may be empty)
  SealFailed,         // sealing: the system refused (detail: the call and its code)
};
struct SealedSecretResult {
  SealedSecretFault fault = SealedSecretFault::None;
  std::string detail;
  // The secret came from a file that others than its owner and the
  // service's group may read (a credential folder a run by hand points at;
  // systemd's own are private).
  bool readableByOthers = false;
  bool ok() const { return fault == SealedSecretFault::None; }
};

// Opens a sealed pwd value into `secret` (the password). Nothing is written
// anywhere; the caller wipes `secret` after use.
SealedSecretResult openSealedSecret(std::string_view value, std::string& secret);

// For kelvasync-passwd on Linux: seals `secret` as the systemd credential
// `name` with `systemd-creds encrypt` and gives the drop-in lines that hand
// it to the service (SetCredentialEncrypted=, the ciphertext inline).
// Fails with ToolMissing or ToolFailed, or NotOnThisSystem on Windows.
SealedSecretResult sealSystemdCredential(const std::string& name, const std::string& secret, std::string& dropIn);

// For kelvasync-passwd on Windows: seals `secret` with DPAPI, for the whole
// machine (`machineScope`) or for the account that runs the tool, and gives
// the pwd value ("dpapi:" and base64). Fails with SealFailed, or
// NotOnThisSystem on Linux.
SealedSecretResult sealWithDpapi(const std::string& secret, bool machineScope, std::string& value);

// True when `name` can name a systemd credential file: 1 to 64 letters,
// digits, '.', '_' or '-', not starting with '.' (so never a path).
inline bool isCredentialName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace platform

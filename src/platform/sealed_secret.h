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

// Opens a sealed pwd value. True with the password in `secret`; false with
// `cause` saying why in the log's words (a form this system does not
// have, no such credential, a blob another machine or account sealed...).
// `readableByOthers`, when given, is set when the secret came from a file
// that others than its owner and the service's group may read (a
// credential folder a run by hand points at; systemd's own are private).
// Nothing is written anywhere; the caller wipes `secret` after use.
bool openSealedSecret(std::string_view value, std::string& secret, std::u16string& cause,
                      bool* readableByOthers = nullptr);

// For kelvasync-passwd on Linux: seals `secret` as the systemd credential
// `name` with `systemd-creds encrypt` and gives the drop-in lines that hand
// it to the service (SetCredentialEncrypted=, the ciphertext inline). False
// with `error` (in Portuguese) when systemd-creds is missing or fails, or on
// Windows.
bool sealSystemdCredential(const std::string& name, const std::string& secret, std::string& dropIn,
                           std::string& error);

// For kelvasync-passwd on Windows: seals `secret` with DPAPI, for the whole
// machine (`machineScope`) or for the account that runs the tool, and gives
// the pwd value ("dpapi:" and base64). False with `error` on failure, or on
// Linux.
bool sealWithDpapi(const std::string& secret, bool machineScope, std::string& value, std::string& error);

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

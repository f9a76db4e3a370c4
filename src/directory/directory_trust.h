// What the directory backend is handed from above before each read: the
// certificate authority to trust, the keytab of a bind without a stored
// account and the time-outs, each found in its one explicit order. The
// backend (platform/directory.h) chooses none of it.
#pragma once

#include <string>

// The certificate authority that the directory's certificate must chain to
// (Linux; Windows trusts the machine's certificate store). The file comes
// from one explicit place, in this order: the INI file's [activedirectory]
// cacert (setDirectoryCaFile), LDAPTLS_CACERT in the environment,
// TLS_CACERT of /etc/ldap/ldap.conf. Nothing else is read: no ldaprc or
// .ldaprc in the working or home folder, no $LDAPRC, so that whoever may
// write there cannot pick the trust anchor. No file at all leaves the
// system's trust store.
struct DirectoryTrust {
  std::string caFile;  // empty: none named
  std::string source;  // where it was named
};
// Takes the INI value (empty: none). False where the platform trusts its own
// store and takes no file (Windows).
bool setDirectoryCaFile(const std::string& configured);
DirectoryTrust directoryTrust();

// The Kerberos key table for a bind without a stored account (usr and pwd
// both empty; Linux): the INI file's [activedirectory] keytab
// (setDirectoryKeytab), else KRB5_CLIENT_KTNAME in the environment (the
// unit's environment file).
struct DirectoryKeytab {
  std::string path;       // empty: none named
  std::string source;     // where it was named
  std::string principal;  // its client principal; empty when it cannot be read
  std::string problem;    // why it cannot be used, as the log says it; empty when it can
};
// Takes the INI value (empty: none). False where the platform binds as the
// service's own account and takes no keytab (Windows).
bool setDirectoryKeytab(const std::string& configured);
// Reads the table named now (its first entry's principal); does not reach
// the KDC.
DirectoryKeytab directoryKeytab();
// The keytab named now and where, without reading it.
DirectoryKeytab namedDirectoryKeytab();

// Hands the backend what it is to use now: the CA and the keytab named, and
// the time-outs KELVASYNC_LDAP_NETWORK_TIMEOUT and
// KELVASYNC_LDAP_OPERATION_TIMEOUT of the environment (whole seconds, 1 to
// 3600, read once), which tests that make a directory stall use; a tuning
// set by a caller outranks them. The group search calls it before each
// read. False where the platform takes none of it.
bool handDirectorySetup();

// Hands [activedirectory] cacert and keytab to the directory backend and
// says at start what a bind will trust: an Erro line when the CA file cannot
// be read (every bind would then fail as a certificate problem), an Atencao
// line for each key the platform ignores. True when nothing is wrong with
// the CA. Worker thread, before the first search.
bool applyDirectoryTrust();

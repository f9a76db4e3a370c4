// The credentials the service's systemd unit hands over, as kelvasync-check
// reads them from the unit file and its drop-ins (Linux): a pwd value
// credential:NAME opens only when the unit has a LoadCredential=,
// LoadCredentialEncrypted=, SetCredential= or SetCredentialEncrypted= line
// for NAME, and a name the unit lacks would otherwise be found only by the
// service, at its next start.
#pragma once

#include <string>
#include <vector>

// One credential line of the unit, after its drop-ins were applied.
struct UnitCredential {
  std::string setting;  // "LoadCredential", "LoadCredentialEncrypted", "SetCredential" or "SetCredentialEncrypted"
  std::string name;     // the credential's name (its ID)
  std::string value;    // what follows "NAME:" (a path, or the data; base64 without blanks when encrypted)
  std::string file;     // the file that set it
};

struct ServiceUnit {
  bool found = false;              // a unit file kelvasync.service exists
  std::vector<std::string> files;  // the unit file, then its drop-ins in the order systemd applies them
  std::vector<UnitCredential> credentials;
  std::string user;  // User=; empty when the unit runs as root
};

// Reads kelvasync.service and its drop-ins (NAME.service.d/*.conf and
// service.d/*.conf) from the folders systemd looks in, or, when
// KELVASYNC_UNIT_DIR is set (as for `kelvasync -i`), from that folder
// alone. Drop-ins apply in the order of their file names, a name in a
// folder of higher precedence hiding the same name elsewhere; an empty
// assignment clears the lines before it (LoadCredential= both Load kinds,
// SetCredential= both Set kinds). Lines end at a backslash continuation as
// systemd joins them.
ServiceUnit readServiceUnit();

// The credential `name` as the unit hands it over; null when it does not.
const UnitCredential* findUnitCredential(const ServiceUnit& unit, const std::string& name);

// The files searched, for a finding that names where it looked.
std::string describeUnitFiles(const ServiceUnit& unit);

// A command that runs `program` (this kelvasync-check) as a transient
// service with the unit's account and the credentials `names`, so that it
// opens them as the service does: systemd-run --quiet --pipe --wait
// --collect -p User=... -p SetCredentialEncrypted=NAME:... PROGRAM. A
// credential set in clear (SetCredential=) is not copied onto a command
// line: its value is left as <valor>. Empty when a name is not handed over.
std::string tryAsServiceCommand(const ServiceUnit& unit, const std::vector<std::string>& names,
                                const std::string& program);

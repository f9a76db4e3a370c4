// The identifier under which a group member is known to the HSM.
#pragma once

#include <string>
#include <string_view>

#include "platform/digest.h"

// "A" followed by the 2nd to 15th lower-case hexadecimal digits of the MD5
// digest of `logon` (hashed byte for byte, case unchanged: the caller has
// already lower-cased it). Empty when the digest could not be computed; an
// Error line ("Codigo 102") then says so. Keeps no state; safe from any
// thread.
std::string convertLogonToHsmUserId(std::string logon);

// The same conversion with the digest function given, so that the failure
// path can be exercised.
using DigestFunction = bool (*)(std::string_view bytes, platform::Md5Digest& digest);
std::string convertLogonToHsmUserIdWith(std::string_view logon, DigestFunction digestFunction);

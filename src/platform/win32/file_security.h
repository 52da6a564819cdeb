// Who may read and write a file, as its access list says. TOLVEN.INI holds
// the coded database password: its access list is the operator's choice,
// kept when the gateway writes the file back, and looked at by --check.
#pragma once

#include <string>

#include "common/status.h"

namespace tolven::platform {

// The security of the file `from` (access list with its inheritance, owner
// and group where this account may set them) given to `to`. An error only
// when the access list could not be read or given: the caller must not put
// `to` in the place of `from` then.
Status CopyFileSecurity(const std::wstring& from, const std::wstring& to);

// Ok when no one but administrators, SYSTEM, the file's owner, this account
// and the account of the installed service may read the file; otherwise a
// message naming who else may ("C:\WINDOWS\TOLVEN.INI ist lesbar für
// VORDEFINIERT\Benutzer").
Status CheckOnlyTrustedReaders(const std::string& path);

// The account the installed service "tolvenpda" runs as ("LocalSystem",
// "NT AUTHORITY\LocalService", ".\kasse"); empty when it is not installed.
std::wstring ServiceAccount();

}  // namespace tolven::platform

#include "platform/win32/file_security.h"

#include <algorithm>
#include <vector>

#include "platform/win32/system.h"

// After windows.h (through system.h).
#include <aclapi.h>
#include <sddl.h>

namespace tolven::platform {

namespace {

// Memory the security functions hand out, freed with LocalFree.
struct LocalMemory {
  HLOCAL p = nullptr;
  ~LocalMemory() {
    if (p) LocalFree(p);
  }
};

// "VORDEFINIERT\Benutzer", or the SID as text when no name is known.
std::string AccountName(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    return domain[0] ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
  }
  LocalMemory text;
  wchar_t* sidText = nullptr;
  if (!ConvertSidToStringSidW(sid, &sidText)) return "?";
  text.p = sidText;
  return Narrow(sidText);
}

std::vector<BYTE> WellKnown(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

std::vector<BYTE> ProcessUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<BYTE> buf(512);
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenUser, buf.data(), static_cast<DWORD>(buf.size()), &size) != 0;
  CloseHandle(token);
  if (!ok) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
  return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

std::vector<BYTE> SidOfAccount(std::wstring account) {
  if (account.empty()) return {};
  if (_wcsicmp(account.c_str(), L"LocalSystem") == 0) return WellKnown(WinLocalSystemSid);
  // ".\kasse" is an account of this computer.
  if (account.rfind(L".\\", 0) == 0) account.erase(0, 2);
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD sidSize = static_cast<DWORD>(sid.size());
  wchar_t domain[256];
  DWORD domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sidSize, domain, &domainSize, &use)) return {};
  sid.resize(sidSize);
  return sid;
}

bool Same(PSID sid, const std::vector<BYTE>& other) {
  return !other.empty() && EqualSid(sid, const_cast<BYTE*>(other.data()));
}

constexpr ACCESS_MASK kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;

}  // namespace

Status CopyFileSecurity(const std::wstring& from, const std::wstring& to) {
  constexpr SECURITY_INFORMATION kAll =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(from.c_str(), kAll, nullptr, 0, &size);
  std::vector<BYTE> sd(size);
  if (size == 0 || !GetFileSecurityW(from.c_str(), kAll, sd.data(), size, &size)) {
    return LastWin32Error("GetFileSecurity(" + Narrow(from) + ")");
  }
  // The list as it stands, inherited entries and protection included: the
  // file stays in the same folder.
  if (!SetFileSecurityW(to.c_str(), DACL_SECURITY_INFORMATION, sd.data())) {
    return LastWin32Error("SetFileSecurity(" + Narrow(to) + ")");
  }
  // Only an administrator may give a file to another owner; for anyone else
  // the access list, which guards the password, is what is kept.
  (void)SetFileSecurityW(to.c_str(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, sd.data());
  return Status::Ok();
}

Status CheckOnlyTrustedReaders(const std::string& path) {
  LocalMemory sd;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  const DWORD err =
      GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(&sd.p));
  if (err != ERROR_SUCCESS) return Win32Error("GetNamedSecurityInfo(" + path + ")", err);
  if (!dacl) return Status::Error(path + " ist für alle Benutzer lesbar (keine Zugriffsliste)");
  const std::vector<BYTE> trusted[] = {WellKnown(WinBuiltinAdministratorsSid), WellKnown(WinLocalSystemSid),
                                       ProcessUser(), SidOfAccount(ServiceAccount())};
  std::vector<std::string> others;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    // Deny entries are left out: a reader counted too many is only a warning.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kReading) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    bool ok = owner && EqualSid(sid, owner);
    for (const std::vector<BYTE>& t : trusted) ok = ok || Same(sid, t);
    if (ok) continue;
    const std::string name = AccountName(sid);
    if (std::find(others.begin(), others.end(), name) == others.end()) others.push_back(name);
  }
  if (others.empty()) return Status::Ok();
  std::string list;
  for (const std::string& name : others) list += (list.empty() ? "" : ", ") + name;
  return Status::Error(path + " ist lesbar für " + list);
}

}  // namespace tolven::platform

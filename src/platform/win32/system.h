// The Windows headers for the files of this folder, and the edge
// between the program's Windows-1252 texts and the system's UTF-16 ones.
// Include this instead of <windows.h>: it removes the macros that would
// rename the program's own members (Env::DeleteFile, Ui::MessageBox, ...).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef DeleteFile
#undef MessageBox
#undef CreateFile
#undef MoveFile
#undef CopyFile
#undef GetObject
#undef ERROR
#undef Yield
#undef StartService

#include <string>

#include "common/status.h"

namespace tolven::platform {

// Windows-1252 text (paths, names) as the UTF-16 text the W functions take.
std::wstring Wide(const std::string& cp1252);
// And back; characters Windows-1252 has no place for become "?".
std::string Narrow(const std::wstring& wide);
// "context: system text" for a GetLastError() code, the code kept.
Status Win32Error(const std::string& context, unsigned long code);
// The same for GetLastError() now.
Status LastWin32Error(const std::string& context);

}  // namespace tolven::platform

// INI files with the semantics of the Windows profile-string functions that the
// POS programs sharing these files use: section and key names compare without
// regard to letter case, a value is read without the blanks around it (and
// without one pair of enclosing quotes) and cut to what fits a 255-character
// buffer, a write creates a missing file or section, and every other section,
// key, comment and line end is left exactly as it was.
#pragma once

#include <string>

#include "common/status.h"
#include "platform/env.h"

namespace tolven::platform {

class IniFile {
 public:
  static constexpr size_t kBufferSize = 255;  // the value read holds at most 254 characters

  // Files are named without a folder and taken from `folder`.
  IniFile(Env& env, std::string folder) : env_(env), folder_(std::move(folder)) {}

  // The value, or `defaultValue` when the file, section or key is missing.
  std::string Read(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& defaultValue = "") const;
  // Writes only when the file's text changes; mode, owner and a symbolic link
  // to the file are kept.
  Status Write(const std::string& file, const std::string& section, const std::string& key, const std::string& value);

  std::string PathOf(const std::string& file) const;
  const std::string& folder() const { return folder_; }

 private:
  Env& env_;
  std::string folder_;
};

}  // namespace tolven::platform

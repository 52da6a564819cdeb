// INI files with the semantics of the Windows profile-string functions that the
// POS programs sharing these files use: section and key names compare without
// regard to letter case, a value is read without the blanks around it (and
// without one pair of enclosing quotes) and cut to what fits a 255-character
// buffer, a write creates a missing file or section, and every other section,
// key, comment and line end is left exactly as it was.
//
// The files are Windows-1252 text, but Notepad saves UTF-8 (with or without a
// byte-order mark) by default: such a file is read as UTF-8 and converted, and
// a write keeps its encoding and mark. A file in UTF-16, or in UTF-8 with
// characters Windows-1252 lacks, cannot be read faithfully: Encoding() says
// so, reads give the defaults and writes are refused, so it is never garbled.
#pragma once

#include <string>

#include "common/status.h"
#include "platform/env.h"

namespace tolven::platform {

enum class IniEncoding { Ansi, Utf8, Utf8WithMark, Utf16, Utf8Unconvertible };

// The encoding of a file's bytes; Ansi for Windows-1252 (and plain ASCII).
IniEncoding DetectIniEncoding(const std::string& bytes);

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

  // Ok when the file is missing or can be read faithfully (its encoding named
  // in `how`: "Windows-1252", "UTF-8", "UTF-8 mit BOM"); otherwise an error
  // naming the encoding and, for UTF-8, the first line that cannot be converted.
  Status Encoding(const std::string& file, std::string* how = nullptr) const;

  std::string PathOf(const std::string& file) const;
  const std::string& folder() const { return folder_; }

 private:
  // The file's text in Windows-1252 and its bytes as stored; an error when it
  // is missing or cannot be read faithfully (the message names the encoding).
  Status Load(const std::string& path, std::string& text, IniEncoding& encoding, std::string& bytes) const;

  Env& env_;
  std::string folder_;
};

}  // namespace tolven::platform

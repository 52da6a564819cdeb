#include "platform/ini_file.h"

#include <algorithm>
#include <vector>

#include "common/cp1252.h"
#include "common/text.h"

namespace tolven::platform {

namespace {

struct Line {
  std::string text;  // without its line end
  std::string end;   // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& contents) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < contents.size()) {
    size_t nl = contents.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back({contents.substr(pos), ""});
      break;
    }
    bool cr = nl > pos && contents[nl - 1] == '\r';
    lines.push_back({contents.substr(pos, nl - pos - (cr ? 1 : 0)), cr ? "\r\n" : "\n"});
    pos = nl + 1;
  }
  return lines;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

// The section name of a "[name]" line, or false.
bool SectionOf(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(std::string_view(t).substr(1, close - 1));
  return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(std::string_view(line).substr(0, eq));
  value = Trim(std::string_view(line).substr(eq + 1));
  return !key.empty();
}

bool SameName(const std::string& a, const std::string& b) { return ToUpper(a) == ToUpper(b); }

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

bool Converts(std::string_view utf8) { return Cp1252ToUtf8(Utf8ToCp1252(utf8)) == utf8; }

}  // namespace

IniEncoding DetectIniEncoding(const std::string& bytes) {
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) return IniEncoding::Utf16;
  const bool marked = bytes.starts_with(kUtf8Mark);
  const std::string_view body = marked ? std::string_view(bytes).substr(kUtf8Mark.size()) : std::string_view(bytes);
  // Without a mark, UTF-8 is what is well formed and has a byte above ASCII:
  // Windows-1252 text with an umlaut almost never is ("Ã¼" would be).
  const bool high = std::any_of(body.begin(), body.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  if (!marked && (!high || !IsWellFormedUtf8(body))) return IniEncoding::Ansi;
  if (!Converts(body)) return IniEncoding::Utf8Unconvertible;
  return marked ? IniEncoding::Utf8WithMark : IniEncoding::Utf8;
}

Status IniFile::Load(const std::string& path, std::string& text, IniEncoding& encoding, std::string& bytes) const {
  if (Status st = env_.ReadFile(path, bytes); !st) return st;
  encoding = DetectIniEncoding(bytes);
  switch (encoding) {
    case IniEncoding::Ansi: text = bytes; return Status::Ok();
    case IniEncoding::Utf8: text = Utf8ToCp1252(bytes); return Status::Ok();
    case IniEncoding::Utf8WithMark:
      text = Utf8ToCp1252(std::string_view(bytes).substr(kUtf8Mark.size()));
      return Status::Ok();
    case IniEncoding::Utf16:
      return Status::Error(path +
                           " ist als UTF-16 (Unicode) gespeichert; lesbar sind nur Windows-1252 (ANSI) und "
                           "UTF-8. Speichern Sie die Datei als ANSI oder UTF-8.");
    case IniEncoding::Utf8Unconvertible: break;
  }
  size_t line = 1;
  const std::string body = bytes.starts_with(kUtf8Mark) ? bytes.substr(kUtf8Mark.size()) : bytes;
  for (const Line& l : SplitLines(body)) {
    if (!Converts(l.text)) break;
    ++line;
  }
  return Status::Error(path + " ist als UTF-8 gespeichert und enthält in Zeile " + std::to_string(line) +
                       " Zeichen, die es in Windows-1252 nicht gibt. Ersetzen Sie sie oder speichern Sie die Datei "
                       "als ANSI.");
}

Status IniFile::Encoding(const std::string& file, std::string* how) const {
  const std::string path = PathOf(file);
  if (!env_.FileExists(path)) return Status::Ok();
  std::string text, bytes;
  IniEncoding e = IniEncoding::Ansi;
  Status st = Load(path, text, e, bytes);
  const char* names[] = {"Windows-1252", "UTF-8", "UTF-8 mit BOM"};
  if (st && how) *how = names[static_cast<int>(e)];
  return st;
}

std::string IniFile::PathOf(const std::string& file) const {
  if (folder_.empty()) return file;
  return WithTrailingSep(folder_) + file;
}

std::string IniFile::Read(const std::string& file, const std::string& section, const std::string& key,
                          const std::string& defaultValue) const {
  auto cut = [](std::string v) {
    if (v.size() > kBufferSize - 1) v.resize(kBufferSize - 1);
    return v;
  };
  std::string contents, bytes;
  IniEncoding encoding;
  if (!Load(PathOf(file), contents, encoding, bytes)) return cut(TrimRightBlanks(defaultValue));
  bool inSection = false;
  for (const Line& line : SplitLines(contents)) {
    std::string name;
    if (SectionOf(line.text, name)) {
      inSection = SameName(name, section);
      continue;
    }
    std::string k, v;
    if (inSection && KeyOf(line.text, k, v) && SameName(k, key)) {
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      return cut(v);
    }
  }
  return cut(TrimRightBlanks(defaultValue));
}

Status IniFile::Write(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& value) {
  const std::string path = PathOf(file);
  std::string contents, bytes;
  IniEncoding encoding = IniEncoding::Ansi;
  const bool exists = env_.FileExists(path);
  if (exists) {
    // Never written over: a file that cannot be read faithfully.
    if (Status st = Load(path, contents, encoding, bytes); !st) return st;
  }
  std::vector<Line> lines = SplitLines(contents);
  // Keep the file's own line ends; a new file gets CR LF.
  std::string eol = "\r\n";
  for (const Line& l : lines) {
    if (!l.end.empty()) {
      eol = l.end;
      break;
    }
  }
  const std::string entry = key + "=" + value;

  int sectionStart = -1;  // index of the section's header line
  int lastContent = -1;   // last non-blank line inside the section
  int keyLine = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (SectionOf(lines[i].text, name)) {
      if (sectionStart >= 0) break;  // the section ended
      if (SameName(name, section)) {
        sectionStart = static_cast<int>(i);
        lastContent = sectionStart;
      }
      continue;
    }
    if (sectionStart < 0) continue;
    if (!Trim(lines[i].text).empty()) lastContent = static_cast<int>(i);
    std::string k, v;
    if (KeyOf(lines[i].text, k, v) && SameName(k, key)) {
      keyLine = static_cast<int>(i);
      break;
    }
  }

  if (keyLine >= 0) {
    lines[static_cast<size_t>(keyLine)].text = entry;
  } else if (sectionStart >= 0) {
    auto at = static_cast<size_t>(lastContent);
    if (lines[at].end.empty()) lines[at].end = eol;
    lines.insert(lines.begin() + static_cast<long>(at) + 1, Line{entry, eol});
  } else {
    if (!lines.empty() && lines.back().end.empty()) lines.back().end = eol;
    lines.push_back({"[" + section + "]", eol});
    lines.push_back({entry, eol});
  }

  std::string out;
  for (const Line& l : lines) out += l.text + l.end;
  // The file stays in the encoding it was saved in.
  if (encoding == IniEncoding::Utf8 || encoding == IniEncoding::Utf8WithMark) {
    out = (encoding == IniEncoding::Utf8WithMark ? std::string(kUtf8Mark) : std::string()) + Cp1252ToUtf8(out);
  }
  // A value written as it already stands leaves the file untouched: a start
  // of a configured installation writes nothing, so the file keeps its time,
  // and a folder the service user cannot write does not matter.
  if (exists && out == bytes) return Status::Ok();
  // A TOLVEN.INI linked to the POS programs' copy stays a link.
  return env_.WriteFileAtomic(env_.ResolveLink(path), out);
}

}  // namespace tolven::platform

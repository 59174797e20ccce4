// In-memory registry tree and its export text format.
#include <cstdio>

#include "registry_store.h"

namespace hostcom {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr RegRoot kRoots[] = {RegRoot::ClassesRoot, RegRoot::CurrentUser, RegRoot::LocalMachine};

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

size_t RootIndex(RegRoot root) { return static_cast<size_t>(root); }

// As deep as the Windows registry goes. Writing and freeing the tree recurse
// once per level, so a file with a deeper key must not get that far.
constexpr size_t kMaxKeyDepth = 512;

// Splits a key path into names; false when a name is empty or holds a line
// break, or when there are more than kMaxKeyDepth names.
bool SplitPath(std::string_view path, std::vector<std::string_view>& names) {
  names.clear();
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t sep = path.find('\\', start);
    const std::string_view name = path.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (name.empty() || name.find_first_of("\r\n") != std::string_view::npos) return false;
    if (names.size() == kMaxKeyDepth) return false;
    names.push_back(name);
    if (sep == std::string_view::npos) return true;
    start = sep + 1;
  }
}

RegStatus BadPath(std::string_view path) {
  return {RegStatus::Code::InvalidArgument, "invalid registry key path \"" + std::string(path) + "\""};
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

// Quotes a name or string value: \\ and \" as in registry exports; line breaks
// and NUL as \n, \r, \0 so that every value stays on one line.
void AppendQuoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
}

// `path` is the key's full path; it is extended for each subkey and restored,
// so writing a deep chain of keys copies no path per level.
void AppendKey(std::string& out, const RegKey& key, std::string& path, bool isRoot) {
  if (!isRoot || !key.Values().empty()) {
    out += '[';
    out += path;
    out += "]\n";
    // The default value first, as registry exports have it.
    auto appendValue = [&out](const std::string& name, const RegValue& v) {
      if (name.empty())
        out += '@';
      else
        AppendQuoted(out, name);
      out += '=';
      switch (v.kind) {
        case RegValue::Kind::String: AppendQuoted(out, v.text); break;
        case RegValue::Kind::Dword: {
          char buf[16];
          std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.dword));
          out += buf;
          break;
        }
        case RegValue::Kind::Raw: out += v.text; break;
      }
      out += '\n';
    };
    for (const auto& [name, v] : key.Values())
      if (name.empty()) appendValue(name, v);
    for (const auto& [name, v] : key.Values())
      if (!name.empty()) appendValue(name, v);
    out += '\n';
  }
  const size_t length = path.size();
  for (const auto& [name, sub] : key.Subkeys()) {
    path += '\\';
    path += sub->Name();
    AppendKey(out, *sub, path, false);
    path.resize(length);
  }
}

// Character-level reader of export text with line tracking for messages.
class Parser {
 public:
  Parser(std::string_view text, std::string_view source) : t_(text), source_(source) {}

  RegStatus Run(RegTree& tree) {
    if (t_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (Trim(TakeLine()) != kHeader) {
      line_ = 1;
      return Fail("missing header \"" + std::string(kHeader) + "\"");
    }
    RegKey* current = nullptr;
    while (pos_ < t_.size()) {
      SkipSpaces();
      if (pos_ >= t_.size()) break;
      const char c = t_[pos_];
      if (c == '\r' || c == '\n') {
        TakeLine();
      } else if (c == ';') {
        TakeLine();
      } else if (c == '[') {
        RegStatus st = Section(tree, current);
        if (!st) return st;
      } else if (c == '@' || c == '"') {
        if (current == nullptr) return Fail("value before the first [key] section");
        RegStatus st = ValueLine(*current);
        if (!st) return st;
      } else {
        return Fail("unexpected text");
      }
    }
    return RegStatus::Ok();
  }

 private:
  RegStatus Fail(const std::string& what) const {
    return {RegStatus::Code::Malformed, std::string(source_) + " line " + std::to_string(line_) + ": " + what};
  }

  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
  }

  void SkipSpaces() {
    while (pos_ < t_.size() && IsSpace(t_[pos_])) ++pos_;
  }

  // Returns the rest of the current line (without its line break) and moves past it.
  std::string_view TakeLine() {
    const size_t end = t_.find('\n', pos_);
    std::string_view line = t_.substr(pos_, end == std::string_view::npos ? std::string_view::npos : end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = end == std::string_view::npos ? t_.size() : end + 1;
    ++line_;
    return line;
  }

  bool AtLineEnd() {
    SkipSpaces();
    if (pos_ >= t_.size()) return true;
    if (t_[pos_] == '\n') {
      ++pos_;
      ++line_;
      return true;
    }
    if (t_[pos_] == '\r' && (pos_ + 1 >= t_.size() || t_[pos_ + 1] == '\n')) {
      pos_ += pos_ + 1 < t_.size() ? 2 : 1;
      ++line_;
      return true;
    }
    return false;
  }

  RegStatus Section(RegTree& tree, RegKey*& current) {
    const size_t startLine = line_;
    std::string_view line = Trim(TakeLine());
    const size_t close = line.rfind(']');
    if (close == std::string_view::npos || !Trim(line.substr(close + 1)).empty()) {
      line_ = startLine;
      return Fail("section header without closing ']'");
    }
    std::string_view path = line.substr(1, close - 1);
    if (!path.empty() && path.front() == '-') {
      line_ = startLine;
      return Fail("key deletion entries are not allowed in a registry file");
    }
    const size_t sep = path.find('\\');
    const std::string_view rootName = path.substr(0, sep);
    const std::string_view rest = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
    for (RegRoot r : kRoots) {
      if (RegNameEqual(rootName, RegRootName(r))) {
        if (!OpenSection(tree, r, rest)) {
          line_ = startLine;
          return Fail("invalid key path \"" + std::string(path) + "\"");
        }
        current = section_.key;
        return RegStatus::Ok();
      }
    }
    line_ = startLine;
    return Fail("unknown root key \"" + std::string(rootName) + "\"");
  }

  // Creates the section's key. A file lists a key's subkeys right after it, so
  // a path that extends the previous section's starts from that key: reading a
  // deep chain of keys stays linear in the text.
  bool OpenSection(RegTree& tree, RegRoot root, std::string_view path) {
    RegKey* key = &tree.Root(root);
    size_t depth = 0;
    std::string_view remaining = path;
    if (section_.key != nullptr && section_.root == root && !section_.path.empty() &&
        path.size() >= section_.path.size() && path.substr(0, section_.path.size()) == section_.path &&
        (path.size() == section_.path.size() || path[section_.path.size()] == '\\')) {
      key = section_.key;
      depth = section_.depth;
      remaining = path.size() == section_.path.size() ? std::string_view{} : path.substr(section_.path.size() + 1);
      if (remaining.empty() && path.size() != section_.path.size()) return false;  // trailing separator
    }
    if (!SplitPath(remaining, names_) || depth + names_.size() > kMaxKeyDepth) return false;
    for (const std::string_view name : names_) key = &key->CreateSubkey(name);
    section_ = {root, path, key, depth + names_.size()};
    return true;
  }

  // Reads a quoted string at pos_; a string may run over line breaks.
  bool Quoted(std::string& out, std::string& error) {
    ++pos_;  // opening quote
    while (pos_ < t_.size()) {
      const char c = t_[pos_++];
      if (c == '"') return true;
      if (c == '\n') ++line_;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= t_.size()) break;
      const char e = t_[pos_++];
      switch (e) {
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case '0': out.push_back('\0'); break;
        default: error = std::string("unknown escape \\") + e; return false;
      }
    }
    error = "string without closing quote";
    return false;
  }

  RegStatus ValueLine(RegKey& key) {
    std::string name;
    std::string error;
    if (t_[pos_] == '@') {
      ++pos_;
    } else if (!Quoted(name, error)) {
      return Fail(error);
    }
    SkipSpaces();
    if (pos_ >= t_.size() || t_[pos_] != '=') return Fail("expected '=' after the value name");
    ++pos_;
    SkipSpaces();
    if (pos_ >= t_.size()) return Fail("missing value data");
    if (t_[pos_] == '-') return Fail("value deletion entries are not allowed in a registry file");
    if (t_[pos_] == '"') {
      std::string text;
      if (!Quoted(text, error)) return Fail(error);
      if (!AtLineEnd()) return Fail("text after the closing quote");
      key.SetValue(name, RegValue::String(std::move(text)));
      return RegStatus::Ok();
    }
    const std::string_view rest = t_.substr(pos_);
    if (rest.size() >= 6 && RegNameEqual(rest.substr(0, 6), "dword:")) {
      pos_ += 6;
      uint32_t v = 0;
      int digits = 0;
      while (pos_ < t_.size() && digits < 9) {
        const char c = FoldAscii(t_[pos_]);
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (d < 0) break;
        v = (v << 4) | static_cast<uint32_t>(d);
        ++digits;
        ++pos_;
      }
      if (digits == 0 || digits > 8) return Fail("dword value needs 1 to 8 hex digits");
      if (!AtLineEnd()) return Fail("text after the dword value");
      key.SetValue(name, RegValue::Dword(v));
      return RegStatus::Ok();
    }
    if (rest.size() >= 3 && RegNameEqual(rest.substr(0, 3), "hex")) {
      // Binary forms keep their text; a trailing '\' continues on the next line.
      const size_t startLine = line_;
      std::string data;
      while (true) {
        std::string_view part = Trim(TakeLine());
        if (!part.empty() && part.back() == '\\') {
          part.remove_suffix(1);
          data += Trim(part);
          if (pos_ >= t_.size()) return Fail("continued value at end of file");
          continue;
        }
        data += part;
        break;
      }
      // Written back, such data would continue onto the next line and swallow it.
      if (!data.empty() && data.back() == '\\') {
        line_ = startLine;
        return Fail("binary value data ends with '\\'");
      }
      key.SetValue(name, RegValue::Raw(std::move(data)));
      return RegStatus::Ok();
    }
    return Fail("unsupported value data");
  }

  // The key of the last section and where it is.
  struct OpenKey {
    RegRoot root = RegRoot::ClassesRoot;
    std::string_view path;
    RegKey* key = nullptr;
    size_t depth = 0;
  };

  std::string_view t_;
  std::string_view source_;
  size_t pos_ = 0;
  size_t line_ = 1;
  OpenKey section_;
  std::vector<std::string_view> names_;
};

}  // namespace

const char* RegRootName(RegRoot root) {
  switch (root) {
    case RegRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case RegRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case RegRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
  }
  return "";
}

bool RegNameLess::operator()(std::string_view a, std::string_view b) const {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(FoldAscii(a[i]));
    const auto y = static_cast<unsigned char>(FoldAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool RegNameEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

HRESULT RegStatus::ToHresult() const {
  switch (code) {
    case Code::Ok: return S_OK;
    case Code::NotFound: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case Code::InvalidArgument: return E_INVALIDARG;
    case Code::WrongType: return HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE);
    case Code::Malformed: return HRESULT_FROM_WIN32(ERROR_BADDB);
    case Code::IoError: return HRESULT_FROM_WIN32(ERROR_REGISTRY_IO_FAILED);
    case Code::Aborted: return E_ABORT;
  }
  return E_FAIL;
}

// --- RegKey ---

const RegValue* RegKey::FindValue(std::string_view name) const {
  const auto it = valueIndex_.find(name);
  return it == valueIndex_.end() ? nullptr : &values_[it->second].second;
}

void RegKey::SetValue(std::string_view name, RegValue value) {
  const auto it = valueIndex_.find(name);
  if (it != valueIndex_.end()) {
    values_[it->second].second = std::move(value);
    return;
  }
  values_.emplace_back(std::string(name), std::move(value));
  try {
    valueIndex_.emplace(std::string(name), values_.size() - 1);
  } catch (...) {
    values_.pop_back();
    throw;
  }
}

bool RegKey::DeleteValue(std::string_view name) {
  const auto it = valueIndex_.find(name);
  if (it == valueIndex_.end()) return false;
  const size_t position = it->second;
  valueIndex_.erase(it);
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  for (auto& [n, index] : valueIndex_)
    if (index > position) --index;
  return true;
}

RegKey* RegKey::FindSubkey(std::string_view name) {
  auto it = subkeys_.find(name);
  return it == subkeys_.end() ? nullptr : it->second.get();
}

const RegKey* RegKey::FindSubkey(std::string_view name) const {
  auto it = subkeys_.find(name);
  return it == subkeys_.end() ? nullptr : it->second.get();
}

RegKey& RegKey::CreateSubkey(std::string_view name) {
  auto it = subkeys_.find(name);
  if (it != subkeys_.end()) return *it->second;
  auto key = std::make_unique<RegKey>(std::string(name));
  RegKey& ref = *key;
  subkeys_.emplace(std::string(name), std::move(key));
  return ref;
}

bool RegKey::DeleteSubkey(std::string_view name) {
  auto it = subkeys_.find(name);
  if (it == subkeys_.end()) return false;
  subkeys_.erase(it);
  return true;
}

// --- RegTree ---

RegTree::RegTree() {
  for (RegRoot r : kRoots) roots_[RootIndex(r)] = std::make_unique<RegKey>(RegRootName(r));
}
RegTree::RegTree(RegTree&&) noexcept = default;
RegTree& RegTree::operator=(RegTree&&) noexcept = default;
RegTree::~RegTree() = default;

RegKey& RegTree::Root(RegRoot root) { return *roots_[RootIndex(root)]; }
const RegKey& RegTree::Root(RegRoot root) const { return *roots_[RootIndex(root)]; }

const RegKey* RegTree::FindKey(RegRoot root, std::string_view path) const {
  std::vector<std::string_view> names;
  if (!SplitPath(path, names)) return nullptr;
  const RegKey* key = &Root(root);
  for (auto name : names) {
    key = key->FindSubkey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

RegKey* RegTree::FindKey(RegRoot root, std::string_view path) {
  return const_cast<RegKey*>(static_cast<const RegTree*>(this)->FindKey(root, path));
}

RegStatus RegTree::CreateKey(RegRoot root, std::string_view path, RegKey** created) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, names)) return BadPath(path);
  RegKey* key = &Root(root);
  for (auto name : names) key = &key->CreateSubkey(name);
  if (created != nullptr) *created = key;
  return RegStatus::Ok();
}

RegStatus RegTree::DeleteTree(RegRoot root, std::string_view path) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, names) || names.empty()) return BadPath(path);
  RegKey* parent = &Root(root);
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    parent = parent->FindSubkey(names[i]);
    if (parent == nullptr) return RegStatus::Ok();
  }
  parent->DeleteSubkey(names.back());
  return RegStatus::Ok();
}

RegStatus RegTree::SetValue(RegRoot root, std::string_view path, std::string_view name, RegValue value) {
  if (value.kind == RegValue::Kind::Raw && value.text.find_first_of("\r\n") != std::string::npos)
    return {RegStatus::Code::InvalidArgument, "raw value data must be one line"};
  // A trailing '\' would read back as a continuation of the next line.
  if (value.kind == RegValue::Kind::Raw && !value.text.empty() && value.text.back() == '\\')
    return {RegStatus::Code::InvalidArgument, "raw value data must not end with '\\'"};
  RegKey* key = nullptr;
  RegStatus st = CreateKey(root, path, &key);
  if (!st) return st;
  key->SetValue(name, std::move(value));
  return st;
}

RegStatus RegTree::SetString(RegRoot root, std::string_view path, std::string_view name, std::string_view value) {
  return SetValue(root, path, name, RegValue::String(std::string(value)));
}

RegStatus RegTree::SetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t value) {
  return SetValue(root, path, name, RegValue::Dword(value));
}

RegStatus RegTree::DeleteValue(RegRoot root, std::string_view path, std::string_view name) {
  RegKey* key = FindKey(root, path);
  if (key == nullptr || !key->DeleteValue(name)) return {RegStatus::Code::NotFound, "no such value"};
  return RegStatus::Ok();
}

std::optional<RegValue> RegTree::GetValue(RegRoot root, std::string_view path, std::string_view name) const {
  const RegKey* key = FindKey(root, path);
  if (key == nullptr) return std::nullopt;
  const RegValue* v = key->FindValue(name);
  if (v == nullptr) return std::nullopt;
  return *v;
}

RegStatus RegTree::GetString(RegRoot root, std::string_view path, std::string_view name, std::string& value) const {
  const RegKey* key = FindKey(root, path);
  if (key == nullptr) return {RegStatus::Code::NotFound, "no such key"};
  const RegValue* v = key->FindValue(name);
  if (v == nullptr) return {RegStatus::Code::NotFound, "no such value"};
  if (v->kind != RegValue::Kind::String) return {RegStatus::Code::WrongType, "value is not a string"};
  value = v->text;
  return RegStatus::Ok();
}

RegStatus RegTree::Parse(std::string_view text, RegTree& out, std::string_view source) {
  RegTree tree;
  Parser parser(text, source);
  RegStatus st = parser.Run(tree);
  if (st) out = std::move(tree);
  return st;
}

std::string RegTree::Serialize() const {
  std::string out(kHeader);
  out += "\n\n";
  for (RegRoot r : kRoots) {
    std::string path = RegRootName(r);
    AppendKey(out, Root(r), path, true);
  }
  return out;
}

}  // namespace hostcom

#include "names.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "files.h"
#include "storage/frames.h"
#include "posix.h"  // last: on Windows it renames POSIX names

namespace vcam::detail {

namespace {

bool Valid83Char(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x21 || u > 0x7E) return false;
  return std::strchr("\"*+,/:;<=>?[\\]|.", c) == nullptr;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Alias(const std::string& host, int n) {
  std::string base, ext;
  const size_t dot = host.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? host : host.substr(0, dot);
  for (char c : stem) {
    if (base.size() == 6) break;
    if (Valid83Char(c)) base.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  if (base.empty()) base = "FILE";
  if (dot != std::string::npos && dot != 0) {
    for (char c : host.substr(dot + 1)) {
      if (ext.size() == 3) break;
      if (Valid83Char(c)) ext.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
  }
  std::string suffix(1, '~');
  suffix.append(std::to_string(n));
  std::string name = base.substr(0, 8 - std::min<size_t>(suffix.size(), 8));
  name.append(suffix);
  if (!ext.empty()) name.append(".").append(ext);
  return name;
}

bool StatEntry(int folderFd, const std::string& name, HostEntry& entry) {
  struct stat st{};
  if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    entry.folder = true;
  } else if (!S_ISREG(st.st_mode)) {
    return false;  // links, devices, sockets: never presented
  }
  entry.readOnly = (st.st_mode & S_IWUSR) == 0;
  entry.size = entry.folder ? 0 : static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), 0xFFFFFFFFu));
  entry.mtime = st.st_mtim.tv_sec;
  return true;
}

}  // namespace

bool IsValid83(std::string_view name) {
  const size_t dot = name.find('.');
  const std::string_view stem = name.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (stem.empty() || stem.size() > 8) return false;
  if (dot != std::string_view::npos && (ext.empty() || ext.size() > 3)) return false;
  return std::all_of(stem.begin(), stem.end(), Valid83Char) && std::all_of(ext.begin(), ext.end(), Valid83Char);
}

bool ListHostFolder(int folderFd, Presentation presentation, std::vector<HostEntry>& entries) {
  entries.clear();
  std::vector<std::string> names;
  if (!FolderNamesAt(folderFd, names)) return false;
  // Hidden names (temporaries among them) are never shown.
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == '.'; }), names.end());
  std::sort(names.begin(), names.end());
  std::set<std::string> used;
  std::vector<HostEntry> aliased;
  for (const std::string& name : names) {
    HostEntry e;
    e.host = name;
    if (!StatEntry(folderFd, name, e)) continue;
    if (presentation == Presentation::Namespace) {
      if (name.size() > storage::kMaxPathLength) continue;
      e.presented = name;
      entries.push_back(std::move(e));
      continue;
    }
    const std::string upper = Upper(name);
    if (IsValid83(name) && used.insert(upper).second) {
      e.presented = upper;
      entries.push_back(std::move(e));
    } else {
      aliased.push_back(std::move(e));
    }
  }
  for (HostEntry& e : aliased) {
    for (int n = 1; n < 1000000; ++n) {
      std::string alias = Alias(e.host, n);
      if (used.insert(alias).second) {
        e.presented = std::move(alias);
        break;
      }
    }
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const HostEntry& a, const HostEntry& b) { return a.presented < b.presented; });
  return true;
}

UniqueFd OpenResolvedFolder(const Resolved& resolved) {
  return resolved.leaf.empty() ? OpenFolderAt(resolved.parent.get(), "") : OpenFolderAt(resolved.parent.get(), resolved.leaf);
}

uint8_t ResolvePath(int baseFd, std::string_view path, Presentation presentation, bool allowMissingLeaf,
                    Resolved& out) {
  out = Resolved{};
  out.exists = true;
  out.folder = true;
  if (path.size() > storage::kMaxPathLength) return storage::kStatusInvalidParameter;
  UniqueFd current = OpenFolderAt(baseFd, "");
  if (!current.valid()) return storage::kStatusNotFound;
  std::string_view rest = path;
  if (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);  // "\DCIM\" names the folder
  if (rest.empty()) {
    out.presented.assign(1, '\\');
    out.parent = std::move(current);
    return storage::kStatusOk;
  }
  std::vector<HostEntry> listing;
  while (!rest.empty()) {
    const size_t bs = rest.find('\\');
    const std::string_view part = rest.substr(0, bs);
    rest = bs == std::string_view::npos ? std::string_view() : rest.substr(bs + 1);
    const bool last = bs == std::string_view::npos;
    // Hidden host names (".", "..", temporaries) are never camera names.
    if (part.empty() || part.front() == '.') return storage::kStatusInvalidParameter;
    for (char c : part) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7F || std::strchr("/:*?\"<>|", c) != nullptr) return storage::kStatusInvalidParameter;
    }
    if (presentation == Presentation::Media && !IsValid83(part) && part.find('~') == std::string_view::npos) {
      return storage::kStatusInvalidParameter;
    }
    if (!out.exists || !out.folder) return storage::kStatusNotAFolder;  // a path through a file
    if (!out.leaf.empty()) {
      // Into the folder found last, never through a link put there meanwhile.
      current = OpenFolderAt(current.get(), out.leaf);
      if (!current.valid()) return storage::kStatusNotFound;
    }
    // Fast path: a host name the camera shows unchanged (an upper-case 8.3
    // name on media always is; the namespace shows names as they are).
    HostEntry direct;
    const HostEntry* found = nullptr;
    direct.host = presentation == Presentation::Media ? Upper(part) : std::string(part);
    if (StatEntry(current.get(), direct.host, direct)) {
      direct.presented = direct.host;
      found = &direct;
    } else {
      if (!ListHostFolder(current.get(), presentation, listing)) return storage::kStatusNotFound;
      for (const HostEntry& e : listing) {
        if (EqualNoCase(e.presented, part)) {
          found = &e;
          break;
        }
      }
    }
    if (found == nullptr) {
      if (!last || !allowMissingLeaf) return storage::kStatusNotFound;
      if (presentation == Presentation::Media && !IsValid83(part)) return storage::kStatusInvalidParameter;
      const std::string name = presentation == Presentation::Media ? Upper(part) : std::string(part);
      // Something the camera does not show (a link, a device) holds the name:
      // never replaced, never written through.
      struct stat st{};
      if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return storage::kStatusExists;
      out.leaf = name;
      out.presented.append("\\").append(name);
      out.exists = false;
      out.folder = false;
      out.readOnly = false;
      out.size = 0;
      out.parent = std::move(current);
      return storage::kStatusOk;
    }
    out.leaf = found->host;
    out.presented.append("\\").append(found->presented);
    out.folder = found->folder;
    out.readOnly = found->readOnly;
    out.size = found->size;
  }
  out.parent = std::move(current);
  return storage::kStatusOk;
}

}  // namespace vcam::detail

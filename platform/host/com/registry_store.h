// The host registry store: a file-backed stand-in for the Windows registry,
// kept in the text format of a registry export ("Windows Registry Editor
// Version 5.00", [HKEY_...\key] sections, "name"="value" lines, UTF-8).
//
// Key and value names are case-insensitive (ASCII letters) and keep the case
// they were created with. Key paths use '\' separators and are relative to a
// root; an empty path is the root itself.
//
// Several processes may share one file: every change is a read-modify-write
// under an exclusive flock on the sibling file "<file>.lock", written to a
// temporary file in the same folder, flushed and renamed over the old one.
// Readers take a shared lock. A file that does not parse is never replaced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hostcom.h"

#define HOSTCOM_CXX_API __attribute__((visibility("default")))

namespace hostcom {

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine };

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE".
HOSTCOM_CXX_API const char* RegRootName(RegRoot root);

struct HOSTCOM_CXX_API RegValue {
  // String is REG_SZ, Dword is REG_DWORD. Raw keeps any other export form
  // ("hex:...", "hex(2):...") verbatim so that foreign entries survive a rewrite.
  enum class Kind { String, Dword, Raw };

  Kind kind = Kind::String;
  std::string text;  // UTF-8 string (String) or the data after '=' (Raw)
  uint32_t dword = 0;

  static RegValue String(std::string s) { return {Kind::String, std::move(s), 0}; }
  static RegValue Dword(uint32_t v) { return {Kind::Dword, {}, v}; }
  static RegValue Raw(std::string data) { return {Kind::Raw, std::move(data), 0}; }
  bool operator==(const RegValue&) const = default;
};

// ASCII case-insensitive ordering of key and value names.
struct HOSTCOM_CXX_API RegNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
HOSTCOM_CXX_API bool RegNameEqual(std::string_view a, std::string_view b);

// One key of the in-memory tree.
class HOSTCOM_CXX_API RegKey {
 public:
  explicit RegKey(std::string name) : name_(std::move(name)) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  const std::string& Name() const { return name_; }

  // Values in the order they were first set; "" is the default value.
  const std::vector<std::pair<std::string, RegValue>>& Values() const { return values_; }
  const RegValue* FindValue(std::string_view name) const;
  void SetValue(std::string_view name, RegValue value);
  bool DeleteValue(std::string_view name);

  // Subkeys, ordered case-insensitively by name.
  const std::map<std::string, std::unique_ptr<RegKey>, RegNameLess>& Subkeys() const { return subkeys_; }
  RegKey* FindSubkey(std::string_view name);
  const RegKey* FindSubkey(std::string_view name) const;
  // Returns the existing subkey (keeping its case) or a new one.
  RegKey& CreateSubkey(std::string_view name);
  bool DeleteSubkey(std::string_view name);
  void ClearValues() {
    values_.clear();
    valueIndex_.clear();
  }

 private:
  std::string name_;
  std::vector<std::pair<std::string, RegValue>> values_;
  // Position of each value in values_ by name, so that loading a key with many
  // values stays linear.
  std::map<std::string, size_t, RegNameLess> valueIndex_;
  std::map<std::string, std::unique_ptr<RegKey>, RegNameLess> subkeys_;
};

// Outcome of a store operation. Code Ok is success; message says what failed
// and where (file and line for a malformed file).
struct HOSTCOM_CXX_API RegStatus {
  enum class Code { Ok, NotFound, InvalidArgument, WrongType, Malformed, IoError, Aborted };

  Code code = Code::Ok;
  std::string message;

  static RegStatus Ok() { return {}; }
  bool ok() const { return code == Code::Ok; }
  explicit operator bool() const { return ok(); }
  // S_OK, HRESULT_FROM_WIN32 of ERROR_FILE_NOT_FOUND, E_INVALIDARG,
  // ERROR_UNSUPPORTED_TYPE, ERROR_BADDB, ERROR_REGISTRY_IO_FAILED, E_ABORT.
  HRESULT ToHresult() const;
};

// The whole content of a registry file.
class HOSTCOM_CXX_API RegTree {
 public:
  RegTree();
  RegTree(const RegTree&) = delete;
  RegTree& operator=(const RegTree&) = delete;
  RegTree(RegTree&&) noexcept;
  RegTree& operator=(RegTree&&) noexcept;
  ~RegTree();

  RegKey& Root(RegRoot root);
  const RegKey& Root(RegRoot root) const;

  // Key paths: '\'-separated names, none empty, at most 512 of them; "" is the root.
  const RegKey* FindKey(RegRoot root, std::string_view path) const;
  RegKey* FindKey(RegRoot root, std::string_view path);
  // Creates the key and its parents; InvalidArgument for a bad path.
  RegStatus CreateKey(RegRoot root, std::string_view path, RegKey** created = nullptr);
  // Deletes the key with all subkeys and values; Ok when it did not exist.
  // The root itself cannot be deleted (InvalidArgument).
  RegStatus DeleteTree(RegRoot root, std::string_view path);
  // Creates the key if needed and sets the value.
  RegStatus SetValue(RegRoot root, std::string_view path, std::string_view name, RegValue value);
  RegStatus SetString(RegRoot root, std::string_view path, std::string_view name, std::string_view value);
  RegStatus SetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t value);
  // NotFound when the key or value is missing.
  RegStatus DeleteValue(RegRoot root, std::string_view path, std::string_view name);
  std::optional<RegValue> GetValue(RegRoot root, std::string_view path, std::string_view name) const;
  // NotFound when missing, WrongType when the value is not a string.
  RegStatus GetString(RegRoot root, std::string_view path, std::string_view name, std::string& value) const;

  // Parses export text; on failure `out` is left unchanged. `source` names the
  // text in error messages.
  static RegStatus Parse(std::string_view text, RegTree& out, std::string_view source = "registry text");
  // Export text: header, then one section per key in depth-first order.
  std::string Serialize() const;

 private:
  std::unique_ptr<RegKey> roots_[3];
};

// The home directory: $HOME when it is an absolute path, else the account's
// home directory from the user database; empty when neither is known.
HOSTCOM_CXX_API std::filesystem::path HomeDirectory();

// Which file registration writes go to, for the whole process: the user's own
// file (the default) or the machine file (regsvr --machine).
enum class RegScope { User, Machine };
HOSTCOM_CXX_API void SetRegistrationScope(RegScope scope);
HOSTCOM_CXX_API RegScope RegistrationScope();

// A registry file with its locking rules. The file (and its lock file) must be
// a regular file: it is opened without following links and without blocking,
// so a link or a FIFO in its place is an error, never a hang.
class HOSTCOM_CXX_API RegistryStore {
 public:
  explicit RegistryStore(std::filesystem::path file);

  // $HOSTCOM_REGISTRY, else $XDG_DATA_HOME/hostcom/registry.reg, else
  // ~/.local/share/hostcom/registry.reg. Relative XDG_DATA_HOME and HOME values
  // are ignored; without HOME the account's home directory is asked of the
  // system. Empty when there is no home directory at all: every operation of
  // such a store then fails with a message that says so.
  static std::filesystem::path DefaultPath();
  static RegistryStore Default() { return RegistryStore(DefaultPath()); }

  // The machine file, the HKEY_LOCAL_MACHINE hive shared by every user:
  // $HOSTCOM_MACHINE_REGISTRY, else the path built in (/var/lib/hostcom/registry.reg).
  // Every user's process loads the servers it names, so it is trusted only
  // when it and its folder are owned by root (or by the caller itself, who
  // could name the same servers in its own file) and writable by nobody else;
  // any other file is refused, for reading and for writing.
  static std::filesystem::path MachinePath();
  static RegistryStore Machine();
  bool IsMachine() const { return machine_; }

  const std::filesystem::path& File() const { return file_; }

  // Reads the file under a shared lock. A missing file is an empty registry.
  RegStatus Read(RegTree& out) const;

  // One transaction: reads the file under an exclusive lock, lets `edit`
  // change the tree and, if it returns Ok and the text changed, replaces the
  // file atomically before the lock is released. An edit that fails (or
  // throws) writes nothing and its status is returned.
  RegStatus Transact(const std::function<RegStatus(RegTree&)>& edit);

  // Single-change conveniences, each one transaction.
  RegStatus CreateKey(RegRoot root, std::string_view path);
  RegStatus SetString(RegRoot root, std::string_view path, std::string_view name, std::string_view value);
  RegStatus SetDword(RegRoot root, std::string_view path, std::string_view name, uint32_t value);
  RegStatus DeleteValue(RegRoot root, std::string_view path, std::string_view name);
  RegStatus DeleteTree(RegRoot root, std::string_view path);
  // Reads, each one shared-locked read of the file.
  RegStatus GetString(RegRoot root, std::string_view path, std::string_view name, std::string& value) const;
  RegStatus KeyExists(RegRoot root, std::string_view path, bool& exists) const;

 private:
  RegStatus CheckFolderTrusted() const;

  std::filesystem::path file_;
  bool machine_ = false;
};

// The registry as a process sees it. HKEY_CLASSES_ROOT is the user's classes
// (the HKEY_CLASSES_ROOT sections of the user's file) over the machine's
// (HKEY_LOCAL_MACHINE\Software\Classes of the machine file); HKEY_LOCAL_MACHINE
// is the user's file's own keys (the virtual camcorder's device keys) over the
// machine's; HKEY_CURRENT_USER is the user's file alone. Over means key by key:
// a key present in the user's file brings its own values, subkeys of both are
// listed. A machine file that is missing counts as empty; one that cannot be
// read, does not parse or is not trusted is left out and the reason added to
// `warnings` (and, when `warnings` is null, printed once per process on
// stderr). An error reading the user's file is returned.
HOSTCOM_CXX_API RegStatus ReadRegistryView(RegTree& out, std::vector<std::string>* warnings = nullptr);

// Where a key of the registry as the process sees it lives in the machine
// file: HKEY_CLASSES_ROOT\X is HKEY_LOCAL_MACHINE\Software\Classes\X.
// False for HKEY_CURRENT_USER, which the machine file does not hold.
HOSTCOM_CXX_API bool MachineLocation(RegRoot root, std::string_view path, RegRoot& machineRoot,
                                     std::string& machinePath);

}  // namespace hostcom

#include "tools/presetctl/presetctl_commands.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string_view>

#include "app/access/camera_operations.h"
#include "app/file/preset_file.h"
#include "app/model/preset_model.h"
#include "camctl/common/results.h"

namespace presets::cli {

namespace {

constexpr std::string_view kUsage =
    "usage: presetctl COMMAND [ARGS] [--help]\n"
    "Reads and writes the picture presets of the one connected camera.\n"
    "\n"
    "  cameras [--json]              the cameras found: identifier, model, device path\n"
    "  slots [--json]                each preset slot's name and lock state\n"
    "  read N [-o FILE]              slot N as a preset settings file (.DQX; standard output without -o)\n"
    "  write N FILE                  a .DQX file's settings and name into slot N\n"
    "  clear N                       clear slot N\n"
    "  lock N | unlock N             protect slot N against writing, or lift the protection\n"
    "  export N FILE [--force]       the camera's own preset file of slot N, byte for byte\n"
    "  import N FILE                 a camera preset file into slot N\n"
    "  defaults [-o FILE]            the default settings as a .DQX file\n"
    "\n"
    "Slots are 1 to 3. Exit status: 0 success, 1 failure (one line names the result), 2 bad usage.\n";

struct CommandInfo {
  std::string_view usage;  // arguments after the command name
  std::string_view help;
};

const std::map<std::string_view, CommandInfo>& Commands() {
  static const std::map<std::string_view, CommandInfo> commands = {
      {"cameras", {"[--json]", "Lists the cameras the camera control library finds."}},
      {"slots", {"[--json]", "Lists slots 1 to 3 of the one connected camera: name and lock state."}},
      {"read", {"N [-o FILE]", "Reads slot N and writes it as a .DQX file to FILE or to standard output."}},
      {"write", {"N FILE", "Loads the .DQX file (missing keys keep their defaults) and writes it into slot N.\n"
                           "A file over 64 KB, a file without a single setting, a bad value or a preset name\n"
                           "with a control character is refused, and so is a locked slot, before anything\n"
                           "is written."}},
      {"clear", {"N", "Clears slot N."}},
      {"lock", {"N", "Protects slot N against writing and clearing."}},
      {"unlock", {"N", "Lifts the protection of slot N."}},
      {"export", {"N FILE [--force]", "Copies the camera's preset file of slot N to FILE; --force overwrites."}},
      {"import", {"N FILE", "Copies a camera preset file into slot N."}},
      {"defaults", {"[-o FILE]", "Writes the default settings as a .DQX file to FILE or to standard output."}},
  };
  return commands;
}

class StreamFeedback final : public OperationFeedback {
 public:
  explicit StreamFeedback(std::ostream& err) : err_(err) {}
  void ShowMessage(std::string_view text) override {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    err_ << "presetctl: " << text << '\n';
  }
  void SetBusy(bool) override {}

 private:
  std::ostream& err_;
};

std::string Utf8(platform::ComStringView text) { return platform::ComToUtf8(text); }

// Words of the command line in messages: one line, and not much of it.
std::string Echo(std::string_view word) { return camctl::InputExcerpt(word); }
std::string EchoPath(std::string_view path) { return camctl::InputExcerpt(path, 260); }

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The parsed words of one command: positional arguments, flags, -o's value.
struct Arguments {
  std::vector<std::string> positional;
  bool json = false;
  bool force = false;
  bool help = false;
  std::string output;
};

class Command {
 public:
  Command(std::string_view name, CameraObjectFactory factory, PresetStateWait wait, std::ostream& out,
          std::ostream& err)
      : name_(name), access_(std::move(factory), std::move(wait)), feedback_(err), out_(out), err_(err) {}

  int Usage(std::string_view problem) {
    err_ << "presetctl: " << problem << "\nusage: presetctl " << name_ << ' ' << Commands().at(name_).usage
         << '\n';
    return kExitUsage;
  }

  // Slot N from its text: 1 to 3.
  bool Slot(const std::string& text, int& slot) {
    if (text.size() != 1 || text[0] < '0' + kFirstSlot || text[0] > '0' + kLastSlot) return false;
    slot = text[0] - '0';
    return true;
  }

  int Result(const OperationResult& result) { return result.ok() ? kExitOk : kExitFailure; }

  int Fail(std::string_view message) {
    err_ << "presetctl: " << message << '\n';
    return kExitFailure;
  }

  // The .DQX text to standard output or to a file.
  int Emit(const EditorValues& values, const std::string& output) {
    std::string error;
    if (!output.empty()) return SavePresetToFile(output, values, error) ? kExitOk : Fail(error);
    std::string bytes;
    if (!FormatPresetFile(values, bytes, error)) return Fail(error);
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out_.flush();
    return out_ ? kExitOk : Fail("cannot write to standard output");
  }

  int Cameras(bool json) {
    LONG count = 0;
    const HRESULT hr = access_.EnumerateCameras(count);
    if (FAILED(hr)) {
      return Result(
          Failure(feedback_, "Listing cameras", access_.HasObject() ? "EnumerateDevice" : "creating the object", hr));
    }
    std::string text = json ? "[" : "";
    const auto& list = access_.DeviceList();
    for (LONG i = 0; i < count && static_cast<size_t>(i) < list.size(); ++i) {
      CameraDescription description;
      const HRESULT info = access_.DescribeCamera(list[static_cast<size_t>(i)], description);
      if (FAILED(info)) return Result(Failure(feedback_, "Listing cameras", "GetDeviceInfo", info));
      const std::string id = Utf8(list[static_cast<size_t>(i)]);
      const std::string model = Utf8(description.modelName);
      const std::string path = Utf8(description.devicePath);
      if (json) {
        text += std::string(i ? "," : "") + "\n  {\"identifier\": " + JsonString(id) +
                ", \"model\": " + JsonString(model) + ", \"devicePath\": " + JsonString(path) + "}";
      } else {
        text += id + "\n  model:       " + (model.empty() ? "(unknown)" : model) + "\n  device path: " + path + "\n";
      }
    }
    if (json) text += count ? "\n]\n" : "]\n";
    if (!json && count == 0) text = "No camera found.\n";
    out_ << text;
    return kExitOk;
  }

  int Slots(bool json) {
    const OperationResult connected = ConnectCamera(access_, feedback_, "Listing slots");
    if (!connected.connected) return kExitFailure;
    std::string text = json ? "[" : "";
    for (int slot = kFirstSlot; slot <= kLastSlot; ++slot) {
      platform::ComString name;
      HRESULT hr = access_.QueryPresetName(slot, name);
      if (FAILED(hr))
        return Result(Failure(feedback_, "Listing slots", "GetPresetName(" + std::to_string(slot) + ")", hr));
      LONG permission = 0;
      hr = access_.QueryAccessPermission(slot, permission);
      if (FAILED(hr))
        return Result(Failure(feedback_, "Listing slots", "GetAccessPermission(" + std::to_string(slot) + ")", hr));
      const std::string state = permission == kLocked     ? "locked"
                                : permission == kUnlocked ? "unlocked"
                                                          : "permission " + std::to_string(permission);
      if (json) {
        text += std::string(slot > kFirstSlot ? "," : "") + "\n  {\"slot\": " + std::to_string(slot) +
                ", \"name\": " + JsonString(Utf8(name)) + ", \"locked\": " +
                (permission == kLocked ? "true" : "false") + ", \"permission\": " + std::to_string(permission) +
                "}";
      } else {
        text += std::to_string(slot) + "  " + JsonString(Utf8(name)) + "  " + state + "\n";
      }
    }
    access_.RemoveCamera();
    out_ << text << (json ? "\n]\n" : "");
    return kExitOk;
  }

  int Run(const Arguments& a) {
    // One command, one hold on the camera: "write" asks the slot's permission
    // and sets the preset without another program's operation in between.
    CameraAccess::OperationScope hold(access_);
    int slot = 0;
    auto needs = [&](size_t count) { return a.positional.size() == count; };
    if (name_ == "cameras" || name_ == "slots" || name_ == "defaults") {
      if (!needs(0)) return Usage("unexpected argument \"" + Echo(a.positional[0]) + "\"");
      if (name_ == "cameras") return Cameras(a.json);
      if (name_ == "slots") return Slots(a.json);
      return Emit(DefaultValues(), a.output);
    }
    const size_t expected = name_ == "write" || name_ == "export" || name_ == "import" ? 2 : 1;
    if (!needs(expected)) return Usage(expected == 2 ? "a slot and a file are needed" : "a slot is needed");
    if (!Slot(a.positional[0], slot)) return Usage("the slot must be 1, 2 or 3, not \"" + Echo(a.positional[0]) + "\"");

    if (name_ == "read") {
      EditorValues values = DefaultValues();
      if (!ReadPreset(access_, feedback_, slot, values).ok()) return kExitFailure;
      return Emit(values, a.output);
    }
    if (name_ == "write") {
      EditorValues values = DefaultValues();
      std::string error;
      if (!LoadPresetFromFile(a.positional[1], values, error)) return Fail(EchoPath(a.positional[1]) + ": " + error);
      // Set Preset writes the fifteen settings to the camera before the
      // camera refuses to store them in a locked slot: ask first, as the
      // window does before it offers Set.
      LONG permission = kUnlocked;
      if (!QueryPermission(access_, feedback_, slot, permission).ok()) return kExitFailure;
      if (permission == kLocked) {
        access_.RemoveCamera();
        return Fail("Set Preset: slot " + std::to_string(slot) + " is locked; unlock it first (presetctl unlock " +
                    std::to_string(slot) + ")");
      }
      return Result(SetPreset(access_, feedback_, slot, values));
    }
    if (name_ == "clear") {
      EditorValues values = DefaultValues();
      return Result(ClearPreset(access_, feedback_, slot, values));
    }
    if (name_ == "lock" || name_ == "unlock") return Result(ApplyLock(access_, feedback_, slot, name_ == "lock"));

    // export / import: the library copies the camera's own file.
    const std::string operation = name_ == "export" ? "Export Preset" : "Import Preset";
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::absolute(a.positional[1], ec);
    if (ec) return Usage("cannot make \"" + EchoPath(a.positional[1]) + "\" an absolute path");
    const OperationResult connected = ConnectCamera(access_, feedback_, operation);
    if (!connected.connected) return kExitFailure;
    const std::u8string utf8 = file.u8string();
    const platform::ComString path =
        platform::Utf8ToCom(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
    const HRESULT hr = name_ == "export" ? access_.ExportPresetFile(slot, path, a.force)
                                         : access_.ImportPresetFile(slot, path);
    if (FAILED(hr))
      return Result(Failure(feedback_, operation,
                            (name_ == "export" ? "ExportPreset(" : "ImportPreset(") + std::to_string(slot) + ")", hr));
    access_.RemoveCamera();
    return kExitOk;
  }

 private:
  std::string name_;
  CameraAccess access_;
  StreamFeedback feedback_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

int Run(const std::vector<std::string>& args, CameraObjectFactory factory, std::ostream& out, std::ostream& err,
        PresetStateWait wait) {
  if (args.empty()) {
    err << kUsage;
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    out << kUsage;
    return kExitOk;
  }
  const auto found = Commands().find(args[0]);
  if (found == Commands().end()) {
    err << "presetctl: unknown command \"" << Echo(args[0]) << "\"\n" << kUsage;
    return kExitUsage;
  }
  const std::string_view name = found->first;
  Command command(name, std::move(factory), std::move(wait), out, err);

  Arguments a;
  const bool takesJson = name == "cameras" || name == "slots";
  const bool takesOutput = name == "read" || name == "defaults";
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--help" || word == "-h") {
      a.help = true;
    } else if (word == "--json" && takesJson) {
      a.json = true;
    } else if (word == "--force" && name == "export") {
      a.force = true;
    } else if ((word == "-o" || word == "--output") && takesOutput) {
      if (i + 1 >= args.size()) return command.Usage("-o needs a file");
      a.output = args[++i];
    } else if (word.size() > 1 && word[0] == '-') {
      return command.Usage("unknown option \"" + Echo(word) + "\"");
    } else {
      a.positional.push_back(word);
    }
  }
  if (a.help) {
    out << "usage: presetctl " << name << ' ' << found->second.usage << '\n' << found->second.help << '\n';
    return kExitOk;
  }
  return command.Run(a);
}

}  // namespace presets::cli

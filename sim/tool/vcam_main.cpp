// vcam: creates, lists, shows, plugs and unplugs virtual camcorders, sets
// their registers and modes, scripts faults, prints the trace and holds the
// camera mutex for tests. Exit codes: 0 success, 1 failure, 2 bad usage.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/named_mutex.h"
#include "vcam/vcam.h"

namespace {

// The camera mutex every channel of every process shares.
constexpr char kCameraMutexName[] = "08D77B9B-8328-4afe-8D64-4B69E5FFFA17";

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const std::map<std::string, std::string>& HelpTexts() {
  static const std::map<std::string, std::string> texts = {
      {"", "usage: vcam [--root DIR] COMMAND [ARGS]\n"
           "Virtual camcorders live in $VCAM_HOME (else $XDG_STATE_HOME/vcam, else ~/.local/state/vcam).\n"
           "commands:\n"
           "  create NAME [options]     make a camera\n"
           "  list                      list the cameras\n"
           "  show NAME                 identity, state, slots, media, faults\n"
           "  delete NAME               remove a camera and its files\n"
           "  plug NAME | unplug NAME   connect or disconnect a camera\n"
           "  set NAME KEY VALUE...     change a register, mode or setting\n"
           "  fault NAME add|clear|list script misbehaviour\n"
           "  trace NAME print|clear    the exchanges on the wire\n"
           "  reset NAME                factory registers, modes, slots; faults cleared\n"
           "  hold-mutex --ms N         hold the camera mutex N milliseconds\n"
           "Every command takes --help. Exit codes: 0 success, 1 failure, 2 bad usage.\n"},
      {"create", "usage: vcam create NAME [--model M] [--slots N] [--media V[:BYTES],...] [--empty]\n"
                 "                   [--unsupported] [--friendly-name TEXT] [--unique-id HEX16]\n"
                 "  --model M        model word of the device path (default KV7)\n"
                 "  --slots N        preset slots 0..99 (default 3); files Preset00..PresetNN\n"
                 "  --media LIST     volumes per medium and optional size, e.g. 1 or 2,1:1000000\n"
                 "  --empty          no sample pictures on the media\n"
                 "  --unsupported    answer the identification query as an unsupported device\n"},
      {"list", "usage: vcam list\n  one line per camera: name, plugged or unplugged, model, device path\n"},
      {"show", "usage: vcam show NAME\n"},
      {"delete", "usage: vcam delete NAME\n"},
      {"plug", "usage: vcam plug NAME\n"},
      {"unplug", "usage: vcam unplug NAME\n  the camera disappears from the device lists; exchanges answer 1617\n"},
      {"set", "usage: vcam set NAME KEY VALUE...\n"
              "keys:\n"
              "  register CODE VALUE        value of a command set 0x0001 code (e.g. register 0x41 8)\n"
              "  mode camera|vcr            camera or VCR mode\n"
              "  emergency N | evf N | colour-bars N | storage-mode N\n"
              "  permission SLOT N          access permission of a slot (1 protects it)\n"
              "  busy-ms N                  busy window after a preset-changing command\n"
              "  range CODE MIN MAX DEFAULT answer of the range query (and write limits)\n"
              "  slot-count-answer N        CountEntries of \\dev\\campset answers N (0: the files)\n"
              "  implemented CODE on|off    whether a command set 0x0001 code is implemented\n"
              "  supported on|off           identification query answer\n"
              "  video on|off               whether the camera gives a picture (off: no preview)\n"
              "  chunk-size N | chunk-wait on|off | chunk-wait-ms N   long transfers in chunks\n"
              "  trace-max N                trace size before it rotates\n"
              "  medium M present|absent|exchange|protect|unprotect\n"},
      {"fault", "usage: vcam fault NAME add KIND [ARGS] [--times N] | vcam fault NAME clear | vcam fault NAME list\n"
                "kinds:\n"
                "  avc-result R [--set S --code C | --general ADDR --opcode OP] [--ctype T]\n"
                "                           AV/C exchanges answer R (1460, 71, 50, 1617, 1235 ...)\n"
                "  storage-status S [--opcode OP]   storage frames answer status byte S\n"
                "  transport-busy [--channel avc|storage|both]   exchanges fail with ERROR_BUSY\n"
                "  over-deliver N           ReadFile reports N bytes more than delivered\n"
                "  thumb-overlength N       ReadThumbnail reports N bytes more than delivered\n"
                "  unplug-after N           the camera unplugs after N more exchanges\n"
                "--times N applies the fault to the next N matching exchanges (default: until cleared)\n"},
      {"trace", "usage: vcam trace NAME print [--tail N] | vcam trace NAME clear\n"
                "  line: TIME CAMERA CHANNEL FRAME-HEX RESPONSE-HEX RESULT\n"},
      {"reset", "usage: vcam reset NAME\n"},
      {"hold-mutex", "usage: vcam hold-mutex --ms N\n"
                     "  takes the camera mutex, prints \"held\", keeps it N ms, releases it\n"},
  };
  return texts;
}

uint32_t Number(const std::string& text, uint32_t max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max) {
    throw Usage(std::string("bad ") + what + " '" + text + "' (0 to " + std::to_string(max) + ")");
  }
  return static_cast<uint32_t>(v);
}

int32_t SignedNumber(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
    throw Usage(std::string("bad ") + what + " '" + text + "'");
  }
  return static_cast<int32_t>(v);
}

bool OnOff(const std::string& text) {
  if (text == "on" || text == "1" || text == "yes") return true;
  if (text == "off" || text == "0" || text == "no") return false;
  throw Usage("expected on or off, got '" + text + "'");
}

class Args {
 public:
  Args(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Empty() const { return pos_ >= args_.size(); }
  std::string Next(const char* what) {
    if (Empty()) throw Usage(std::string("missing ") + what);
    return args_[pos_++];
  }
  // Removes "--name VALUE" wherever it stands after the current position.
  std::optional<std::string> Option(const std::string& name) {
    for (size_t i = pos_; i < args_.size(); ++i) {
      if (args_[i] == name) {
        if (i + 1 >= args_.size()) throw Usage("missing value of " + name);
        std::string v = args_[i + 1];
        args_.erase(args_.begin() + static_cast<long>(i), args_.begin() + static_cast<long>(i) + 2);
        return v;
      }
    }
    return std::nullopt;
  }
  bool Flag(const std::string& name) {
    for (size_t i = pos_; i < args_.size(); ++i) {
      if (args_[i] == name) {
        args_.erase(args_.begin() + static_cast<long>(i));
        return true;
      }
    }
    return false;
  }
  void End() {
    if (!Empty()) throw Usage("unexpected argument '" + args_[pos_] + "'");
  }

 private:
  std::vector<std::string> args_;
  size_t pos_ = 0;
};

std::filesystem::path g_root;

std::unique_ptr<vcam::Camera> OpenCamera(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) throw vcam::Error("no camera '" + name + "'");
  const std::filesystem::path dir = g_root / name;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(dir / "identity", ec))) {
    throw vcam::Error("no camera '" + name + "' in " + g_root.string());
  }
  return vcam::Camera::Open(dir);
}

std::string PresetName(const vcam::Camera& camera, uint8_t slot) {
  uint8_t bytes[10] = {};
  if (camera.ReadPresetFile(slot, bytes, sizeof bytes) < 10) return "?";
  std::string name;
  for (int i = 2; i < 10 && bytes[i] != '\0'; ++i) {
    name.push_back(std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '?');
  }
  return name;
}

std::string FaultText(const vcam::Fault& f) {
  char buf[200];
  const std::string times = f.times == vcam::kForever ? "until cleared" : std::to_string(f.times) + " more";
  switch (f.kind) {
    case vcam::FaultKind::AvcResult:
      std::snprintf(buf, sizeof buf, "avc-result %d frame=%s key=%s code=%s ctype=%s (%s)", f.value,
                    f.avcFrame == 1 ? "vendor" : f.avcFrame == 2 ? "general" : "any",
                    f.key == vcam::kAny ? "any" : std::to_string(f.key).c_str(),
                    f.code == vcam::kAny ? "any" : std::to_string(f.code).c_str(),
                    f.ctype == vcam::kAny ? "any" : std::to_string(f.ctype).c_str(), times.c_str());
      break;
    case vcam::FaultKind::StorageStatus:
      std::snprintf(buf, sizeof buf, "storage-status 0x%02X opcode=%s (%s)", static_cast<unsigned>(f.value) & 0xFF,
                    f.code == vcam::kAny ? "any" : std::to_string(f.code).c_str(), times.c_str());
      break;
    case vcam::FaultKind::TransportBusy:
      std::snprintf(buf, sizeof buf, "transport-busy channel=%s (%s)",
                    f.channel == 1 ? "avc" : f.channel == 2 ? "storage" : "both", times.c_str());
      break;
    case vcam::FaultKind::OverDeliver:
      std::snprintf(buf, sizeof buf, "%s %d (%s)", f.code == 0x08 ? "thumb-overlength" : "over-deliver", f.value,
                    times.c_str());
      break;
    case vcam::FaultKind::UnplugAfter:
      std::snprintf(buf, sizeof buf, "unplug-after (%s exchanges)", times.c_str());
      break;
    default:
      return "none";
  }
  return buf;
}

int Create(Args& a) {
  const std::string name = a.Next("camera name");
  vcam::CameraOptions o;
  if (auto v = a.Option("--model")) o.model = *v;
  if (auto v = a.Option("--slots")) o.slotCount = static_cast<uint8_t>(Number(*v, vcam::kMaxSlots, "slot count"));
  if (auto v = a.Option("--friendly-name")) o.friendlyName = *v;
  if (auto v = a.Option("--unique-id")) o.uniqueId = *v;
  if (auto v = a.Option("--media")) {
    o.media.clear();
    size_t start = 0;
    while (start <= v->size()) {
      const size_t comma = v->find(',', start);
      const std::string item = v->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      vcam::MediumOptions m;
      const size_t colon = item.find(':');
      m.volumes = static_cast<uint8_t>(Number(item.substr(0, colon), vcam::kMaxVolumes, "volume count"));
      if (colon != std::string::npos) m.totalBytes = Number(item.substr(colon + 1), 0xFFFFFFFFu, "medium size");
      o.media.push_back(m);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  o.sampleContent = !a.Flag("--empty");
  o.supported = !a.Flag("--unsupported");
  a.End();
  auto camera = vcam::CreateCamera(g_root, name, o);
  std::printf("created %s %s\n", name.c_str(), camera->identity().devicePath.c_str());
  return 0;
}

bool g_defaultRoot = false;

int List(Args& a) {
  a.End();
  // A newcomer's first look at the default root finds the default camera.
  const std::vector<std::string> names =
      g_defaultRoot ? vcam::ListCamerasCreatingDefault(g_root) : vcam::ListCameras(g_root);
  for (const std::string& name : names) {
    try {
      auto camera = vcam::Camera::Open(g_root / name);
      vcam::State s;
      const bool ok = camera->PeekState(s);
      std::printf("%s\t%s\t%s\t%s\n", name.c_str(), !ok ? "broken" : s.plugged ? "plugged" : "unplugged",
                  camera->identity().model.c_str(), camera->identity().devicePath.c_str());
    } catch (const vcam::Error& e) {
      std::printf("%s\tbroken\t-\t%s\n", name.c_str(), e.what());
    }
  }
  return 0;
}

int Show(Args& a) {
  auto camera = OpenCamera(a.Next("camera name"));
  a.End();
  const vcam::Identity& id = camera->identity();
  const vcam::State s = camera->ReadState();
  std::printf("name: %s\nfolder: %s\nfriendly name: %s\ndevice path: %s\npnp friendly name: %s\nmodel: %s\n"
              "unique id: %s\nimaging device id: %s\nDevSymLink: %s\n",
              id.name.c_str(), camera->dir().string().c_str(), id.friendlyName.c_str(), id.devicePath.c_str(),
              id.pnpFriendlyName.c_str(), id.model.c_str(), id.uniqueId.c_str(), id.imagingDeviceId.c_str(),
              id.devSymLink.c_str());
  std::printf("plugged: %s\nsupported: %s\nmode: %s\nemergency: %u\nevf: %u\ncolour bars: %u\nbusy-ms: %u\n"
              "storage mode: 0x%02X\nchunk-size: %u chunk-wait: %s chunk-wait-ms: %u\ntrace-max: %u\nvideo: %s\n",
              s.plugged ? "yes" : "no", s.supported ? "yes" : "no", s.mode == vcam::kModeCamera ? "camera" : "vcr",
              s.emergency, s.value[0x12][0], s.value[0x16][0], s.busyMs, s.storageMode, s.chunkSize,
              s.chunkWait ? "on" : "off", s.chunkWaitMs, s.traceMaxBytes, s.noVideo ? "off" : "on");
  std::printf("registers:");
  for (unsigned code = 0x40; code <= 0x50; ++code) {
    if (code == 0x42 || code == 0x43) continue;
    std::printf(" %02X=%u", code, s.value[code][0]);
  }
  std::printf("\nslots: %u (active %u)\n", s.slotCount, s.activeSlot);
  for (unsigned slot = 0; slot <= s.slotCount; ++slot) {
    std::printf("  %02u permission=%u name=\"%s\"\n", slot, s.permission[slot],
                PresetName(*camera, static_cast<uint8_t>(slot)).c_str());
  }
  for (unsigned m = 0; m < s.mediaCount; ++m) {
    const vcam::MediumState& md = s.media[m];
    std::printf("medium %u: %s volumes=%u identity=%u flags=0x%02X total=%u\n", m, md.present ? "present" : "absent",
                md.volumes, md.identity, md.flags, md.totalBytes);
  }
  for (const vcam::Fault& f : s.faults) {
    if (f.kind != vcam::FaultKind::None) std::printf("fault: %s\n", FaultText(f).c_str());
  }
  return 0;
}

int Set(Args& a) {
  auto camera = OpenCamera(a.Next("camera name"));
  const std::string key = a.Next("key");
  std::function<void(vcam::State&)> change;
  if (key == "register") {
    const uint8_t code = static_cast<uint8_t>(Number(a.Next("code"), 255, "code"));
    const uint8_t value = static_cast<uint8_t>(Number(a.Next("value"), 255, "value"));
    change = [=](vcam::State& s) { s.value[code][0] = value; };
  } else if (key == "mode") {
    const std::string m = a.Next("mode");
    if (m != "camera" && m != "vcr") throw Usage("mode is camera or vcr");
    change = [=](vcam::State& s) { s.mode = m == "camera" ? vcam::kModeCamera : vcam::kModeVcr; };
  } else if (key == "emergency" || key == "evf" || key == "colour-bars" || key == "storage-mode") {
    const uint8_t v = static_cast<uint8_t>(Number(a.Next("value"), 255, "value"));
    change = [=](vcam::State& s) {
      if (key == "emergency") s.emergency = v;
      else if (key == "evf") s.value[0x12][0] = v;
      else if (key == "colour-bars") s.value[0x16][0] = v;
      else s.storageMode = v;
    };
  } else if (key == "permission") {
    const uint8_t slot = static_cast<uint8_t>(Number(a.Next("slot"), vcam::kMaxSlots, "slot"));
    const uint8_t v = static_cast<uint8_t>(Number(a.Next("permission"), 255, "permission"));
    change = [=](vcam::State& s) {
      if (slot > s.slotCount) throw vcam::Error("no slot " + std::to_string(slot));
      s.permission[slot] = v;
    };
  } else if (key == "busy-ms" || key == "chunk-size" || key == "chunk-wait-ms" || key == "trace-max") {
    const uint32_t v = Number(a.Next("value"), 0x7FFFFFFF, "value");
    change = [=](vcam::State& s) {
      if (key == "busy-ms") s.busyMs = v;
      else if (key == "chunk-size") s.chunkSize = v;
      else if (key == "chunk-wait-ms") s.chunkWaitMs = v;
      else s.traceMaxBytes = std::max<uint32_t>(v, 1024);
    };
  } else if (key == "range") {
    const uint8_t code = static_cast<uint8_t>(Number(a.Next("code"), 255, "code"));
    const uint8_t min = static_cast<uint8_t>(Number(a.Next("minimum"), 255, "minimum"));
    const uint8_t max = static_cast<uint8_t>(Number(a.Next("maximum"), 255, "maximum"));
    const uint8_t def = static_cast<uint8_t>(Number(a.Next("default"), 255, "default"));
    if (min > max || def < min || def > max) throw Usage("range needs minimum <= default <= maximum");
    change = [=](vcam::State& s) { s.SetRange(code, min, max, def); };
  } else if (key == "slot-count-answer") {
    const uint16_t v = static_cast<uint16_t>(Number(a.Next("count"), 0xFFFF, "count"));
    change = [=](vcam::State& s) { s.slotCountAnswer = v; };
  } else if (key == "implemented") {
    const uint8_t code = static_cast<uint8_t>(Number(a.Next("code"), 255, "code"));
    const bool on = OnOff(a.Next("on|off"));
    change = [=](vcam::State& s) { s.SetImplemented(code, on); };
  } else if (key == "supported" || key == "chunk-wait" || key == "video") {
    const bool on = OnOff(a.Next("on|off"));
    change = [=](vcam::State& s) {
      if (key == "supported") s.supported = on;
      else if (key == "video") s.noVideo = !on;
      else s.chunkWait = on;
    };
  } else if (key == "medium") {
    const uint8_t m = static_cast<uint8_t>(Number(a.Next("medium"), vcam::kMaxMedia - 1, "medium"));
    const std::string what = a.Next("present|absent|exchange|protect|unprotect");
    if (what == "exchange") {
      a.End();
      camera->ExchangeMedium(m);
      return 0;
    }
    if (what != "present" && what != "absent" && what != "protect" && what != "unprotect") {
      throw Usage("medium takes present, absent, exchange, protect or unprotect");
    }
    change = [=](vcam::State& s) {
      if (m >= s.mediaCount) throw vcam::Error("no medium " + std::to_string(m));
      if (what == "present") s.media[m].present = 1;
      else if (what == "absent") s.media[m].present = 0;
      else if (what == "protect") s.media[m].flags |= 0x01;
      else s.media[m].flags = static_cast<uint8_t>(s.media[m].flags & ~0x03);
    };
  } else {
    throw Usage("unknown key '" + key + "'");
  }
  a.End();
  camera->Modify(change);
  return 0;
}

int FaultCommand(Args& a) {
  auto camera = OpenCamera(a.Next("camera name"));
  const std::string action = a.Next("add, clear or list");
  if (action == "clear") {
    a.End();
    camera->ClearFaults();
    return 0;
  }
  if (action == "list") {
    a.End();
    for (const vcam::Fault& f : camera->ReadState().faults) {
      if (f.kind != vcam::FaultKind::None) std::printf("%s\n", FaultText(f).c_str());
    }
    return 0;
  }
  if (action != "add") throw Usage("fault takes add, clear or list");
  vcam::Fault f;
  if (auto v = a.Option("--times")) f.times = Number(*v, 0xFFFFFFFEu, "times");
  if (f.times == 0) throw Usage("--times must be at least 1");
  const std::string kind = a.Next("fault kind");
  if (kind == "avc-result") {
    f.kind = vcam::FaultKind::AvcResult;
    f.value = SignedNumber(a.Next("result"), "result");
    if (auto v = a.Option("--set")) f.avcFrame = 1, f.key = static_cast<uint16_t>(Number(*v, 0xFFFE, "command set"));
    if (auto v = a.Option("--code")) {
      if (f.avcFrame == 0) f.avcFrame = 1;
      f.code = static_cast<uint16_t>(Number(*v, 255, "code"));
    }
    if (auto v = a.Option("--general")) f.avcFrame = 2, f.key = static_cast<uint16_t>(Number(*v, 255, "address"));
    if (auto v = a.Option("--opcode")) {
      if (f.avcFrame == 1) throw Usage("--opcode belongs to --general frames");
      f.avcFrame = 2;
      f.code = static_cast<uint16_t>(Number(*v, 255, "opcode"));
    }
    if (auto v = a.Option("--ctype")) f.ctype = static_cast<uint16_t>(Number(*v, 255, "ctype"));
  } else if (kind == "storage-status") {
    f.kind = vcam::FaultKind::StorageStatus;
    f.value = static_cast<int32_t>(Number(a.Next("status"), 255, "status"));
    if (auto v = a.Option("--opcode")) f.code = static_cast<uint16_t>(Number(*v, 255, "opcode"));
  } else if (kind == "transport-busy") {
    f.kind = vcam::FaultKind::TransportBusy;
    if (auto v = a.Option("--channel")) {
      if (*v == "avc") f.channel = 1;
      else if (*v == "storage") f.channel = 2;
      else if (*v != "both") throw Usage("--channel is avc, storage or both");
    }
  } else if (kind == "over-deliver" || kind == "thumb-overlength") {
    f.kind = vcam::FaultKind::OverDeliver;
    f.value = static_cast<int32_t>(Number(a.Next("extra bytes"), 0x7FFFFFFF, "extra bytes"));
    f.code = kind == "over-deliver" ? 0x09 : 0x08;
  } else if (kind == "unplug-after") {
    f.kind = vcam::FaultKind::UnplugAfter;
    f.times = Number(a.Next("exchanges"), 0xFFFFFFFEu, "exchanges");
    if (f.times == 0) throw Usage("unplug-after needs at least 1 exchange (use unplug)");
  } else {
    throw Usage("unknown fault kind '" + kind + "'");
  }
  a.End();
  camera->AddFault(f);
  return 0;
}

int TraceCommand(Args& a) {
  auto camera = OpenCamera(a.Next("camera name"));
  const std::string action = a.Next("print or clear");
  if (action == "clear") {
    a.End();
    camera->ClearTrace();
    return 0;
  }
  if (action != "print") throw Usage("trace takes print or clear");
  size_t tail = 0;
  if (auto v = a.Option("--tail")) tail = Number(*v, 0x7FFFFFFF, "line count");
  a.End();
  const std::vector<std::string> lines = camera->TraceLines();
  const size_t first = tail != 0 && lines.size() > tail ? lines.size() - tail : 0;
  for (size_t i = first; i < lines.size(); ++i) std::printf("%s\n", lines[i].c_str());
  return 0;
}

int HoldMutex(Args& a) {
  const auto ms = a.Option("--ms");
  if (!ms) throw Usage("missing --ms");
  const uint32_t duration = Number(*ms, 3600000, "milliseconds");
  a.End();
  auto mutex = platform::OpenNamedMutex(kCameraMutexName);
  if (mutex == nullptr) throw vcam::Error("cannot open the camera mutex");
  if (!platform::Owns(mutex->Lock(10000))) throw vcam::Error("camera mutex not obtained within 10 s");
  std::printf("held\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(duration));
  mutex->Unlock();
  return 0;
}

int Run(std::vector<std::string> argv) {
  Args a(argv);
  if (auto root = a.Option("--root")) {
    g_root = *root;
  } else {
    g_root = vcam::RootDir();
    g_defaultRoot = vcam::UsingDefaultRoot();
  }
  if (a.Empty()) throw Usage("missing command");
  const std::string command = a.Next("command");
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(HelpTexts().at("").c_str(), stdout);
    return 0;
  }
  const auto help = HelpTexts().find(command);
  if (help == HelpTexts().end()) throw Usage("unknown command '" + command + "'");
  if (a.Flag("--help") || a.Flag("-h")) {
    std::fputs(help->second.c_str(), stdout);
    return 0;
  }
  if (command == "create") return Create(a);
  if (command == "list") return List(a);
  if (command == "show") return Show(a);
  if (command == "delete") {
    const std::string name = a.Next("camera name");
    a.End();
    vcam::DeleteCamera(g_root, name);
    return 0;
  }
  if (command == "plug" || command == "unplug") {
    auto camera = OpenCamera(a.Next("camera name"));
    a.End();
    camera->SetPlugged(command == "plug");
    return 0;
  }
  if (command == "set") return Set(a);
  if (command == "fault") return FaultCommand(a);
  if (command == "trace") return TraceCommand(a);
  if (command == "reset") {
    auto camera = OpenCamera(a.Next("camera name"));
    a.End();
    camera->Reset();
    return 0;
  }
  return HoldMutex(a);
}

}  // namespace

static int RunAndReport(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Run(std::move(args));
  } catch (const Usage& e) {
    std::fprintf(stderr, "vcam: %s (see vcam --help)\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vcam: %s\n", e.what());
    return 1;
  }
}

int main(int argc, char** argv) { return platform::FinishStandardOutput("vcam", RunAndReport(argc, argv)); }

// Names of the temporary files of MappedOutputFile: ".LEAF.PID-RANDOM.part"
// beside the target, where PID is the creating process (decimal) and RANDOM
// eight letters and digits nobody can guess. The creator is what makes a
// leftover of a killed process safe to remove on the next use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace platform::partial_names {

inline constexpr size_t kRandomLength = 8;
inline constexpr size_t kMaxLeaf = 200;  // the name stays within the file systems' 255
inline constexpr char kSuffix[] = ".part";

template <typename Char>
std::basic_string<Char> Make(std::basic_string_view<Char> leaf, uint32_t pid) {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::basic_string<Char> name(1, Char('.'));
  name.append(leaf.substr(0, kMaxLeaf));
  name.push_back(Char('.'));
  for (char c : std::to_string(pid)) name.push_back(Char(c));
  name.push_back(Char('-'));
  for (size_t i = 0; i < kRandomLength; ++i) name.push_back(Char(kAlphabet[random() % (sizeof kAlphabet - 1)]));
  for (const char* s = kSuffix; *s != '\0'; ++s) name.push_back(Char(*s));
  return name;
}

// The creating process of a name of this form; 0 for any other name.
template <typename Char>
uint32_t Creator(std::basic_string_view<Char> name) {
  constexpr size_t suffix = sizeof kSuffix - 1;
  if (name.size() < 1 + 1 + 1 + 1 + 1 + kRandomLength + suffix || name[0] != Char('.')) return 0;
  for (size_t i = 0; i < suffix; ++i)
    if (name[name.size() - suffix + i] != Char(kSuffix[i])) return 0;
  size_t at = name.size() - suffix;
  for (size_t i = 0; i < kRandomLength; ++i) {
    const Char c = name[--at];
    if (!((c >= Char('a') && c <= Char('z')) || (c >= Char('0') && c <= Char('9')))) return 0;
  }
  if (name[--at] != Char('-')) return 0;
  uint64_t pid = 0;
  uint64_t scale = 1;
  size_t digits = 0;
  while (at > 0 && name[at - 1] >= Char('0') && name[at - 1] <= Char('9') && digits < 10) {
    pid += static_cast<uint64_t>(name[--at] - Char('0')) * scale;
    scale *= 10;
    ++digits;
  }
  // A dot before the number, and a leaf of at least one character before it.
  if (digits == 0 || pid == 0 || pid > 0xFFFFFFFFu || at < 2 || name[at - 1] != Char('.')) return 0;
  return static_cast<uint32_t>(pid);
}

}  // namespace platform::partial_names

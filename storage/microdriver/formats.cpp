#include "storage/microdriver/formats.h"

#include <cstring>

#include "storage/microdriver/torwen.h"

namespace torwen {

const GUID kFormatUndefined = {0xB96B3CA9, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
const GUID kFormatBmp = {0xB96B3CAB, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
const GUID kFormatJpeg = {0xB96B3CAE, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
const GUID kFormatGif = {0xB96B3CB0, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
const GUID kFormatTxt = {0xFAFD4D82, 0x723F, 0x421F, {0x93, 0x18, 0x30, 0x50, 0x1A, 0xC4, 0x4B, 0x59}};
const GUID kFormatRtf = {0x573DD6A3, 0x4834, 0x432D, {0xA9, 0xB5, 0xE1, 0x98, 0xDD, 0x9E, 0x89, 0x0D}};
const GUID kFormatHtml = {0xC99A4E62, 0x99DE, 0x4A94, {0xAC, 0xCA, 0x71, 0x95, 0x6A, 0xC2, 0x97, 0x7D}};
const GUID kFormatMpg = {0xECD757E4, 0xD2EC, 0x4F57, {0x95, 0x5D, 0xBC, 0xF8, 0xA9, 0x7C, 0x4E, 0x52}};
const GUID kFormatAsf = {0x8D948EE9, 0xD0AA, 0x4A12, {0x9D, 0x9A, 0x9C, 0xC5, 0xDE, 0x36, 0x19, 0x9B}};
const GUID kFormatAvi = {0x32F8CA14, 0x087C, 0x4908, {0xB7, 0xC4, 0x67, 0x57, 0xFE, 0x7E, 0x90, 0xAB}};
const GUID kFormatExec = {0x485DA097, 0x141E, 0x4AA5, {0xBB, 0x3B, 0xA5, 0x61, 0x8D, 0x95, 0xD0, 0x2B}};
const GUID kFormatWav = {0xF818E146, 0x07AF, 0x40FF, {0xAE, 0x55, 0xBE, 0x8F, 0x2C, 0x06, 0x5D, 0xBE}};
const GUID kFormatMp3 = {0x0FBC71FB, 0x43BF, 0x49F2, {0x91, 0x90, 0xE6, 0xFE, 0xCF, 0xF3, 0x7E, 0x54}};
const GUID kFormatWma = {0xD61D6413, 0x8BC2, 0x438F, {0x93, 0xAD, 0x21, 0xBD, 0x48, 0x4D, 0xB6, 0xA1}};

namespace {

struct Entry {
  const char* extension;
  FormatInfo info;
};

const Entry kTable[] = {
    {"txt", {&kFormatTxt, nullptr, 0, false, "TXT"}},
    {"bmp", {&kFormatBmp, &kFormatBmp, kMicroDrvImage, false, "BMP"}},
    {"jpg", {&kFormatJpeg, &kFormatJpeg, kMicroDrvImage, false, "JPEG"}},
    {"gif", {&kFormatGif, nullptr, kMicroDrvImage, false, "GIF"}},
    {"rtf", {&kFormatRtf, nullptr, 0, false, "RTF"}},
    {"htm", {&kFormatHtml, nullptr, 0, false, "HTML"}},
    {"mpg", {&kFormatMpg, &kFormatBmp, kMicroDrvVideo, false, "MPG"}},
    {"mp4", {&kFormatMpg, &kFormatBmp, kMicroDrvVideo, false, "MPG"}},
    {"asf", {&kFormatAsf, &kFormatBmp, kMicroDrvVideo, false, "ASF"}},
    {"avi", {&kFormatAvi, &kFormatBmp, kMicroDrvVideo, false, "AVI"}},
    {"exe", {&kFormatExec, nullptr, 0, false, "EXEC"}},
    {"wav", {&kFormatWav, nullptr, kMicroDrvAudio, false, "WAV"}},
    {"mp3", {&kFormatMp3, nullptr, kMicroDrvAudio, false, "MP3"}},
    {"wma", {&kFormatWma, nullptr, kMicroDrvAudio, false, "WMA"}},
};
const FormatInfo kUndefined{&kFormatUndefined, nullptr, 0, false, "UNDEFINED"};
const FormatInfo kThumbnail{&kFormatUndefined, nullptr, 0, true, "THM"};

bool EqualNoCase(std::string_view a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

const FormatInfo& FormatOf(std::string_view extension) {
  if (EqualNoCase(extension, "thm")) return kThumbnail;
  for (const Entry& e : kTable)
    if (EqualNoCase(extension, e.extension)) return e.info;
  return kUndefined;
}

const FormatInfo& FormatOf(const GUID* format) {
  if (format != nullptr)
    for (const Entry& e : kTable)
      if (std::memcmp(e.info.format, format, sizeof(GUID)) == 0) return e.info;
  return kUndefined;
}

}  // namespace torwen

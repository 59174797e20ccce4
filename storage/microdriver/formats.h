// The imaging service's format identifiers of the items, chosen by extension.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/com.h"

namespace torwen {

extern const GUID kFormatUndefined;
extern const GUID kFormatBmp;
extern const GUID kFormatJpeg;
extern const GUID kFormatGif;
extern const GUID kFormatTxt;
extern const GUID kFormatRtf;
extern const GUID kFormatHtml;
extern const GUID kFormatMpg;
extern const GUID kFormatAsf;
extern const GUID kFormatAvi;
extern const GUID kFormatExec;
extern const GUID kFormatWav;
extern const GUID kFormatMp3;
extern const GUID kFormatWma;

struct FormatInfo {
  const GUID* format;
  const GUID* thumbnailFormat;  // none: the item has no thumbnail
  uint32_t flags;               // item type flags added to a file's
  bool dropped;                 // a thumbnail file: no item of its own
  std::string_view name;        // a short name for people ("JPEG")
};

// The format of a file by its extension (without the dot, any letter case).
const FormatInfo& FormatOf(std::string_view extension);
// The format record of a format identifier (the undefined one when unknown).
const FormatInfo& FormatOf(const GUID* format);

}  // namespace torwen

// The microdriver loaded by its exports, as the imaging service loads it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/dynamic_library.h"
#include "storage/microdriver/torwen.h"

namespace camfiles {

struct TorwenApi {
  std::unique_ptr<platform::DynamicLibrary> library;
  decltype(&MicroDrvInit) Init = nullptr;
  decltype(&MicroDrvUnInit) UnInit = nullptr;
  decltype(&MicroDrvOpen) Open = nullptr;
  decltype(&MicroDrvClose) Close = nullptr;
  decltype(&MicroDrvGetDeviceInfo) GetDeviceInfo = nullptr;
  decltype(&MicroDrvFreeItemInfo) FreeItemInfo = nullptr;
  decltype(&MicroDrvGetStatus) GetStatus = nullptr;
  decltype(&MicroDrvGetMediaStatus) GetMediaStatus = nullptr;
  decltype(&MicroDrvGetThumbnail) GetThumbnail = nullptr;
  decltype(&MicroDrvGetItemData) GetItemData = nullptr;
  decltype(&MicroDrvResumeChunkTransfer) ResumeChunkTransfer = nullptr;
  decltype(&MicroDrvAbortTransfer) AbortTransfer = nullptr;
  decltype(&MicroDrvPutItemData) PutItemData = nullptr;
  decltype(&MicroDrvDeleteItem) DeleteItem = nullptr;

  // Loads the library and finds all fourteen exports; false and a message otherwise.
  bool Load(const std::filesystem::path& path, std::string& error) {
    library = platform::LoadDynamicLibrary(path, error);
    if (library == nullptr) return false;
    return Bind(Init, "MicroDrvInit", error) && Bind(UnInit, "MicroDrvUnInit", error) &&
           Bind(Open, "MicroDrvOpen", error) && Bind(Close, "MicroDrvClose", error) &&
           Bind(GetDeviceInfo, "MicroDrvGetDeviceInfo", error) && Bind(FreeItemInfo, "MicroDrvFreeItemInfo", error) &&
           Bind(GetStatus, "MicroDrvGetStatus", error) && Bind(GetMediaStatus, "MicroDrvGetMediaStatus", error) &&
           Bind(GetThumbnail, "MicroDrvGetThumbnail", error) && Bind(GetItemData, "MicroDrvGetItemData", error) &&
           Bind(ResumeChunkTransfer, "MicroDrvResumeChunkTransfer", error) &&
           Bind(AbortTransfer, "MicroDrvAbortTransfer", error) && Bind(PutItemData, "MicroDrvPutItemData", error) &&
           Bind(DeleteItem, "MicroDrvDeleteItem", error);
  }

 private:
  template <typename F>
  bool Bind(F& function, const char* name, std::string& error) {
    function = reinterpret_cast<F>(library->Symbol(name));
    if (function == nullptr) error = std::string("the library has no export ") + name;
    return function != nullptr;
  }
};

}  // namespace camfiles

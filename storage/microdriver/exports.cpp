// The fourteen exports: each is the core operation of the same name, with
// nothing escaping as an exception.
#include <new>

#include "storage/microdriver/core.h"
#include "storage/microdriver/torwen.h"

namespace {

template <typename Operation>
HRESULT Guarded(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

extern "C" {

HRESULT TORWEN_CALL MicroDrvInit(MicroDrvContext** context) {
  return Guarded([&] { return torwen::CreateContext(torwen::PlatformEnvironment(), context); });
}
HRESULT TORWEN_CALL MicroDrvUnInit(MicroDrvContext** context) {
  return Guarded([&] { return torwen::DestroyContext(context); });
}
HRESULT TORWEN_CALL MicroDrvOpen(MicroDrvContext* context, const OLECHAR* instanceKey) {
  return Guarded([&] { return torwen::Open(context, instanceKey); });
}
HRESULT TORWEN_CALL MicroDrvClose(MicroDrvContext* context) {
  return Guarded([&] { return torwen::Close(context); });
}
HRESULT TORWEN_CALL MicroDrvGetDeviceInfo(MicroDrvContext* context, MicroDrvItem** firstItem) {
  return Guarded([&] { return torwen::GetDeviceInfo(context, firstItem); });
}
HRESULT TORWEN_CALL MicroDrvFreeItemInfo(MicroDrvContext* context, MicroDrvItem* item) {
  return Guarded([&] { return torwen::FreeItem(context, item); });
}
HRESULT TORWEN_CALL MicroDrvGetStatus(MicroDrvContext* context) {
  return Guarded([&] { return torwen::GetStatus(context, true); });
}
HRESULT TORWEN_CALL MicroDrvGetMediaStatus(MicroDrvContext* context) {
  return Guarded([&] { return torwen::GetStatus(context, false); });
}
HRESULT TORWEN_CALL MicroDrvGetThumbnail(MicroDrvContext* context, MicroDrvItem* item) {
  return Guarded([&] { return torwen::GetThumbnail(context, item); });
}
HRESULT TORWEN_CALL MicroDrvGetItemData(MicroDrvContext* context, MicroDrvItem* item, uint8_t* buffer,
                                        uint32_t length, HRESULT* transferStatus) {
  return Guarded([&] { return torwen::GetItemData(context, item, buffer, length, transferStatus); });
}
HRESULT TORWEN_CALL MicroDrvResumeChunkTransfer(MicroDrvContext* context, int32_t kind) {
  return Guarded([&] { return torwen::TransferControl(context, kind, false); });
}
HRESULT TORWEN_CALL MicroDrvAbortTransfer(MicroDrvContext* context, int32_t kind) {
  return Guarded([&] { return torwen::TransferControl(context, kind, true); });
}
HRESULT TORWEN_CALL MicroDrvPutItemData(MicroDrvContext* context, MicroDrvPutRequest* request, uint8_t* frame) {
  return Guarded([&] { return torwen::PutItemData(context, request, frame); });
}
HRESULT TORWEN_CALL MicroDrvDeleteItem(MicroDrvContext* context, MicroDrvItem* item) {
  return Guarded([&] { return torwen::DeleteItem(context, item); });
}

}  // extern "C"

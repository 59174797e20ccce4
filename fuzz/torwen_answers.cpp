// The microdriver decoding the storage driver's answers: listing pages,
// entry counts, media lists and status, thumbnails, item data and put
// answers. The input scripts every answer, then the caller's operations on
// the items it got.
//
// Per exchange the input gives a byte c: 0xFE fails the exchange with
// ERROR_BUSY, 0xFD with "device gone"; otherwise min(c, frame length - 1)
// bytes follow and replace the answer from byte 1 on (0xFC: the whole
// answer). A data frame then takes one more byte: bit 0 fills the whole data
// area. Past the end of the input the camera is gone (every exchange fails).
//
// A media list answer's volume counts that would take their total past
// kVolumeBudget are cut to 1 (the medium stays, without volume items). Any
// medium may still have up to 255 volumes, but a few hundred input bytes no
// longer make a tree of 65,000 items, whose building and freeing took most
// of the fuzzer's time while running the same code over and over.
//
// Checked: no read or write beyond a frame, a data area or an item field
// (AddressSanitizer), every path and name terminated within its field, a
// thumbnail never longer than its area, the item list well linked, a put
// request's path terminated; and the run ends (retries are bounded).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakes.h"
#include "storage/microdriver/core.h"

namespace {

uint64_t g_clock = 0;
uint64_t g_exchanges = 0;  // for a debugger

// Two media of 255 volumes fit.
constexpr uint32_t kVolumeBudget = 512;

void CapVolumes(uint8_t* frame) {
  const size_t media = std::min<size_t>(frame[storage::list_media::kCount], storage::list_media::kMaxMedia);
  uint32_t total = 0;
  for (size_t m = 0; m < media; ++m) {
    uint8_t& volumes = frame[storage::list_media::kVolumes + m];
    if (total + volumes > kVolumeBudget) volumes = std::min<uint8_t>(volumes, 1);
    total += volumes;
  }
}

class AnswerDriver final : public platform::StorageDriverHandle {
 public:
  int32_t Exchange(uint8_t* frame, uint32_t length, uint8_t* data, uint32_t dataLength) noexcept override {
    FUZZ_CHECK(length >= 2 && length <= storage::kMaxFrameLength);
    FUZZ_CHECK(data != nullptr || dataLength == 0);
    ++g_exchanges;
    fuzz::Input& in = fuzz::In();
    if (in.empty()) return storage::kErrorDeviceRemoved;  // the camera goes when the answers run out
    const uint8_t c = in.Byte();
    if (c == 0xFE) return storage::kErrorBusy;
    if (c == 0xFD) return storage::kErrorDeviceRemoved;
    const size_t n = c == 0xFC ? length - 1 : std::min<size_t>(c, length - 1);
    const auto bytes = in.Bytes(n);
    std::memcpy(frame + 1, bytes.data(), bytes.size());
    const uint8_t op = frame[0];
    if (op == static_cast<uint8_t>(storage::Opcode::ListMedia) && length >= storage::kListMediaLength) CapVolumes(frame);
    if (op == 0x08 || op == 0x09 || op == 0x0A) {
      if ((in.Byte() & 1) != 0 && op != 0x0A && dataLength != 0) std::memset(data, 0xA5, dataLength);
    }
    return 0;
  }
  int32_t Close() noexcept override { return 0; }
};

void CheckItems(MicroDrvItem* root) {
  const MicroDrvItem* previous = nullptr;
  for (const MicroDrvItem* i = root; i != nullptr; i = i->next) {
    FUZZ_CHECK(i->previous == previous || previous == nullptr);
    FUZZ_CHECK(strnlen(i->pathBlock->path, sizeof i->pathBlock->path) <= storage::kMaxPathLength);
    if (i->name != nullptr) {
      size_t n = 0;
      while (n < 9 && i->name[n] != 0) ++n;
      FUZZ_CHECK(n <= 8);
    }
    FUZZ_CHECK(i->extension[3] == 0);
    FUZZ_CHECK(i->thumbnailLength <= storage::kTransferAreaSize);
    previous = i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  fuzz::UseInput use(input);
  g_clock = 0;
  g_exchanges = 0;

  torwen::Environment environment;
  environment.readLink = [](platform::ComStringView, platform::ComString& link) {
    static const platform::ComString kLink = platform::Utf8ToCom("\\??\\fuzz#camera#1#{storage}");
    link = kLink;
    return S_OK;
  };
  environment.openDriver = [](platform::ComStringView, std::unique_ptr<platform::StorageDriverHandle>& handle) {
    handle = std::make_unique<AnswerDriver>();
    return 0;
  };
  environment.sleep = [](uint32_t ms) { g_clock += ms; };
  environment.nowMs = [] { return g_clock; };

  MicroDrvContext* context = nullptr;
  FUZZ_CHECK(torwen::CreateContext(environment, &context) == S_OK);
  const uint8_t flags = input.Byte();
  context->fastBusy = flags & 1;
  context->fastMedia = flags & 2;
  if (torwen::Open(context, COM_TEXT("{class}\\0000")) == S_OK) {
    MicroDrvItem* root = nullptr;
    const HRESULT listed = torwen::GetDeviceInfo(context, &root);
    (void)listed;
    FUZZ_CHECK(root != nullptr);
    CheckItems(root);
    std::vector<MicroDrvItem*> items;
    for (MicroDrvItem* i = root; i != nullptr; i = i->next) items.push_back(i);
    FUZZ_CHECK(items.size() == torwen::LiveItemCount(context));

    for (int step = 0; step < 8 && !input.empty(); ++step) {
      const uint8_t op = input.Byte();
      MicroDrvItem* item = items.empty() ? nullptr : items[input.Byte() % items.size()];
      switch (op % 6) {
        case 0:
          (void)torwen::GetThumbnail(context, item);
          if (item != nullptr && torwen::LiveItemCount(context) != 0) FUZZ_CHECK(item->thumbnailLength <= 0x8000);
          break;
        case 1: {
          const uint32_t length = input.Be16();
          // The caller's buffer as it comes: only the driver writes it.
          const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(length);
          HRESULT transfer = S_OK;
          (void)torwen::GetItemData(context, item, length == 0 ? nullptr : buffer.get(), length, &transfer);
          break;
        }
        case 2: {
          MicroDrvPutRequest request{};
          const std::string path = input.Text(260);
          std::memcpy(request.path, path.data(), std::min(path.size(), sizeof request.path));
          const uint8_t bytes[16] = {};
          request.firstLength = input.Byte() % 17;
          request.secondLength = input.Byte() % 17;
          request.secondFlag = input.Byte();
          request.data = bytes;
          uint8_t frame[kMicroDrvPutFrameSize];
          if (torwen::PutItemData(context, &request, frame) == S_OK)
            FUZZ_CHECK(strnlen(request.path, sizeof request.path) < sizeof request.path);
          break;
        }
        case 3:
          (void)torwen::DeleteItem(context, item);
          break;
        case 4:
          (void)torwen::GetStatus(context, (op & 0x80) != 0);
          (void)torwen::TransferControl(context, 21 + (op >> 7), (op & 0x40) != 0);
          break;
        case 5:  // the caller frees an item (perhaps one freed already: refused)
          if (item != nullptr && torwen::FreeItem(context, item) == S_OK)
            items.erase(std::find(items.begin(), items.end(), item));
          break;
      }
    }
    // Half freed in list order before the context goes, the rest after it
    // (still readable until each is freed).
    const size_t half = items.size() / 2;
    for (size_t i = 0; i < half; ++i) FUZZ_CHECK(torwen::FreeItem(context, items[i]) == S_OK);
    MicroDrvContext* const stale = context;
    FUZZ_CHECK(torwen::DestroyContext(&context) == S_OK);
    for (size_t i = half; i < items.size(); ++i) {
      FUZZ_CHECK(items[i]->pathBlock != nullptr);
      FUZZ_CHECK(torwen::FreeItem(stale, items[i]) == S_OK);
    }
    FUZZ_CHECK(torwen::OrphanedItemCount() == 0);
  }
  FUZZ_CHECK(torwen::DestroyContext(&context) == S_OK);
  return 0;
}

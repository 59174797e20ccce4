// The library's storage channel decoding the storage driver's answers. The
// input scripts a run of channel calls (open, count, read, write, close) and
// every answer of the driver: transport errors, status bytes, counts,
// delivered counts, data and stray bytes anywhere in the frame.
//
// Checked on every call: a read never delivers more than was asked for and
// never writes past the caller's buffer; failed calls leave their out-values
// as they were; busy answers cost at most four attempts and ReadFile's pauses
// come only after them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fakes.h"
#include "storage/storage_channel.h"

namespace {

struct Run {
  fuzz::FuzzStorageDriver* driver = nullptr;  // owned by the channel while open
  int opens = 0;
  int sleeps = 0;
  int32_t openError = 0;
  platform::ComString link;
  HRESULT linkResult = S_OK;
};
Run* g_run = nullptr;

HRESULT ReadLink(platform::ComStringView, platform::ComString& link) {
  link = g_run->link;
  return g_run->linkResult;
}

int32_t OpenDriver(platform::ComStringView path, std::unique_ptr<platform::StorageDriverHandle>& handle) {
  // The open path is the link with its second character made a backslash.
  FUZZ_CHECK(path.size() >= 2 && path[1] == static_cast<OLECHAR>('\\'));
  FUZZ_CHECK(path.find(OLECHAR{0}) == platform::ComStringView::npos);
  ++g_run->opens;
  if (g_run->openError != 0) return g_run->openError;
  auto driver = std::make_unique<fuzz::FuzzStorageDriver>();
  g_run->driver = driver.get();
  handle = std::move(driver);
  return 0;
}

constexpr uint32_t kCanary = 64;
constexpr uint8_t kCanaryByte = 0xC3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)fuzz::Surroundings::Get();
  fuzz::Input input(data, size);
  fuzz::UseInput use(input);
  Run run;
  g_run = &run;
  fuzz::FuzzMutex::Refusing() = false;

  storage::StorageChannelEnvironment environment;
  environment.readLink = &ReadLink;
  environment.openDriver = &OpenDriver;
  environment.sleep = [](uint32_t ms) {
    FUZZ_CHECK(ms == storage::kReadBusySleepMs);
    ++g_run->sleeps;
  };
  environment.openMutex = [] { return std::make_unique<fuzz::FuzzMutex>(); };

  {
    storage::StorageChannel channel(environment);
    for (int step = 0; step < 48 && !input.empty(); ++step) {
      const uint8_t op = input.Byte();
      switch (op % 6) {
        case 0: {  // open through a link from the registry
          const bool wasOpen = channel.IsOpen();
          const uint8_t how = input.Byte();
          run.link = input.ComText(80);
          run.linkResult = (how & 1) != 0 ? static_cast<HRESULT>(0x80070002u) : S_OK;
          run.openError = (how & 2) != 0 ? static_cast<int32_t>(input.Be32()) : 0;
          const int opensBefore = run.opens;
          const HRESULT hr = channel.Open(COM_TEXT("{class}\\0000"));
          if (wasOpen) FUZZ_CHECK(hr == E_FAIL && run.opens == opensBefore && channel.IsOpen());
          if (hr == S_OK) FUZZ_CHECK(channel.IsOpen() && run.opens == opensBefore + 1);
          if (FAILED(hr) && !wasOpen) FUZZ_CHECK(!channel.IsOpen());
          break;
        }
        case 1: {  // count the entries of a folder
          const std::string path = (op & 0x80) != 0 ? input.Text(255) : std::string(storage::kPresetFolder);
          uint32_t count = 0xDEADBEEF;
          const uint64_t before = run.driver != nullptr && channel.IsOpen() ? run.driver->exchanges : 0;
          const HRESULT hr = channel.CountEntries(path, count);
          if (hr == S_OK) FUZZ_CHECK(count <= 0xFFFF);
          else FUZZ_CHECK(count == 0xDEADBEEF);
          if (channel.IsOpen()) FUZZ_CHECK(run.driver->exchanges - before <= storage::kLibraryAttempts);
          break;
        }
        case 2: {  // read a file into a buffer of the size asked for
          const std::string path = (op & 0x80) != 0 ? input.Text(255) : std::string("\\dev\\campset\\Preset01.pst");
          uint32_t wanted = input.Be16();
          if ((op & 0x40) != 0) wanted += 0x7F00;  // around the area's limit
          std::vector<uint8_t> buffer(wanted + kCanary, kCanaryByte);
          uint32_t got = wanted;
          const int sleepsBefore = run.sleeps;
          const uint64_t before = run.driver != nullptr && channel.IsOpen() ? run.driver->exchanges : 0;
          const HRESULT hr = channel.ReadFile(path, buffer.data(), got);
          if (hr == S_OK) {
            FUZZ_CHECK(got <= wanted);
          } else {
            FUZZ_CHECK(got == wanted);
          }
          for (uint32_t i = 0; i < kCanary; ++i) FUZZ_CHECK(buffer[wanted + i] == kCanaryByte);
          if (channel.IsOpen()) {
            const uint64_t exchanges = run.driver->exchanges - before;
            FUZZ_CHECK(exchanges <= storage::kLibraryAttempts);
            FUZZ_CHECK(static_cast<uint64_t>(run.sleeps - sleepsBefore) <= exchanges);
          } else {
            FUZZ_CHECK(run.sleeps == sleepsBefore);
          }
          break;
        }
        case 3: {  // write a file
          const std::string path = (op & 0x80) != 0 ? input.Text(255) : std::string("\\dev\\campset\\Preset02.pst");
          const uint16_t length = input.Be16() % 700;
          std::vector<uint8_t> bytes(length, 0x5A);
          const auto given = input.Bytes(length);
          std::copy(given.begin(), given.end(), bytes.begin());
          const int sleepsBefore = run.sleeps;
          (void)channel.WriteFile(path, bytes.empty() ? nullptr : bytes.data(), length);
          FUZZ_CHECK(run.sleeps == sleepsBefore);  // only reads pause on busy
          break;
        }
        case 4:
          channel.Close();
          FUZZ_CHECK(!channel.IsOpen());
          run.driver = nullptr;
          break;
        case 5:  // another process holds the camera mutex (or lets it go)
          fuzz::FuzzMutex::Refusing() = (op & 0x80) != 0;
          break;
      }
      if (!channel.IsOpen()) run.driver = nullptr;
    }
    fuzz::FuzzMutex::Refusing() = false;
  }
  g_run = nullptr;
  return 0;
}

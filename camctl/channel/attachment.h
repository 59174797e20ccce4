// Binding a camera object to its camera: attaching and detaching the command
// channel, the process-wide count of attached cameras, the process-wide settle
// window and the settle check that setting and preset commands run first.
//
// Lock order everywhere: the object lock, then the camera mutex.
#pragma once

#include <chrono>
#include <cstdint>

#include "camctl/object/camera_state.h"
#include "platform/avc_transport.h"
#include "platform/com.h"

namespace camctl {

// Vendor command (set 0x0001) that reads the camera's busy flag: STATUS, one cell.
inline constexpr uint8_t kCodeBusyFlag = 0x75;

// ---- Settle window -------------------------------------------------------
// After a preset-changing command the camera keeps working for a while; for
// two seconds after the last such command every setting and preset command
// first asks whether it has finished. The window is tied to a monotonic clock,
// so it closes even in a host that never runs a message loop. Process-wide.

inline constexpr std::chrono::milliseconds kSettleWindow{2000};

// The clock of the settle window; tests substitute their own.
using SettleClock = std::chrono::steady_clock::time_point (*)();
// Null restores std::chrono::steady_clock::now.
void SetSettleClock(SettleClock clock) noexcept;

// Starts the window anew (a running one is replaced): it closes kSettleWindow
// from now. Called after every successful preset-changing command.
void ArmSettleTimer() noexcept;
// Closes the window at once.
void StopSettleTimer() noexcept;
// True while the window is open; a window whose time has run out is closed here.
bool SettleTimerRunning() noexcept;

// ---- Attached cameras ----------------------------------------------------

// Objects of this process that currently hold a command channel.
int32_t AttachedCameraCount() noexcept;

// ---- Device watcher seam -------------------------------------------------
// The device watcher, which notices an unplugged camera, starts with the
// attachment and stops with the detachment. It is installed through these
// hooks; until one is installed both calls do nothing and starting reports S_OK.

struct DeviceWatcherHooks {
  HRESULT (*start)(CameraState& state) = nullptr;
  void (*stop)(CameraState& state) = nullptr;
};
// Installs the hooks for the whole process (null members: nothing to do).
void SetDeviceWatcherHooks(const DeviceWatcherHooks& hooks) noexcept;
HRESULT StartWatcher(CameraState& state) noexcept;
void StopWatcher(CameraState& state) noexcept;

// ---- Attachment ----------------------------------------------------------

// Binds the selected camera: creates the object's command channel on the
// device's transport, counts the camera, starts the watcher (its outcome does
// not matter) and sets the connection state to attached.
// E_FAIL: no device, a channel already attached (it stays), no transport, or
// no handle on the camera mutex. E_OUTOFMEMORY when the channel cannot be made.
HRESULT AttachTransport(CameraState& state, platform::CaptureDevice* device) noexcept;

// Unbinds: stops the watcher, uncounts the camera (the last one closes the
// settle window) and destroys the channel, which waits for the camera mutex
// without limit. Does nothing without a channel. The connection state is left
// to the caller.
void DetachTransport(CameraState& state) noexcept;

// Reads the busy flag (0x75 STATUS). CAM_E_NOT_CONNECTED without a channel; the
// connection state is not consulted. `flag` is written only on success.
HRESULT ReadBusyFlag(CameraState& state, uint8_t& flag) noexcept;

// Outside the settle window the camera counts as idle and nothing is sent;
// inside it the busy flag is read and 1 means busy. A failed read is the result.
HRESULT QueryBusy(CameraState& state, bool& busy) noexcept;

// The busy query, repeated without pause up to four times in all while it fails
// with anything but CAM_E_REJECTED. Result: the last failure, CAM_E_BUSY for a
// busy camera, otherwise S_OK.
HRESULT SettleCheck(CameraState& state) noexcept;

}  // namespace camctl

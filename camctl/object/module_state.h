// Per-module state of the server: the lock count that decides whether the
// library may be unloaded (live objects plus LockServer locks plus clients
// holding the class object).
#pragma once

#include <cstdint>

#include "platform/com.h"

namespace camctl {

void LockModule();
void UnlockModule();
int32_t ModuleLockCount();

}  // namespace camctl

// The class object of CameraControl and the server's exported entry points.
#pragma once

#include "platform/com.h"

namespace camctl {

// The cached class object, created on first request under the module lock.
IClassFactory* CameraControlClassObject();

}  // namespace camctl

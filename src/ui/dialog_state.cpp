#include "ui/dialog_state.h"

#include <cstring>

DialogState* g_dialogState = nullptr;

void ResetDevicePath(DialogState* state) {
  std::memset(state->devicePath, 0, sizeof state->devicePath);
  std::memcpy(state->devicePath, DevicePathPrefix, DEVICE_PATH_PREFIX_LENGTH * sizeof(Utf16Unit));
}

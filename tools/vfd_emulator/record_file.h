// The module's non-volatile memory: the stored record, 128 bytes in a file,
// so that a written message survives a restart of the emulator.
#ifndef VFD_EMULATOR_RECORD_FILE_H
#define VFD_EMULATOR_RECORD_FILE_H

#include <string>

#include "device.h"

// False when the file is missing or not exactly 128 bytes long.
bool LoadRecord(const std::string& path, Record& record);
// Replaces the file in one rename, so that a reader sees the old or the new record.
bool SaveRecord(const std::string& path, const Record& record, std::string& error);

#endif

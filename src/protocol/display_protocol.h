// The display module's user set-up mode: commands, reply checks, the 128-byte
// startup message record and the rules for its row texts.
#ifndef VFD_DISPLAY_PROTOCOL_H
#define VFD_DISPLAY_PROTOCOL_H

#include "win_types.h"

// Commands, each sent in one write.
extern const BYTE EnterSetupMode[6];        // 1F 28 65 01 49 4E  "IN"
extern const BYTE QueryProductType[5];      // 1F 28 65 40 30     "0"
extern const BYTE WriteStartupMessage[4];   // 1F 28 65 32, then the record
extern const BYTE ExitSetupMode[7];         // 1F 28 65 02 4F 55 54  "OUT"

// Function bytes repeated in the replies.
const BYTE FunctionEnterSetup = 0x01;
const BYTE FunctionWriteStartup = 0x32;
const BYTE FunctionProductType = 0x40;

const DWORD StatusReplyLength = 4;          // 28 65 fn 00
const DWORD ProductTypeReplyLength = 18;    // 28 65 40 + 15 bytes
const DWORD ProductTypeLength = 15;

const DWORD RowLength = 64;                 // speed code + 63 text bytes
const DWORD RowTextMax = 63;
const DWORD RecordLength = 128;

typedef BYTE SpeedCode;

// 128 bytes: row 0 (speed code, 63 text bytes), then row 1 the same way.
struct StartupMessageRecord {
  BYTE bytes[RecordLength];
};

// The module's 15-byte product type widened to UTF-16, with a terminator.
struct ProductTypeText {
  Utf16Unit text[ProductTypeLength + 1];
};

// The product types the program writes to, 15 characters each. A second
// accepted module is one more row here.
extern const char* const AcceptedProductTypes[];
extern const int AcceptedProductTypeCount;

bool IsStatusReply(DWORD count, const BYTE* bytes, BYTE function);
bool IsProductTypeReply(DWORD count, const BYTE* bytes);
// Both take the whole 18-byte reply (28 65 40 first) and use its bytes 3..17.
bool IsAcceptedProductType(const BYTE* bytes);
ProductTypeText MakeProductTypeText(const BYTE* bytes);

// The speed list, top to bottom in the order the list control sorts its
// labels, with the code each position sends and the module's scroll step.
struct SpeedEntry {
  const Utf16Unit* label;
  SpeedCode code;
  DWORD scrollStepMs;
};
const int SpeedCount = 6;
extern const SpeedEntry SpeedTable[SpeedCount];
const int SpeedDefaultPosition = 3;          // "300ms / character"
const int SpeedNoSelection = -1;             // the list's CB_ERR
SpeedCode SpeedCodeFor(int selection);       // position or SpeedNoSelection
// The table row of a code, or null for a code no position sends.
const SpeedEntry* SpeedEntryForCode(SpeedCode code);

// Result of PrepareRowText: whether the text was cut at an invalid unit, and
// the units kept before the cut (or the whole considered text), terminated.
struct RowTextResult {
  bool wasCut;
  Utf16Unit keptText[RowTextMax + 1];
};

// Fills the 64-byte row (speed code + 63 text bytes) from a terminated
// UTF-16 text; at most its first 63 units are considered.
RowTextResult PrepareRowText(const Utf16Unit* text, SpeedCode speedCode, BYTE* row);

// Factory row texts, 51 characters each, and the factory-default record.
extern const Utf16Unit DefaultRow0Text[];
extern const Utf16Unit DefaultRow1Text[];
extern const StartupMessageRecord FactoryDefaultRecord;

#endif  // VFD_DISPLAY_PROTOCOL_H

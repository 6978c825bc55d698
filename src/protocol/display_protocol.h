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
const BYTE FUNCTION_ENTER_SETUP = 0x01;
const BYTE FUNCTION_WRITE_STARTUP = 0x32;
const BYTE FUNCTION_PRODUCT_TYPE = 0x40;

const DWORD STATUS_REPLY_LENGTH = 4;         // 28 65 fn 00
const DWORD PRODUCT_TYPE_REPLY_LENGTH = 18;  // 28 65 40 + 15 bytes
const DWORD PRODUCT_TYPE_LENGTH = 15;

const DWORD ROW_LENGTH = 64;                 // speed code + 63 text bytes
const DWORD ROW_TEXT_MAX = 63;
const DWORD RECORD_LENGTH = 128;

typedef BYTE SpeedCode;

// 128 bytes: row 0 (speed code, 63 text bytes), then row 1 the same way.
struct StartupMessageRecord {
  BYTE bytes[RECORD_LENGTH];
};

// The module's 15-byte product type widened to UTF-16, with a terminator.
struct ProductTypeText {
  Utf16Unit text[PRODUCT_TYPE_LENGTH + 1];
};

// The one accepted product type; note the trailing space.
extern const char AcceptedProductType[PRODUCT_TYPE_LENGTH + 1];  // "CU20029T307A01 "

bool IsStatusReply(DWORD count, const BYTE* bytes, BYTE function);
bool IsProductTypeReply(DWORD count, const BYTE* bytes);
// Both take the whole 18-byte reply (28 65 40 first) and use its bytes 3..17.
bool IsAcceptedProductType(const BYTE* bytes);
ProductTypeText MakeProductTypeText(const BYTE* bytes);

// Speed list: SPEED_LABEL_COUNT labels, in list order, top to bottom.
const int SPEED_LABEL_COUNT = 6;
const int SPEED_DEFAULT_POSITION = 3;        // "300ms / character"
const int SPEED_NO_SELECTION = -1;           // the list's CB_ERR
extern const Utf16Unit* const SpeedLabels[SPEED_LABEL_COUNT];
SpeedCode SpeedCodeFor(int selection);       // position or SPEED_NO_SELECTION

// Result of PrepareRowText: whether the text was cut at an invalid unit, and
// the units kept before the cut (or the whole considered text), terminated.
struct RowTextResult {
  bool wasCut;
  Utf16Unit keptText[ROW_TEXT_MAX + 1];
};

// Fills the 64-byte row (speed code + 63 text bytes) from a terminated
// UTF-16 text; at most its first 63 units are considered.
RowTextResult PrepareRowText(const Utf16Unit* text, SpeedCode speedCode, BYTE* row);

// Factory row texts, 51 characters each, and the factory-default record.
extern const Utf16Unit DefaultRow0Text[];
extern const Utf16Unit DefaultRow1Text[];
extern const StartupMessageRecord FactoryDefaultRecord;

#endif  // VFD_DISPLAY_PROTOCOL_H

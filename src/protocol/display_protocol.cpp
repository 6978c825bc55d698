// The display module's user set-up mode: commands, reply checks, the startup
// message record and the factory default.
#include "protocol/display_protocol.h"

#include <cstring>

// Every command starts with US ( e; the module echoes ( e and the function
// byte in its reply, never the US.
const BYTE EnterSetupMode[6] = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E};
const BYTE QueryProductType[5] = {0x1F, 0x28, 0x65, 0x40, 0x30};
const BYTE WriteStartupMessage[4] = {0x1F, 0x28, 0x65, 0x32};
const BYTE ExitSetupMode[7] = {0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54};

const char AcceptedProductType[PRODUCT_TYPE_LENGTH + 1] = "CU20029T307A01 ";

// The list control sorts its entries with the locale-aware sort, which puts
// '<' before the digits; the position, and so the speed code, depends on
// exactly this order.
const Utf16Unit* const SpeedLabels[SPEED_LABEL_COUNT] = {
    u"<10ms / character", u"100ms / character", u"200ms / character",
    u"300ms / character", u"400ms / character", u"500ms / character",
};

// 51 characters each; the trailing spaces belong to the texts.
extern constexpr Utf16Unit DefaultRow0Text[] = u"QV rm7700 All-in-One Point of Sale System          ";
extern constexpr Utf16Unit DefaultRow1Text[] = u" .... Thank You and Have a Nice Day ....           ";

namespace {

const BYTE REPLY_LEAD_0 = 0x28;
const BYTE REPLY_LEAD_1 = 0x65;
const BYTE REPLY_STATUS_OK = 0x00;
const DWORD PRODUCT_TYPE_OFFSET = 3;

const SpeedCode SPEED_CODE_BASE = 0x10;
const SpeedCode SPEED_CODE_NO_SELECTION = 0x12;
const SpeedCode SPEED_CODE_FACTORY = 0x13;

const Utf16Unit ROW_CHAR_FIRST = 0x20;
const Utf16Unit ROW_CHAR_LAST = 0x7F;  // DEL is accepted by the module

constexpr void FillFactoryRow(BYTE* row, const Utf16Unit* text) {
  row[0] = SPEED_CODE_FACTORY;
  for (DWORD i = 0; text[i] != 0; ++i) row[1 + i] = static_cast<BYTE>(text[i]);
}

constexpr StartupMessageRecord BuildFactoryDefaultRecord() {
  StartupMessageRecord record{};
  FillFactoryRow(record.bytes, DefaultRow0Text);
  FillFactoryRow(record.bytes + ROW_LENGTH, DefaultRow1Text);
  return record;
}

}  // namespace

// Built at compile time, so it is the same bytes on every use.
extern constexpr StartupMessageRecord FactoryDefaultRecord = BuildFactoryDefaultRecord();

bool IsStatusReply(DWORD count, const BYTE* bytes, BYTE function) {
  return count == STATUS_REPLY_LENGTH && bytes[0] == REPLY_LEAD_0 && bytes[1] == REPLY_LEAD_1 &&
         bytes[2] == function && bytes[3] == REPLY_STATUS_OK;
}

bool IsProductTypeReply(DWORD count, const BYTE* bytes) {
  return count == PRODUCT_TYPE_REPLY_LENGTH && bytes[0] == REPLY_LEAD_0 &&
         bytes[1] == REPLY_LEAD_1 && bytes[2] == FUNCTION_PRODUCT_TYPE;
}

bool IsAcceptedProductType(const BYTE* bytes) {
  return std::memcmp(bytes + PRODUCT_TYPE_OFFSET, AcceptedProductType, PRODUCT_TYPE_LENGTH) == 0;
}

ProductTypeText MakeProductTypeText(const BYTE* bytes) {
  // Each byte is zero-extended, so a zero byte among the 15 ends the text.
  ProductTypeText result = {};
  for (DWORD i = 0; i < PRODUCT_TYPE_LENGTH; ++i)
    result.text[i] = static_cast<Utf16Unit>(bytes[PRODUCT_TYPE_OFFSET + i]);
  result.text[PRODUCT_TYPE_LENGTH] = 0;
  return result;
}

SpeedCode SpeedCodeFor(int selection) {
  if (selection == SPEED_NO_SELECTION) return SPEED_CODE_NO_SELECTION;
  return static_cast<SpeedCode>(SPEED_CODE_BASE + selection);
}

RowTextResult PrepareRowText(const Utf16Unit* text, SpeedCode speedCode, BYTE* row) {
  RowTextResult result = {};
  std::memset(row, 0, ROW_LENGTH);
  row[0] = speedCode;
  // Units beyond the 63rd never reach the walk; dropping them is not a cut.
  for (DWORD i = 0; text != nullptr && i < ROW_TEXT_MAX && text[i] != 0; ++i) {
    Utf16Unit unit = text[i];
    if (unit < ROW_CHAR_FIRST || unit > ROW_CHAR_LAST) {
      result.wasCut = true;
      break;
    }
    row[1 + i] = static_cast<BYTE>(unit);
    result.keptText[i] = unit;
  }
  return result;
}

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

const char* const AcceptedProductTypes[] = {"CU20029T307A01 "};
extern const int AcceptedProductTypeCount =
    sizeof AcceptedProductTypes / sizeof AcceptedProductTypes[0];

// The list control sorts its labels with the locale-aware sort, which puts
// '<' before the digits; each row's position in that order is its code less
// 0x10, and the rows are kept in exactly that order. The scroll steps are the
// module's: what the labels promise, and 5 ms for "<10ms".
const SpeedEntry SpeedTable[SpeedCount] = {
    {u"<10ms / character", 0x10, 5},   {u"100ms / character", 0x11, 100},
    {u"200ms / character", 0x12, 200}, {u"300ms / character", 0x13, 300},
    {u"400ms / character", 0x14, 400}, {u"500ms / character", 0x15, 500},
};

// 51 characters each; the trailing spaces belong to the texts.
extern constexpr Utf16Unit DefaultRow0Text[] = u"QV rm7700 All-in-One Point of Sale System          ";
extern constexpr Utf16Unit DefaultRow1Text[] = u" .... Thank You and Have a Nice Day ....           ";

namespace {

const BYTE ReplyLead0 = 0x28;
const BYTE ReplyLead1 = 0x65;
const BYTE ReplyStatusOk = 0x00;
const DWORD ProductTypeOffset = 3;

const SpeedCode SpeedCodeBase = 0x10;
const SpeedCode SpeedCodeNoSelection = 0x12;
const SpeedCode SpeedCodeFactory = 0x13;

const Utf16Unit RowCharFirst = 0x20;
const Utf16Unit RowCharLast = 0x7F;  // DEL is accepted by the module

constexpr void FillFactoryRow(BYTE* row, const Utf16Unit* text) {
  row[0] = SpeedCodeFactory;
  for (DWORD i = 0; text[i] != 0; ++i) row[1 + i] = static_cast<BYTE>(text[i]);
}

constexpr StartupMessageRecord BuildFactoryDefaultRecord() {
  StartupMessageRecord record{};
  FillFactoryRow(record.bytes, DefaultRow0Text);
  FillFactoryRow(record.bytes + RowLength, DefaultRow1Text);
  return record;
}

}  // namespace

// Built at compile time, so it is the same bytes on every use.
extern constexpr StartupMessageRecord FactoryDefaultRecord = BuildFactoryDefaultRecord();

bool IsStatusReply(DWORD count, const BYTE* bytes, BYTE function) {
  return count == StatusReplyLength && bytes[0] == ReplyLead0 && bytes[1] == ReplyLead1 &&
         bytes[2] == function && bytes[3] == ReplyStatusOk;
}

bool IsProductTypeReply(DWORD count, const BYTE* bytes) {
  return count == ProductTypeReplyLength && bytes[0] == ReplyLead0 &&
         bytes[1] == ReplyLead1 && bytes[2] == FunctionProductType;
}

bool IsAcceptedProductType(const BYTE* bytes) {
  for (int i = 0; i < AcceptedProductTypeCount; ++i) {
    if (std::memcmp(bytes + ProductTypeOffset, AcceptedProductTypes[i], ProductTypeLength) == 0)
      return true;
  }
  return false;
}

ProductTypeText MakeProductTypeText(const BYTE* bytes) {
  // Each byte is zero-extended, so a zero byte among the 15 ends the text.
  ProductTypeText result = {};
  for (DWORD i = 0; i < ProductTypeLength; ++i)
    result.text[i] = static_cast<Utf16Unit>(bytes[ProductTypeOffset + i]);
  result.text[ProductTypeLength] = 0;
  return result;
}

SpeedCode SpeedCodeFor(int selection) {
  if (selection == SpeedNoSelection) return SpeedCodeNoSelection;
  if (selection >= 0 && selection < SpeedCount) return SpeedTable[selection].code;
  // Only the list gives positions; one beyond the table keeps the rule.
  return static_cast<SpeedCode>(SpeedCodeBase + selection);
}

const SpeedEntry* SpeedEntryForCode(SpeedCode code) {
  for (const SpeedEntry& entry : SpeedTable) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

RowTextResult PrepareRowText(const Utf16Unit* text, SpeedCode speedCode, BYTE* row) {
  RowTextResult result = {};
  std::memset(row, 0, RowLength);
  row[0] = speedCode;
  // Units beyond the 63rd never reach the walk; dropping them is not a cut.
  for (DWORD i = 0; text != nullptr && i < RowTextMax && text[i] != 0; ++i) {
    Utf16Unit unit = text[i];
    if (unit < RowCharFirst || unit > RowCharLast) {
      result.wasCut = true;
      break;
    }
    row[1 + i] = static_cast<BYTE>(unit);
    result.keptText[i] = unit;
  }
  return result;
}

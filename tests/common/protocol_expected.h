// The display module's protocol as the tests expect it: command and reply
// bytes, the accepted product type, the default rows, the speed labels and
// the operator's message texts, typed from the module's documentation and
// the dialog's wording. Never derived from the program: a wrong constant in
// the program must show up as a difference here. One copy for every test
// build (native, fuzz, Windows-side, end to end) and the emulator.
#ifndef VFD_TESTS_PROTOCOL_EXPECTED_H
#define VFD_TESTS_PROTOCOL_EXPECTED_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace expected {

typedef std::vector<uint8_t> ByteList;

// Commands: US ( e, the function byte, its parameters.
const ByteList EnterCommand = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E};         // "IN"
const ByteList QueryCommand = {0x1F, 0x28, 0x65, 0x40, 0x30};               // "0"
const ByteList WriteCommand = {0x1F, 0x28, 0x65, 0x32};                     // then 128 bytes
const ByteList ExitCommand = {0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54};    // "OUT"

// Replies: ( e, the function byte, then a status or the product type.
const ByteList EnterAccepted = {0x28, 0x65, 0x01, 0x00};
const ByteList WriteConfirmed = {0x28, 0x65, 0x32, 0x00};
const ByteList ProductTypeLead = {0x28, 0x65, 0x40};

// The one product type accepted; 15 characters, the last a space.
const char AcceptedProductType[] = "CU20029T307A01 ";
const size_t ProductTypeLength = 15;

// The longest port name the dialog takes on Windows; longer ones are cut.
const size_t PortNameMax = 16;

// Where the ports come from: the system's port list, and the OPOS line
// display configuration with its "Port" value (under HKEY_LOCAL_MACHINE).
const char PortListKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char LineDisplayKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\LineDisplay\\QVrm7700LineDisplay";

const size_t RecordSize = 128;
const size_t RowSize = 64;
const size_t RowTextMax = 63;

// Factory rows, 51 characters each.
const char DefaultRow0[] = "QV rm7700 All-in-One Point of Sale System          ";
const char DefaultRow1[] = " .... Thank You and Have a Nice Day ....           ";
const uint8_t DefaultSpeedCode = 0x13;    // "300ms / character"
const uint8_t NoSelectionSpeedCode = 0x12;

// The speed list top to bottom (its sorted order) with the code each sends.
struct SpeedRow {
  const char* label;
  uint8_t code;
};
const SpeedRow SpeedRows[] = {
    {"<10ms / character", 0x10}, {"100ms / character", 0x11}, {"200ms / character", 0x12},
    {"300ms / character", 0x13}, {"400ms / character", 0x14}, {"500ms / character", 0x15},
};
const size_t SpeedRowCount = sizeof SpeedRows / sizeof SpeedRows[0];

// How the program talks to the module: a reply lands in a receive buffer of
// 4096 bytes; a drain reads 64 bytes at a time until a read finds nothing; a
// reply gets 50 empty polls 100 ms apart, counted again after every piece,
// with a 1 ms pause after a piece that is still short.
const size_t ReceiveBufferSize = 4096;
const size_t DrainReadSize = 64;
const unsigned ReplySilentPolls = 50;
const unsigned ReplyPollMs = 100;
const unsigned ReplyPiecePauseMs = 1;

// Every box text is formed in 512 UTF-16 units, its terminator included.
const size_t MessageBufferUnits = 512;

// The lists one after another, as they go over the line.
inline ByteList Concat(std::initializer_list<ByteList> lists) {
  ByteList all;
  for (const ByteList& list : lists) all.insert(all.end(), list.begin(), list.end());
  return all;
}

// 28 65 40 and the 15 bytes of a product type.
inline ByteList ProductTypeReply(const std::string& productType) {
  ByteList reply = ProductTypeLead;
  reply.insert(reply.end(), productType.begin(), productType.end());
  return reply;
}

// A 128-byte record: per row the speed code, the text's bytes, zeros.
inline ByteList Record(uint8_t speedCode, const std::string& row0, const std::string& row1) {
  ByteList record(RecordSize, 0);
  const std::string* rows[2] = {&row0, &row1};
  for (size_t row = 0; row < 2; ++row) {
    record[row * RowSize] = speedCode;
    for (size_t i = 0; i < rows[row]->size() && i < RowTextMax; ++i)
      record[row * RowSize + 1 + i] = static_cast<uint8_t>((*rows[row])[i]);
  }
  return record;
}

inline ByteList FactoryRecord() { return Record(DefaultSpeedCode, DefaultRow0, DefaultRow1); }

// What the operator reads. %s marks the one argument.
namespace text {
const char CaptionError[] = "Error.";
const char CaptionPortCut[] = "COM port name truncated to:";
const char CaptionOpenFailed[] = "Error.  Could not open COM port:";
const char GetStateFailed[] = "GetCommState() returned error.";
const char SetStateFailed[] = "SetCommState() returned error.";
const char SetTimeoutsFailed[] = "SetCommTimeouts() returned error.";
const char ReadError[] = "Error reading from COM port.";
const char WriteError[] = "Error writing to COM port.";
const char CaptionIncompatible[] = "Error: Incompatible VFD module";
const char Incompatible[] = "Product type: %s\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 ";
const char CaptionRow0Cut[] = "Invalid character(s) in Row 0.";
const char CaptionRow1Cut[] = "Invalid character(s) in Row 1.";
const char Row0Cut[] = "Row 0 truncated to:          \r\n\r\n%s\r\n";
const char Row1Cut[] = "Row 1 truncated to:          \r\n\r\n%s\r\n";
const char CaptionFactoryRestored[] = "Success.";
const char FactoryRestored[] = "Factory default restored.";
const char FactoryFailed[] = "Factory default restoration failed.";
const char CaptionWriteOk[] = "Startup Message write successful";
const char WriteOk[] = "Product type: %s\r\nStartup Message write: (OK)     ";
const char CaptionWriteFailed[] = "Startup Message write failed";
const char WriteFailed[] = "Product type: %s\r\nStartup Message write: (failed) ";
}  // namespace text

// A message with its %s replaced.
inline std::string Format(const char* format, const std::string& argument) {
  std::string out = format;
  size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, argument);
  return out;
}

// Each byte as one UTF-16 unit, as the program widens the module's bytes.
inline std::u16string Wide(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

}  // namespace expected

// Upper-case hex, bytes separated by one space ("1F 28 65").
inline std::string HexOf(const uint8_t* bytes, size_t count) {
  std::string out;
  char piece[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += piece;
  }
  return out;
}

inline std::string HexOf(const std::vector<uint8_t>& bytes) { return HexOf(bytes.data(), bytes.size()); }

// The same digits without blanks ("1F2865"), as JSON results carry them.
inline std::string HexDigitsOf(const std::vector<uint8_t>& bytes) {
  std::string hex = HexOf(bytes);
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  return hex;
}

inline std::string HexOf(const std::string& bytes) {
  return HexOf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

#endif  // VFD_TESTS_PROTOCOL_EXPECTED_H

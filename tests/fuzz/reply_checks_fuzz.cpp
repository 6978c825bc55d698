// The reply checks and the product type text on any bytes and any count.
// The reply sits in a heap block of exactly count bytes, so a check that
// looks past what was collected is caught by AddressSanitizer.
//
// Input: one count selector (below 0xF0: count = selector % 40; else a
// 16-bit count, at most the receive buffer's size, follows), one function
// byte, one speed selector, then the reply bytes (zeros when they run out).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "protocol/display_protocol.h"

namespace {

using expected::ProductTypeLength;

DWORD TakeCount(ByteFeed* feed) {
  uint8_t selector = TakeByte(feed);
  if (selector < 0xF0) return selector % 40;
  return static_cast<DWORD>(TakeU16(feed) % (expected::ReceiveBufferSize + 1));
}

bool Begins(const BYTE* bytes, DWORD count, const Bytes& lead) {
  return count >= lead.size() && std::memcmp(bytes, lead.data(), lead.size()) == 0;
}

// 28 65 fn 00: the enter reply with the function byte in its place.
void CheckStatusReply(const BYTE* reply, DWORD count, BYTE function) {
  Bytes status = expected::EnterAccepted;
  status[2] = function;
  bool accepted = count == status.size() && Begins(reply, count, status);
  FUZZ_CHECK(IsStatusReply(count, reply, function) == accepted,
             "IsStatusReply wrong for count " + std::to_string(count) + " function " +
                 std::to_string(function));
}

void CheckProductType(const BYTE* reply, DWORD count) {
  const size_t replyLength = expected::ProductTypeLead.size() + ProductTypeLength;
  bool shaped = count == replyLength && Begins(reply, count, expected::ProductTypeLead);
  FUZZ_CHECK(IsProductTypeReply(count, reply) == shaped,
             "IsProductTypeReply wrong for count " + std::to_string(count));
  if (count < replyLength) return;  // the sequence never looks further then
  const BYTE* type = reply + expected::ProductTypeLead.size();
  bool accepted = std::memcmp(type, expected::AcceptedProductType, ProductTypeLength) == 0;
  FUZZ_CHECK(IsAcceptedProductType(reply) == accepted, "IsAcceptedProductType wrong");

  ProductTypeText text = MakeProductTypeText(reply);
  FUZZ_CHECK(text.text[ProductTypeLength] == 0, "product type text not terminated");
  size_t shown = 0;
  while (shown < ProductTypeLength && type[shown] != 0) ++shown;
  std::u16string visible = TextUpToZero(text.text);
  FUZZ_CHECK(visible.size() == shown, "product type text does not stop at the first zero byte");
  for (size_t i = 0; i < ProductTypeLength; ++i) {
    FUZZ_CHECK(text.text[i] <= 0xFF, "a product type unit above 0xFF");
    FUZZ_CHECK(i >= shown || text.text[i] == type[i], "product type byte not widened as is");
  }
  if (accepted) FUZZ_CHECK(visible == expected::Wide(expected::AcceptedProductType), "accepted type shown differently");
}

void CheckSpeedCode(uint8_t selector) {
  int position = static_cast<int>(selector % (expected::SpeedRowCount + 1)) - 1;  // -1: none
  SpeedCode code = position < 0 ? expected::NoSelectionSpeedCode : expected::SpeedRows[position].code;
  FUZZ_CHECK(SpeedCodeFor(position < 0 ? SpeedNoSelection : position) == code, "wrong speed code");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteFeed feed = MakeFeed(data, size);
  DWORD count = TakeCount(&feed);
  BYTE function = TakeByte(&feed);
  CheckSpeedCode(TakeByte(&feed));
  std::unique_ptr<BYTE[]> reply(new BYTE[count]);
  for (DWORD i = 0; i < count; ++i) reply[i] = TakeByte(&feed);

  CheckStatusReply(reply.get(), count, function);
  CheckStatusReply(reply.get(), count, expected::EnterAccepted[2]);
  CheckStatusReply(reply.get(), count, expected::WriteConfirmed[2]);
  CheckProductType(reply.get(), count);
  return 0;
}

// The reply checks and the product type text on any bytes and any count.
// The reply sits in a heap block of exactly count bytes, so a check that
// looks past what was collected is caught by AddressSanitizer.
//
// Input: one count selector (below 0xF0: count = selector % 40; else a
// 16-bit count, at most 4096, follows), one function byte, one speed
// selector, then the reply bytes (zeros when they run out).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "protocol/display_protocol.h"
#include "serial/serial_link.h"

namespace {

DWORD TakeCount(ByteFeed* feed) {
  uint8_t selector = TakeByte(feed);
  if (selector < 0xF0) return selector % 40;
  return TakeU16(feed) % (ReceiveBufferSize + 1);
}

bool Begins(const BYTE* bytes, DWORD count, const Bytes& lead) {
  return count >= lead.size() && std::memcmp(bytes, lead.data(), lead.size()) == 0;
}

void CheckStatusReply(const BYTE* reply, DWORD count, BYTE function) {
  bool expected = count == 4 && Begins(reply, count, {0x28, 0x65, function, 0x00});
  FUZZ_CHECK(IsStatusReply(count, reply, function) == expected,
             "IsStatusReply wrong for count " + std::to_string(count) + " function " +
                 std::to_string(function));
}

void CheckProductType(const BYTE* reply, DWORD count) {
  bool shaped = count == 18 && Begins(reply, count, {0x28, 0x65, 0x40});
  FUZZ_CHECK(IsProductTypeReply(count, reply) == shaped,
             "IsProductTypeReply wrong for count " + std::to_string(count));
  if (count < ProductTypeReplyLength) return;  // the sequence never looks further then
  bool accepted = std::memcmp(reply + 3, kAcceptedType.data(), 15) == 0;
  FUZZ_CHECK(IsAcceptedProductType(reply) == accepted, "IsAcceptedProductType wrong");

  ProductTypeText text = MakeProductTypeText(reply);
  FUZZ_CHECK(text.text[15] == 0, "product type text not terminated");
  size_t shown = 0;
  while (shown < 15 && reply[3 + shown] != 0) ++shown;
  std::u16string visible = TextUpToZero(text.text);
  FUZZ_CHECK(visible.size() == shown, "product type text does not stop at the first zero byte");
  for (size_t i = 0; i < 15; ++i) {
    FUZZ_CHECK(text.text[i] <= 0xFF, "a product type unit above 0xFF");
    FUZZ_CHECK(i >= shown || text.text[i] == reply[3 + i], "product type byte not widened as is");
  }
  if (accepted) FUZZ_CHECK(visible == u"CU20029T307A01 ", "accepted type shown differently");
}

void CheckSpeedCode(uint8_t selector) {
  int position = static_cast<int>(selector % (SpeedCount + 1)) - 1;
  SpeedCode expected = position == SpeedNoSelection ? 0x12 : static_cast<SpeedCode>(0x10 + position);
  FUZZ_CHECK(SpeedCodeFor(position) == expected, "wrong speed code");
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
  CheckStatusReply(reply.get(), count, 0x01);
  CheckStatusReply(reply.get(), count, 0x32);
  CheckProductType(reply.get(), count);
  return 0;
}

// The serial link over the simulated port: line profiles and timeout sets,
// saving and restoring settings, draining, reply collection and exact writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol_expected.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"
#include "sim_port.h"

namespace {

using expected::EnterAccepted;

std::u16string NameOf(const std::string& name) { return expected::Wide(name); }

Bytes Counting(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);
  return bytes;
}

std::vector<DWORD> ReadSizes() {
  std::vector<DWORD> sizes;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "read") sizes.push_back(e.value);
  return sizes;
}

class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }
  // A fresh world with COM3 open; the old handle goes with the old world.
  void Restart() {
    SimReset();
    port = SimAddPort("COM3");
    ASSERT_TRUE(OpenPort(NameOf("COM3").c_str(), &link));
  }
  void TearDown() override {
    ClosePort(&link);
    EXPECT_EQ(SimOpenHandleCount(), 0);
  }
  int Reads() const { return SimCountEvents("read"); }

  SimPort* port = nullptr;
  SerialLink link;
};

// --- opening ---------------------------------------------------------------

// The port operations put \\.\ in front of the name, as CreateFileW needs.
TEST(OpenPort, SixteenCharacterNameGivesTwentyCharacterPath) {
  SimReset();
  const std::string name = "COMPORTNAME16CHR";
  ASSERT_EQ(name.size(), expected::PortNameMax);
  SimAddPort(name);
  SerialLink link;
  ASSERT_TRUE(OpenPort(NameOf(name).c_str(), &link));
  EXPECT_EQ(SimEvents().front().port, "\\\\.\\" + name);
  EXPECT_EQ(SimEvents().front().port.size(), 20u);
  ClosePort(&link);
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

TEST(OpenPort, MissingOrHeldPortFails) {
  SimReset();
  SimAddPort("COM1")->busy = true;
  SerialLink link;
  EXPECT_FALSE(OpenPort(NameOf("COM1").c_str(), &link));
  EXPECT_EQ(link.handle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(OpenPort(NameOf("COM9").c_str(), &link));
  EXPECT_FALSE(OpenPort(u"", &link));  // an empty port field
  EXPECT_EQ(SimCountEvents("open"), 0);
}

// --- line profiles ---------------------------------------------------------

// A DCB whose bits are set exactly in the fields a profile may change.
DCB ProfileFieldMask() {
  DCB mask;
  std::memset(&mask, 0, sizeof mask);
  mask.BaudRate = 0xFFFFFFFF;
  mask.ByteSize = 0xFF;
  mask.Parity = 0xFF;
  mask.StopBits = 0xFF;
  mask.fParity = 1;
  mask.fOutxCtsFlow = 1;
  mask.fOutxDsrFlow = 1;
  mask.fDtrControl = 3;
  mask.fDsrSensitivity = 1;
  mask.fOutX = 1;
  mask.fInX = 1;
  mask.fRtsControl = 3;
  return mask;
}

void ExpectOnlyProfileFieldsChanged(const DCB& before, const DCB& after) {
  DCB mask = ProfileFieldMask();
  const BYTE* b = reinterpret_cast<const BYTE*>(&before);
  const BYTE* a = reinterpret_cast<const BYTE*>(&after);
  const BYTE* m = reinterpret_cast<const BYTE*>(&mask);
  for (size_t i = 0; i < sizeof(DCB); ++i)
    EXPECT_EQ(a[i] & ~m[i], b[i] & ~m[i]) << "byte " << i << " outside the profile changed";
}

void ExpectProfileValues(const DCB& dcb, bool ctsFlow) {
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, ctsFlow ? 1u : 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST_F(SerialLinkTest, ApplyLineProfileChangesOnlyItsFields) {
  struct {
    BYTE fill;
    LineProfile profile;
  } cases[] = {{0x00, PROBE_PROFILE}, {0xFF, PROBE_PROFILE}, {0x00, WRITE_PROFILE}, {0xFF, WRITE_PROFILE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "fill " << int(c.fill) << " profile " << c.profile);
    std::memset(&port->dcb, c.fill, sizeof port->dcb);
    ASSERT_TRUE(SaveLineSettings(&link));
    ASSERT_TRUE(ApplyLineProfile(&link, c.profile));
    ExpectProfileValues(port->dcb, c.profile == WRITE_PROFILE);
    DCB before;
    std::memset(&before, c.fill, sizeof before);
    ExpectOnlyProfileFieldsChanged(before, port->dcb);
    EXPECT_EQ(std::memcmp(&port->dcb, &link.workingDcb, sizeof(DCB)), 0);
    EXPECT_EQ(std::memcmp(&before, &link.savedDcb, sizeof(DCB)), 0) << "the saved copy changed";
  }
}

TEST(SetLineProfileFields, ProfilesDifferOnlyInCtsFlow) {
  for (BYTE fill : {BYTE(0x00), BYTE(0xFF), BYTE(0x5A)}) {
    DCB probe, write;
    std::memset(&probe, fill, sizeof probe);
    std::memset(&write, fill, sizeof write);
    SetLineProfileFields(&probe, PROBE_PROFILE);
    SetLineProfileFields(&write, WRITE_PROFILE);
    EXPECT_EQ(probe.fOutxCtsFlow, 0u);
    EXPECT_EQ(write.fOutxCtsFlow, 1u);
    write.fOutxCtsFlow = 0;
    EXPECT_EQ(std::memcmp(&probe, &write, sizeof(DCB)), 0) << int(fill);
  }
}

TEST_F(SerialLinkTest, RestoreLineSettingsWritesBackTheSavedCopy) {
  const DCB original = port->dcb;  // the simulated port starts with CTS flow on
  ASSERT_EQ(original.fOutxCtsFlow, 1u);
  ASSERT_TRUE(SaveLineSettings(&link));
  ASSERT_TRUE(ApplyLineProfile(&link, PROBE_PROFILE));
  EXPECT_EQ(port->dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(link.savedDcb.fOutxCtsFlow, 1u);
  RestoreLineSettings(&link);
  EXPECT_EQ(std::memcmp(&port->dcb, &original, sizeof(DCB)), 0);
}

TEST_F(SerialLinkTest, SettingsCallFailuresAreReported) {
  port->failGetCommState = 1;
  EXPECT_FALSE(SaveLineSettings(&link));
  port->failSetCommState = 1;
  EXPECT_FALSE(ApplyLineProfile(&link, WRITE_PROFILE));
  port->failGetCommTimeouts = 1;
  EXPECT_FALSE(SaveTimeouts(&link));
  port->failSetCommTimeouts = 1;
  EXPECT_FALSE(ApplyTimeouts(&link, WRITE_TIMEOUTS));
}

// --- timeouts ----------------------------------------------------------------

TEST_F(SerialLinkTest, TimeoutSetsAndRestore) {
  struct {
    TimeoutSet set;
    DWORD writeConstant;
  } cases[] = {{WRITE_TIMEOUTS, 5000}, {PROBE_TIMEOUTS, 4000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.writeConstant);
    port->timeouts = {7, 7, 7, 7, 7};
    ASSERT_TRUE(SaveTimeouts(&link));
    ASSERT_TRUE(ApplyTimeouts(&link, c.set));
    const COMMTIMEOUTS& t = port->timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, c.writeConstant);
    RestoreTimeouts(&link);
    EXPECT_EQ(port->timeouts.ReadIntervalTimeout, 7u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutConstant, 7u);
  }
}

// --- purge and CTS -------------------------------------------------------------

TEST_F(SerialLinkTest, PurgeClearsBothSides) {
  PurgePort(&link);
  ASSERT_EQ(SimCountEvents("purge"), 1);
  EXPECT_EQ(SimEvents().back().value, 0x0Fu);
}

TEST_F(SerialLinkTest, IsCtsUpReadsTheCtsBit) {
  struct {
    DWORD modemStatus;
    int failAt;
    bool expected;
  } cases[] = {{MS_CTS_ON | MS_DSR_ON, 0, true}, {MS_CTS_ON, 0, true},
               {MS_DSR_ON, 0, false}, {MS_RING_ON, 0, false}, {MS_RLSD_ON, 0, false},
               {MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, 0, false}, {MS_CTS_ON, 1, false}};
  for (const auto& c : cases) {
    port->modemStatus = c.modemStatus;
    port->modemCalls = 0;
    port->failModemStatus = c.failAt;
    EXPECT_EQ(IsCtsUp(&link), c.expected) << c.modemStatus << " " << c.failAt;
  }
}

// --- writes -------------------------------------------------------------------

TEST_F(SerialLinkTest, WriteExactSucceedsOnlyWhenEveryByteIsTaken) {
  const Bytes& command = expected::EnterCommand;
  struct {
    const char* name;
    int failWrite, shortWrite;
    bool ctsDown, expected;
  } cases[] = {
      {"whole", 0, 0, false, true},
      {"short", 0, 1, false, false},
      {"failed", 1, 0, false, false},
      {"CTS held down until the write timeout", 0, 0, true, false},
  };
  for (const auto& c : cases) {
    port->writeCalls = 0;
    port->failWrite = c.failWrite;
    port->shortWriteAt = c.shortWrite;
    port->modemStatus = c.ctsDown ? MS_DSR_ON : MS_CTS_ON | MS_DSR_ON;
    port->dcb.fOutxCtsFlow = 1;
    port->written.clear();
    EXPECT_EQ(WriteExact(&link, command.data(), static_cast<DWORD>(command.size())), c.expected)
        << c.name;
    if (c.expected) {
      EXPECT_EQ(port->written, command) << c.name;
    }
  }
}

// --- draining -----------------------------------------------------------------

TEST_F(SerialLinkTest, DrainIdlePortMakesExactlyTwoReads) {
  EXPECT_TRUE(DrainInput(&link));
  EXPECT_EQ(ReadSizes(), std::vector<DWORD>(2, expected::DrainReadSize));
  EXPECT_EQ(SimNow(), 0u);
}

TEST_F(SerialLinkTest, DrainKeepsReadingWhileBytesArrive) {
  SimQueueBytes(port, 0, Counting(200));  // 64 + 64 + 64 + 8, then empty
  EXPECT_TRUE(DrainInput(&link));
  EXPECT_EQ(Reads(), 5);
  EXPECT_TRUE(port->pending.empty());
}

TEST_F(SerialLinkTest, DrainStopsAtTheFirstEmptyReadAfterTheFirst) {
  SimQueueBytes(port, 0, Counting(64));  // the first read takes them all
  EXPECT_TRUE(DrainInput(&link));
  EXPECT_EQ(Reads(), 2);
}

TEST_F(SerialLinkTest, DrainFailsOnAnyReadFailure) {
  for (int failAt : {1, 2, 3}) {
    Restart();
    SimQueueBytes(port, 0, Counting(100));
    port->failRead = failAt;
    EXPECT_FALSE(DrainInput(&link)) << failAt;
    EXPECT_EQ(Reads(), failAt);
  }
}

// --- reply collection -----------------------------------------------------------

TEST_F(SerialLinkTest, SilentDeviceGetsExactlyFiftyPolls) {
  DWORD count = 99;
  EXPECT_TRUE(ReadReply(&link, 4, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Reads(), expected::ReplySilentPolls);
  EXPECT_EQ(SimCountEvents("sleep"), expected::ReplySilentPolls);
  EXPECT_EQ(SimNow(), expected::ReplySilentPolls * expected::ReplyPollMs);
}

TEST_F(SerialLinkTest, ReplyInOneReadMayExceedTheMinimum) {
  std::memset(ReceiveBuffer, 0xEE, ReceiveBufferSize);
  SimQueueBytes(port, 0, expected::Concat({EnterAccepted, {0x41, 0x42}}));
  DWORD count = 0;
  EXPECT_TRUE(ReadReply(&link, 4, &count));
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(Bytes(ReceiveBuffer, ReceiveBuffer + 7), expected::Concat({EnterAccepted, {0x41, 0x42, 0xEE}}));
  EXPECT_EQ(SimNow(), 0u);
}

// A 4-byte reply in two halves: the silence allowance starts again after the
// first half, so the second one may come up to 50 polls after it.
TEST_F(SerialLinkTest, ReplyInTwoPiecesRestartsTheSilenceAllowance) {
  struct {
    uint64_t firstAt, gap;
    DWORD count;
    uint64_t endsAt;
  } cases[] = {
      {0, 300, 4, 301},        // 1 ms pause, then polls at 1, 101, 201, 301
      {4900, 300, 4, 5201},    // would miss without the restart
      {0, 4900, 4, 4901},      // caught by the 50th poll after the piece
      {0, 5001, 2, 5001},      // too late: 50 empty polls after the piece
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstAt << "+" << c.gap);
    Restart();
    SimQueueBytes(port, c.firstAt, Bytes(EnterAccepted.begin(), EnterAccepted.begin() + 2));
    SimQueueBytes(port, c.firstAt + c.gap, Bytes(EnterAccepted.begin() + 2, EnterAccepted.end()));
    DWORD count = 0;
    EXPECT_TRUE(ReadReply(&link, 4, &count));
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(SimNow(), c.endsAt);
    EXPECT_EQ(Bytes(ReceiveBuffer, ReceiveBuffer + c.count), Bytes(EnterAccepted.begin(), EnterAccepted.begin() + c.count));
  }
}

TEST_F(SerialLinkTest, ReadFailureEndsCollectionAtOnce) {
  struct {
    int failAt;
    int piecesBefore;
  } cases[] = {{1, 0}, {2, 1}, {3, 0}};
  for (const auto& c : cases) {
    Restart();
    if (c.piecesBefore) SimQueueBytes(port, 0, {0x28, 0x65});
    port->failRead = c.failAt;
    DWORD count = 0;
    EXPECT_FALSE(ReadReply(&link, 4, &count)) << c.failAt;
    EXPECT_EQ(Reads(), c.failAt);
  }
}

TEST_F(SerialLinkTest, FloodStopsAtTheBufferSize) {
  Bytes flood = Counting(6000);
  SimQueueBytes(port, 0, Bytes(flood.begin(), flood.begin() + 3000));
  SimQueueBytes(port, 50, Bytes(flood.begin() + 3000, flood.end()));
  DWORD count = 0;
  EXPECT_TRUE(ReadReply(&link, 5000, &count));
  const size_t bufferSize = expected::ReceiveBufferSize;
  ASSERT_EQ(count, bufferSize);  // before the buffer is read that far
  EXPECT_EQ(Bytes(ReceiveBuffer, ReceiveBuffer + bufferSize), Bytes(flood.begin(), flood.begin() + bufferSize));
  // Each read asks for no more than the room left.
  std::vector<DWORD> sizes = ReadSizes();
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.front(), bufferSize);
  EXPECT_EQ(sizes.back(), bufferSize - 3000);
  // What did not fit is left for the next drain.
  EXPECT_TRUE(DrainInput(&link));
  EXPECT_TRUE(port->pending.empty());
}

}  // namespace

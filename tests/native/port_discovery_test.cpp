// Port discovery against a simulated registry, ports and dialog: what is
// listed, which ports are probed in which order, what ends up in the field,
// and that no registry text or size can make it read or write out of bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"
#include "discovery/port_list.h"
#include "protocol_expected.h"
#include "sim_dialog.h"
#include "sim_port.h"
#include "sim_registry.h"

namespace {

using expected::LineDisplayKey;
using expected::PortListKey;

struct RegValue {
  DWORD type;
  Bytes data;
};

RegValue Sz(const std::string& text) { return {REG_SZ, SimSzData(text)}; }
RegValue Typed(DWORD type, const std::string& text) { return {type, SimSzData(text)}; }
RegValue RawSz(Bytes data) { return {REG_SZ, data}; }

Bytes Unterminated(const std::string& text) { return SimSzData(text, false); }
Bytes Joined(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

SimRegKey* AddPortList(const std::vector<RegValue>& values) {
  SimRegKey* key = SimAddRegKey(PortListKey);
  for (size_t i = 0; i < values.size(); ++i)
    SimAddRegValue(key, "\\Device\\Serial" + std::to_string(i), values[i].type, values[i].data);
  return key;
}

void Configure(const RegValue& port) {
  SimAddRegValue(SimAddRegKey(LineDisplayKey), "Port", port.type, port.data);
}

void AddDisplays(const std::vector<std::string>& names) {
  for (const std::string& name : names) SimAttachModule(SimAddPort(name));
}

// Ports that exist and hold CTS up but where nothing answers.
void AddSilentPorts(const std::vector<std::string>& names) {
  for (const std::string& name : names) SimAddPort(name);
}

// Every port the probe tried to open, in order, without the \\.\ prefix.
std::vector<std::string> Probed() {
  std::vector<std::string> names;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "open" || e.kind == "open-failed") names.push_back(e.port.substr(4));
  return names;
}

std::vector<std::string> ComboItems() {
  std::vector<std::string> items;
  for (const std::u16string& item : SimGetDialog()->comboItems) items.push_back(SimUtf8(item.c_str()));
  return items;
}

std::string Field() { return SimUtf8(SimGetDialog()->portText.c_str()); }

// Allocation seam for the tests: counts requests, refuses the n-th one, and
// refuses anything large, which a correct size never is here.
size_t RefusedRequest = 0;
std::vector<size_t> RequestedBytes;

void* TestAllocate(size_t count, size_t unitSize) {
  RequestedBytes.push_back(count * unitSize);
  if (RequestedBytes.size() == RefusedRequest || count * unitSize > (1u << 20)) return nullptr;
  return std::calloc(count, unitSize);
}

class PortDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimResetRegistry();
    SimResetDialog();
    RefusedRequest = 0;
    RequestedBytes.clear();
    DiscoveryAllocate = TestAllocate;
  }
  void TearDown() override {
    DiscoveryAllocate = original;
    CheckLeftovers();
  }
  void CheckLeftovers() {
    EXPECT_EQ(SimOpenKeyCount(), 0);
    EXPECT_EQ(SimOpenHandleCount(), 0);
    EXPECT_EQ(SimGetDialog()->portTextSets, Field().empty() ? 0 : 1);
  }
  void Discover() { DiscoverPorts(SimFrontEnd()); }

  DiscoveryAllocator original = DiscoveryAllocate;
};

struct DiscoveryCase {
  const char* what;
  bool hasPortList;
  std::vector<RegValue> listed;  // in enumeration order
  std::vector<RegValue> port;    // the "Port" value, if any
  std::vector<std::string> displays, silent;
  std::vector<std::string> combo, probed;
  std::string field;
};

TEST_F(PortDiscoveryTest, ListsPortsAndProbesConfiguredPortFirst) {
  const std::string long20 = "COM12345678901234567", name16 = "COMPORTNAME16CHR";
  const std::vector<DiscoveryCase> cases = {
      {"no port list key: configured port not tried", false, {}, {Sz("COM5")}, {"COM5"}, {},
       {}, {}, ""},
      {"port list without values: configured port tried", true, {}, {Sz("COM5")}, {"COM5"}, {},
       {}, {"COM5"}, "COM5"},
      {"configured port answers though unlisted", true, {Sz("COM1"), Sz("COM2")}, {Sz("COM7")},
       {"COM1", "COM2", "COM7"}, {}, {"COM1", "COM2"}, {"COM7"}, "COM7"},
      {"configured port listed but silent: probed once", true,
       {Sz("COM3"), Sz("COM1"), Sz("COM2")}, {Sz("COM1")}, {"COM2"}, {"COM3", "COM1"},
       {"COM3", "COM1", "COM2"}, {"COM1", "COM3", "COM2"}, "COM2"},
      {"first display in enumeration order wins", true, {Sz("COM9"), Sz("COM2")}, {},
       {"COM9", "COM2"}, {}, {"COM9", "COM2"}, {"COM9"}, "COM9"},
      {"only REG_SZ values are ports; another Port type skips nothing", true,
       {Typed(REG_DWORD, "COM1"), Typed(REG_EXPAND_SZ, "COM3"), Sz("COM6"),
        Typed(REG_MULTI_SZ, "COM4"), Sz("COM2")},
       {Typed(REG_EXPAND_SZ, "COM2")}, {"COM1", "COM2", "COM3", "COM4"}, {"COM6"},
       {"COM6", "COM2"}, {"COM6", "COM2"}, "COM2"},
      {"no display: a name listed twice is probed twice", true,
       {Sz("COM1"), Sz("COM2"), Sz("COM1")}, {Sz("COM2")}, {}, {"COM1", "COM2"},
       {"COM1", "COM2", "COM1"}, {"COM2", "COM1", "COM1"}, ""},
      {"names differing in case are both probed", true, {Sz("com3"), Sz("COM3")}, {Sz("COM3")},
       {"com3"}, {"COM3"}, {"com3", "COM3"}, {"COM3", "com3"}, "com3"},
      {"names over 16 characters are listed, not probed", true, {Sz(long20), Sz(name16)},
       {Sz("LONGCONFIGUREDPORT1")}, {"LONGCONFIGUREDPO", long20.substr(0, 16), name16}, {},
       {long20, name16}, {name16}, name16},
      {"line display key without Port", true, {Sz("COM1")}, {}, {"COM1"}, {}, {"COM1"},
       {"COM1"}, "COM1"},
      {"an empty name does not end the candidates", true, {Sz(""), Sz("COM5")}, {}, {"COM5"},
       {}, {"", "COM5"}, {"COM5"}, "COM5"},
      // Registry text that is not what it should be.
      {"listed data without terminator", true, {RawSz(Unterminated("COM1"))}, {}, {"COM1"}, {},
       {"COM1"}, {"COM1"}, "COM1"},
      {"listed data of an odd byte count", true,
       {RawSz(Joined(Unterminated("COM2"), {'X'})), RawSz(Joined(SimSzData("COM3"), {'Y'}))},
       {}, {}, {"COM2", "COM3"}, {"COM2", "COM3"}, {"COM2", "COM3"}, ""},
      {"listed data with text after its terminator", true,
       {RawSz(Joined(SimSzData("COM4"), SimSzData("junk")))}, {}, {"COM4"}, {}, {"COM4"},
       {"COM4"}, "COM4"},
      {"Port without terminator", true, {}, {RawSz(Unterminated("COM8"))}, {"COM8"}, {}, {},
       {"COM8"}, "COM8"},
      {"Port of an odd byte count", true, {}, {RawSz(Joined(Unterminated("COM7"), {'Z'}))},
       {"COM7"}, {}, {}, {"COM7"}, "COM7"},
      // 63 bytes fill all 32 units: no terminator, so no configured port.
      {"Port of 63 bytes", true, {Sz("COM1")},
       {RawSz(Joined(Unterminated("COM1" + std::string(27, 'x')), {'x'}))}, {"COM1"}, {},
       {"COM1"}, {"COM1"}, "COM1"},
      // Too long to read: what a failed read leaves in the buffer is no port.
      {"Port longer than 63 bytes", true, {Sz("COM2"), Sz("COM1")},
       {RawSz(Joined(SimSzData("COM1"), Bytes(60, 0)))}, {"COM2"}, {"COM1"}, {"COM2", "COM1"},
       {"COM2"}, "COM2"},
  };
  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    if (c.hasPortList) AddPortList(c.listed);
    for (const RegValue& port : c.port) Configure(port);
    AddDisplays(c.displays);
    AddSilentPorts(c.silent);
    Discover();
    EXPECT_EQ(ComboItems(), c.combo);
    EXPECT_EQ(Probed(), c.probed);
    EXPECT_EQ(Field(), c.field);
    CheckLeftovers();
  }
}

TEST_F(PortDiscoveryTest, PortListKeyThatCannotBeReadStopsEverything) {
  for (bool failOpen : {true, false}) {
    SCOPED_TRACE(failOpen ? "open refused" : "query refused");
    SetUp();
    SimRegKey* key = AddPortList({Sz("COM1")});
    (failOpen ? key->openResult : key->queryInfoResult) = ERROR_ACCESS_DENIED;
    Configure(Sz("COM5"));
    AddDisplays({"COM1", "COM5"});
    Discover();
    EXPECT_TRUE(ComboItems().empty());
    EXPECT_TRUE(Probed().empty());
    CheckLeftovers();
  }
}

TEST_F(PortDiscoveryTest, LineDisplayKeyThatCannotBeOpenedLeavesTheList) {
  AddPortList({Sz("COM1")});
  Configure(Sz("COM5"));
  SimFindRegKey(LineDisplayKey)->openResult = ERROR_ACCESS_DENIED;
  AddDisplays({"COM1", "COM5"});
  Discover();
  EXPECT_EQ(Probed(), std::vector<std::string>{"COM1"});
}

// Before every enumeration call both buffers are clear and both sizes full.
TEST_F(PortDiscoveryTest, EveryReadStartsFromClearBuffersAndFullSizes) {
  AddPortList({Sz("COM1"), Typed(REG_DWORD, "x"), Sz("COM12"), Sz("C")});  // longest: 12 bytes
  Configure(Sz("COM5"));
  Discover();
  int enumCalls = 0;
  for (const SimRegCall& call : SimRegCalls()) {
    if (call.kind == "enum") {
      SCOPED_TRACE(call.index);
      enumCalls++;
      EXPECT_TRUE(call.buffersClear);
      EXPECT_EQ(call.nameLength, 16u);  // \Device\Serial3 and its terminator
      EXPECT_EQ(call.dataBytes, 14u);   // (12 / 2 + 1) units
    }
    if (call.kind == "query") {
      EXPECT_TRUE(call.buffersClear);
      EXPECT_EQ(call.dataBytes, 63u);
    }
  }
  EXPECT_EQ(enumCalls, 5);  // four values, then no more items
  EXPECT_EQ(SimRegCalls().back().result, ERROR_SUCCESS);
  EXPECT_EQ(SimCountRegCalls("close"), 2);
}

// Without its buffers discovery lists nothing, but still tries the configured port.
TEST_F(PortDiscoveryTest, BuffersThatCannotBeObtainedStillTryTheConfiguredPort) {
  for (size_t refused = 1; refused <= 3; ++refused) {
    for (bool configuredAnswers : {true, false}) {
      SCOPED_TRACE(std::to_string(refused) + (configuredAnswers ? " answers" : " silent"));
      SetUp();
      RefusedRequest = refused;
      AddPortList({Sz("COM1"), Sz("COM2")});
      Configure(Sz("COM5"));
      AddDisplays({"COM1", "COM2"});
      (configuredAnswers ? AddDisplays : AddSilentPorts)({"COM5"});
      Discover();
      EXPECT_TRUE(ComboItems().empty());
      EXPECT_EQ(Probed(), std::vector<std::string>{"COM5"});
      EXPECT_EQ(Field(), configuredAnswers ? "COM5" : "");
      CheckLeftovers();
    }
  }
}

// Sizes whose products do not fit 32 bits count as buffers that cannot be
// had; wrapped round they would give short ones.
TEST_F(PortDiscoveryTest, SizesThatOverflowCountAsBuffersNotObtained) {
  struct Sizes {
    DWORD valueCount, maxNameLength, maxDataBytes;
  };
  const std::vector<Sizes> cases = {
      {2, MAXDWORD, 4},           // name + 1 wraps to 0
      {2, 16, MAXDWORD},          // 2 × D bytes wraps to 0
      {0x80000001u, 16, 2},       // D × count wraps to 2 units
      {0x40000000u, 16, 2},       // D × count + 1 units, in bytes, wraps to 2
  };
  for (const Sizes& s : cases) {
    SCOPED_TRACE(s.valueCount);
    SetUp();
    SimRegKey* key = AddPortList({Sz("A"), Sz("B"), Sz("C")});
    key->reportStaleInfo = true;
    key->reportedValueCount = s.valueCount;
    key->reportedMaxNameLength = s.maxNameLength;
    key->reportedMaxDataBytes = s.maxDataBytes;
    Configure(Sz("COM5"));
    AddDisplays({"COM5"});
    Discover();
    EXPECT_TRUE(ComboItems().empty());
    EXPECT_EQ(Field(), "COM5");
    for (size_t bytes : RequestedBytes) {
      EXPECT_GE(bytes, 2u);
      EXPECT_LE(bytes, 1u << 20);
    }
    CheckLeftovers();
  }
}

// Sizes measured before values were added or grew: 10 data bytes reported
// give a data buffer of 6 units, and one value reported a candidate list of
// 6 + 1 units. Every value still read stays within them.
TEST_F(PortDiscoveryTest, ValuesChangedAfterMeasuringStayInTheirBuffers) {
  struct Case {
    const char* what;
    DWORD valueCount;  // as reported
    std::vector<RegValue> listed;
    std::vector<std::string> combo, probed;
  };
  const std::vector<Case> cases = {
      {"values added after measuring are listed but not probed", 1, {Sz("COM1"), Sz("COM2"), Sz("COM3")},
       {"COM1", "COM2", "COM3"}, {"COM1"}},
      // 12 bytes each: the last unit becomes the terminator.
      {"values that fill the data buffer exactly", 2, {Sz("COM12"), RawSz(Unterminated("COM456"))},
       {"COM12", "COM45"}, {"COM12", "COM45"}},
      // After COM1 two units are left: room for C, but not for the list's end.
      {"a candidate one unit short of room", 1, {Sz("COM1"), Sz("C")}, {"COM1", "C"}, {"COM1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    SimRegKey* key = AddPortList(c.listed);
    key->reportStaleInfo = true;
    key->reportedValueCount = c.valueCount;
    key->reportedMaxNameLength = 15;
    key->reportedMaxDataBytes = 10;
    AddSilentPorts(c.combo);
    Discover();
    EXPECT_EQ(ComboItems(), c.combo);
    EXPECT_EQ(Probed(), c.probed);
    CheckLeftovers();
  }
}

// The console program's list from the same keys: what the dialog would list
// and try, in its order, without probing anything.
TEST_F(PortDiscoveryTest, ConsolePortListReadsTheSameKeysWithoutProbing) {
  struct Case {
    bool hasPortList;
    std::vector<RegValue> listed, port;
    std::u16string configured;
    std::vector<std::u16string> names;
  } const cases[] = {
      {false, {}, {Sz("COM5")}, u"", {}},  // no list: not even the configured port
      {true, {Sz("COM9"), Typed(REG_DWORD, "COM1"), Sz(""), Sz("COM2")}, {Sz("COM5")}, u"COM5", {u"COM9", u"COM2"}},
      {true, {Sz("COM1")}, {Typed(REG_EXPAND_SZ, "COM3")}, u"", {u"COM1"}},
  };
  for (const Case& c : cases) {
    SetUp();
    if (c.hasPortList) AddPortList(c.listed);
    for (const RegValue& port : c.port) Configure(port);
    AddDisplays({"COM1", "COM2", "COM5", "COM9"});
    PortList list;
    ReadPortList(&list);
    EXPECT_EQ(list.configured, c.configured);
    EXPECT_EQ(list.listed, c.names);
    EXPECT_TRUE(Probed().empty() && SimGetDialog()->comboItems.empty());
    CheckLeftovers();
  }
}

}  // namespace

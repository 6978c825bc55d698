// The POSIX serial port operations under the real serial link logic, against
// the display emulator on a pseudo-terminal (modem lines through the
// modem-lines fixture), and the POSIX port list over a fake /dev tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "discovery/port_list.h"
#include "emulator_process.h"
#include "protocol_expected.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"


namespace {

namespace fs = std::filesystem;

// Windows error codes, written out here rather than taken from win_types.h.
const DWORD ErrorInvalidFunction = 1;
const DWORD ErrorFileNotFound = 2;
const DWORD ErrorSharingViolation = 32;

std::u16string DevicePath(const std::string& path) {
  return u"\\\\.\\" + std::u16string(path.begin(), path.end());
}

// The line's settings, changed first when asked: the emulator keeps the pty
// open, so they stay for the next open, as an earlier program's would.
termios Line(const std::string& path, void (*change)(termios*) = nullptr) {
  termios settings{};
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &settings);
  if (change != nullptr) change(&settings), tcsetattr(fd, TCSANOW, &settings);
  close(fd);
  return settings;
}

class EmulatedDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE((dir = MakeTempDir()).empty());
    ASSERT_TRUE(StartEmulator(dir, "port", &emulator));
    link = emulator.link;
  }
  void TearDown() override {
    StopEmulator(&emulator);
    fs::remove_all(dir);
  }
  bool Control(const std::string& command) { return EmulatorControl(&emulator, command); }
  bool LogHas(const std::vector<std::string>& parts) { return EmulatorLogHas(emulator, parts); }
  // Opened and set up as the write sequence does it.
  void OpenForWriting(SerialLink* serial) {
    ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), serial));
    ASSERT_TRUE(SaveLineSettings(serial));
    ASSERT_TRUE(ApplyLineProfile(serial, WRITE_PROFILE));
    ASSERT_TRUE(ApplyTimeouts(serial, WRITE_TIMEOUTS));
  }
  // The module's answer to the enter command, in hex.
  std::string Enter(SerialLink* serial) {
    const expected::ByteList& enter = expected::EnterCommand;
    DWORD count = 0;
    bool ok = DrainInput(serial) && WriteExact(serial, enter.data(), static_cast<DWORD>(enter.size())) &&
              ReadReply(serial, static_cast<DWORD>(expected::EnterAccepted.size()), &count);
    return ok ? HexOf(ReceiveBuffer, count) : "failed";
  }

  EmulatorProcess emulator;
  std::string dir, link;
};

// The line starts foreign (9600, two stop bits, CR translation: more than a
// DCB says) and is exactly that again after the exchange.
TEST_F(EmulatedDisplay, WriteProfileReachesTheLineAndTheSettingsComeBackExactly) {
  Line(link, [](termios* line) {
    cfsetspeed(line, B9600);
    line->c_cflag |= CSTOPB;
    line->c_iflag |= ICRNL;
  });
  termios before = Line(link);
  ASSERT_EQ(cfgetospeed(&before), static_cast<speed_t>(B9600));

  SerialLink serial;
  ASSERT_NO_FATAL_FAILURE(OpenForWriting(&serial));
  EXPECT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  RestoreLineSettings(&serial);
  ClosePort(&serial);

  termios after = Line(link);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0)
      << std::oct << "cflag " << before.c_cflag << " became " << after.c_cflag;
  EXPECT_TRUE(LogHas({"\"rx\"", LogHex(expected::EnterCommand)}));
  EXPECT_TRUE(LogHas({"\"name\":\"enter\"", "\"baud\":38400", "\"data_bits\":8", "\"parity\":\"none\"",
                      "\"stop_bits\":1", "\"crtscts\":true", "\"dtr\":true"}));
}

TEST_F(EmulatedDisplay, HeldNonTerminalAndMissingPortsAreRefused) {
  SerialLink held, second, file;
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &held));
  EXPECT_FALSE(OpenPort(DevicePath(link).c_str(), &second));
  EXPECT_EQ(PortGetLastError(), ErrorSharingViolation);
  ClosePort(&held);
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &second));
  ClosePort(&second);

  std::string plain = dir + "/plain";
  std::ofstream(plain).flush();
  ASSERT_TRUE(OpenPort(DevicePath(plain).c_str(), &file));
  EXPECT_FALSE(SaveLineSettings(&file));
  EXPECT_EQ(PortGetLastError(), ErrorInvalidFunction);
  ClosePort(&file);
  EXPECT_EQ(fs::file_size(plain), 0u);

  EXPECT_FALSE(OpenPort(DevicePath(dir + "/absent").c_str(), &file));
  EXPECT_EQ(PortGetLastError(), ErrorFileNotFound);
}

// A cooked 38400 8N1 line gives the same DCB as the probe profile; applying
// the profile must still make it raw, or the reply would wait for a newline.
TEST_F(EmulatedDisplay, ProbeLineIsRawAndCtsFollowsTheModule) {
  Line(link, [](termios* line) { line->c_lflag |= ICANON | ECHO; });
  SerialLink serial;
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &serial));
  ASSERT_TRUE(SaveLineSettings(&serial));
  ASSERT_TRUE(ApplyLineProfile(&serial, PROBE_PROFILE));
  EXPECT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  EXPECT_TRUE(IsCtsUp(&serial));
  ASSERT_TRUE(Control("mode cts-down"));
  EXPECT_FALSE(IsCtsUp(&serial));
  RestoreLineSettings(&serial);
  ClosePort(&serial);
}

// The emulator hangs up after the first record byte: the next read fails at
// once (no reply wait) and so does the next write.
TEST_F(EmulatedDisplay, HungUpLineFailsReadsAndWrites) {
  ASSERT_TRUE(Control("mode hangup 1"));
  SerialLink serial;
  ASSERT_NO_FATAL_FAILURE(OpenForWriting(&serial));
  ASSERT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  expected::ByteList writeStart = expected::WriteCommand;
  writeStart.push_back(expected::DefaultSpeedCode);
  ASSERT_TRUE(WriteExact(&serial, writeStart.data(), static_cast<DWORD>(writeStart.size())));
  ASSERT_TRUE(LogHas({"\"event\":\"hangup\""}));
  DWORD count = 0;
  EXPECT_FALSE(ReadReply(&serial, static_cast<DWORD>(expected::WriteConfirmed.size()), &count));
  const expected::ByteList& exit = expected::ExitCommand;
  EXPECT_FALSE(WriteExact(&serial, exit.data(), static_cast<DWORD>(exit.size())));
  ClosePort(&serial);
}

// Nobody reads this pty, so it stops taking bytes: the write ends at its
// deadline as a short write, as with a module that holds CTS down.
TEST(PosixPortWrite, EndsAtTheDeadlineAsAShortWrite) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
  SerialLink serial;
  ASSERT_TRUE(OpenPort(DevicePath(ptsname(master)).c_str(), &serial));
  ASSERT_TRUE(SaveLineSettings(&serial) && ApplyLineProfile(&serial, WRITE_PROFILE));
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 200};
  ASSERT_TRUE(PortSetCommTimeouts(serial.handle, &timeouts));
  std::vector<BYTE> bytes(1 << 20, 0x55);
  DWORD written = 0;
  EXPECT_TRUE(PortWriteFile(serial.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, bytes.size());
  ClosePort(&serial);
  close(master);
}

TEST(PosixPortList, ConfiguredPortThenDevicesInNaturalOrder) {
  std::string root = MakeTempDir();
  ASSERT_FALSE(root.empty());
  fs::create_directories(root + "/serial/by-id");
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "tty0", "console"})
    std::ofstream(root + "/" + name).flush();
  std::string byId = root + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0";
  fs::create_symlink("../../ttyUSB1", byId);
  std::ofstream(root + "/conf") << "# the display\n\n  port = /dev/ttyS9 \nport=/dev/ttyUSB3\t\n#port=/x\n";
  setenv("VFDSTARTUP_CONF", (root + "/conf").c_str(), 1);
  setenv("VFDSTARTUP_DEV_ROOT", root.c_str(), 1);

  PortList list;
  ReadPortList(&list);
  EXPECT_EQ(list.configured, u"/dev/ttyUSB3");
  std::vector<std::u16string> listed;
  for (std::string path : {byId, root + "/ttyS2", root + "/ttyS10", root + "/ttyUSB0", root + "/ttyACM0"})
    listed.emplace_back(path.begin(), path.end());
  EXPECT_EQ(list.listed, listed);

  setenv("VFDSTARTUP_CONF", (root + "/absent").c_str(), 1);
  ReadPortList(&list);
  EXPECT_TRUE(list.configured.empty());
  unsetenv("VFDSTARTUP_CONF");
  unsetenv("VFDSTARTUP_DEV_ROOT");
  fs::remove_all(root);
}

}  // namespace

// ld.so loads LD_PRELOAD only at exec, so the program runs itself once more
// with the modem-lines fixture (ASan would object to coming second).
int main(int argc, char** argv) {
  if (getenv("VFD_POSIX_TESTS_PRELOADED") == nullptr) {
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", VFD_MODEM_LINES, 1);
    setenv("VFD_POSIX_TESTS_PRELOADED", "1", 1);
    execv("/proc/self/exe", argv);
    perror("execv /proc/self/exe");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// vfdstartup-cli.exe under Wine, run as a deployment script would run it,
// against the rig's emulated displays on COM1 and COM2: the real Windows
// serial and registry code under the console program.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "protocol_expected.h"
#include "rig_client.h"
#include "rig_fixture.h"

namespace {

struct ProgramRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
};

// The build's Linux path, reached through drive Z:.
std::wstring ProgramPath() {
  std::string path = VFD_CLI;
  std::wstring wide = L"Z:";
  for (char c : path) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return wide;
}

ProgramRun RunCli(const std::wstring& arguments) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + ProgramPath() + L"\" " + arguments;
  BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(writeEnd);
  char buffer[4096];
  DWORD got = 0;
  while (started && ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) run.out.append(buffer, got);
  CloseHandle(readEnd);
  if (!started) return run;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return run;
}

class Win32ConsoleProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RigAvailable()) << "run inside the Wine rig (tools/wine-rig/rig.sh run)";
    ASSERT_TRUE(ResetRigState());
  }
  void TearDown() override { ResetRigState(); }
};

// The port list comes from the registry, COM1 before COM2; COM1 holds CTS
// down, so the display on COM2 is the one a write would use.
TEST_F(Win32ConsoleProgram, FindsTheDisplayAndWritesItsRecord) {
  ASSERT_TRUE(Emulator(L"COM1", {"mode cts-down"}));
  ProgramRun find = RunCli(L"find --json");
  EXPECT_EQ(find.exitCode, 0u) << find.out;
  EXPECT_NE(find.out.find("\"candidates\": [{\"port\": \"COM1\", \"verdict\": \"cts_down\"}, "
                          "{\"port\": \"COM2\", \"verdict\": \"found\"}]"),
            std::string::npos)
      << find.out;
  EXPECT_NE(find.out.find("\"chosen\": \"COM2\""), std::string::npos);

  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  char stateDir[MAX_PATH];
  GetTempPathA(MAX_PATH, stateDir);
  ProgramRun write = RunCli(L"write --port \\\\.\\COM2 --row0 Wine --speed 500ms --json --state-dir " +
                            std::wstring(stateDir, stateDir + strlen(stateDir)) + L"vfd-cli-state");
  expected::ByteList record = expected::Record(0x15, "Wine", expected::DefaultRow1);
  EXPECT_EQ(write.exitCode, 0u) << write.out;
  EXPECT_NE(write.out.find("\"outcome\": \"stored\""), std::string::npos) << write.out;
  EXPECT_NE(write.out.find("\"record\": \"" + HexDigitsOf(record) + "\""), std::string::npos) << write.out;
  EXPECT_EQ(HexOf(RigStoredRecord(L"COM2")), HexOf(record));
  EXPECT_EQ(CommandNames(L"COM2"), (std::vector<std::string>{"enter", "query", "write", "exit"}));
  EXPECT_TRUE(ReceivedBytes(L"COM1").empty()) << "bytes sent to a port with CTS down";
}

}  // namespace

// vfdstartup-cli.exe under Wine, run as a deployment script would run it,
// against the rig's emulated displays on COM1 and COM2: the real Windows
// serial and registry code under the console program.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol_expected.h"
#include "records/state_access_win32.h"
#include "rig_client.h"
#include "rig_fixture.h"

namespace {

std::string TextOfFile(const std::wstring& path) {
  std::string text;
  if (FILE* file = _wfopen(path.c_str(), L"rb")) {
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

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

// withoutStdErr: started with no standard error at all.
ProgramRun RunCli(const std::wstring& arguments, bool withoutStdErr = false) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = withoutStdErr ? nullptr : writeEnd;
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
  EXPECT_NE(find.out.find("\"candidates\": [{\"port\": \"COM1\", \"verdict\": \"cts_down\""), std::string::npos)
      << find.out;
  EXPECT_NE(find.out.find("{\"port\": \"COM2\", \"verdict\": \"found\""), std::string::npos) << find.out;
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

  // On Windows a person reads the dialog's box without asking for it.
  ProgramRun human = RunCli(L"factory-default --port COM2 --state-dir " +
                            std::wstring(stateDir, stateDir + strlen(stateDir)) + L"vfd-cli-state");
  EXPECT_EQ(human.exitCode, 0u) << human.out;
  EXPECT_NE(human.out.find("message box \"Success.\": Factory default restored."), std::string::npos)
      << human.out;
}

// %ProgramData%\vfdstartup\message.conf holding these bytes: its path, and
// its directory in *dir ("" when it could not be written).
std::wstring WriteMessageFile(const std::string& bytes, std::wstring* dir) {
  wchar_t programData[MAX_PATH];
  if (GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH) == 0) return L"";
  *dir = std::wstring(programData) + L"\\vfdstartup";
  CreateDirectoryW(dir->c_str(), nullptr);
  std::wstring file = *dir + L"\\message.conf";
  return WriteTextFile(file, bytes) ? file : L"";
}

std::wstring TempDir(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + name;
}

std::string DaclOf(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return "";
  LPSTR text = nullptr;
  std::string sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &text, nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return sddl;
}

// COM1 to COM9 name devices wherever they appear in a path: a state file
// named after the port would be the port itself. The state is kept under a
// name of its own, in a directory ordinary accounts cannot write.
TEST_F(Win32ConsoleProgram, TheStateOfComTwoIsAFileNotThePort) {
  std::wstring stateDir = TempDir(L"vfd-cli-com-state");
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  ProgramRun write = RunCli(L"write --port COM2 --row0 Kept --json --state-dir " + stateDir);
  EXPECT_EQ(write.exitCode, 0u) << write.out;
  EXPECT_NE(write.out.find("\"warnings\": []"), std::string::npos) << write.out;
  EXPECT_EQ(CommandNames(L"COM2"), (std::vector<std::string>{"enter", "query", "write", "exit"}));
  EXPECT_EQ(ReceivedBytes(L"COM2").size(), 6u + 5u + 4u + 128u + 7u) << "more than the exchange reached the display";
  DWORD attributes = GetFileAttributesW((stateDir + L"\\vfd-COM2.state").c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY));
  ProgramRun again = RunCli(L"write --port com2 --row0 Kept --if-changed --json --state-dir " + stateDir);
  EXPECT_NE(again.out.find("\"outcome\": \"unchanged\""), std::string::npos) << again.out;
  // Wine lists no Plug and Play device for its ports: the attachment is the
  // boot (the wineserver's start). A state of another boot does not count.
  std::string state = TextOfFile(stateDir + L"\\vfd-COM2.state");
  size_t attachment = state.find("\nattachment=boot ");
  ASSERT_NE(attachment, std::string::npos) << state;
  std::string earlier = state.substr(0, attachment) + "\nattachment=boot at 1\n";
  ASSERT_TRUE(WriteTextFile(stateDir + L"\\vfd-COM2.state", earlier));
  ProgramRun rebooted = RunCli(L"write --port com2 --row0 Kept --if-changed --json --state-dir " + stateDir);
  EXPECT_NE(rebooted.out.find("\"outcome\": \"stored\""), std::string::npos) << rebooted.out;

  // Started without standard error, with a row to warn of and a box to show.
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  ProgramRun bare = RunCli(L"write --port COM2 --row0 Caf\u00E9 -v --state-dir " + stateDir, true);
  EXPECT_EQ(bare.exitCode, 0u) << bare.out;
  EXPECT_EQ(HexOf(RigStoredRecord(L"COM2")), HexOf(expected::Record(0x13, "Cafe", expected::DefaultRow1)));
  EXPECT_EQ(ReceivedBytes(L"COM2").size(), 6u + 5u + 4u + 128u + 7u);

  // SYSTEM and Administrators may change it, Users only read it. Wine keeps a
  // file's rights as Unix mode bits, so what shows here is SYSTEM and the
  // owner with full control and nobody else with any: the Administrators and
  // Users entries themselves cannot be read back under Wine.
  std::string dacl = DaclOf(stateDir);
  std::printf("state directory DACL: %s\n", dacl.c_str());
  EXPECT_NE(dacl.find("(A;OICI;FA;;;SY)"), std::string::npos) << dacl;
  for (const char* anybody : {";;;WD)", ";;;AU)", "FA;;;BU)", "GA;;;BU)", "GW;;;BU)"})
    EXPECT_EQ(dacl.find(anybody), std::string::npos) << "ordinary accounts may change the state: " << dacl;
}

// apply reads %ProgramData%\vfdstartup\message.conf as Notepad saves it
// (a byte order mark, CRLF), stores its message once, and leaves a port the
// file does not name alone.
TEST_F(Win32ConsoleProgram, ApplyStoresTheMessageFileOnceOnItsPort) {
  const char text[] = "\xEF\xBB\xBFrow0 = Store 12\r\nrow1 = \"  Open 8-22\"\r\nspeed = 100ms\r\nport = COM2\r\n";
  std::wstring dir, file = WriteMessageFile(text, &dir);
  ASSERT_FALSE(file.empty());
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  std::wstring state = L" --state-dir " + TempDir(L"vfd-cli-apply-state");

  ProgramRun stored = RunCli(L"apply --json" + state);
  EXPECT_EQ(stored.exitCode, 0u) << stored.out;
  EXPECT_NE(stored.out.find("\"outcome\": \"stored\""), std::string::npos) << stored.out;
  EXPECT_EQ(HexOf(RigStoredRecord(L"COM2")), HexOf(expected::Record(0x11, "Store 12", "  Open 8-22")));
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  ProgramRun again = RunCli(L"apply" + state);
  EXPECT_EQ(again.out, "unchanged: the display on COM2 holds this message already\r\n");
  ProgramRun other = RunCli(L"apply --port COM1" + state);
  EXPECT_EQ(other.exitCode, 0u);
  EXPECT_NE(other.out.find("left alone: COM1 (not the port COM2 of "), std::string::npos) << other.out;
  EXPECT_TRUE(ReceivedBytes(L"COM2").empty() && ReceivedBytes(L"COM1").empty());
  // status opens no port and shows COM2's last run; the metrics file names it.
  ProgramRun status = RunCli(L"status --json" + state);
  EXPECT_EQ(status.exitCode, 0u) << status.out;
  for (const char* part : {"\"port\": \"COM2\"", "\"counts\": true", "\"rows\": [\"Store 12\", \"  Open 8-22\"]",
                           "\"outcome\": \"unchanged\", \"success\": true",
                           "\"success\": true, \"configured\": true, \"ports\""})
    EXPECT_NE(status.out.find(part), std::string::npos) << part << "\n" << status.out;
  CreateDirectoryW(TempDir(L"vfd-cli-metrics").c_str(), nullptr);
  std::wstring metrics = TempDir(L"vfd-cli-metrics") + L"\\vfdstartup.prom";
  ProgramRun recorded = RunCli(L"apply --metrics-file " + metrics + state);
  EXPECT_EQ(recorded.exitCode, 0u) << recorded.out;
  EXPECT_NE(TextOfFile(metrics).find("\nvfdstartup_last_outcome{port=\"COM2\",outcome=\"unchanged\"} 1\n"),
            std::string::npos) << TextOfFile(metrics);
  EXPECT_TRUE(ReceivedBytes(L"COM2").empty() && ReceivedBytes(L"COM1").empty());
  DeleteFileW(metrics.c_str());
  RemoveDirectoryW(TempDir(L"vfd-cli-metrics").c_str());
  DeleteFileW(file.c_str());
  RemoveDirectoryW(dir.c_str());
}

// The policy's key in one view of SOFTWARE, holding these REG_SZ values
// (Strict: a REG_DWORD); no values: the key removed.
bool SetPolicy(REGSAM view, const std::vector<std::pair<std::wstring, std::wstring>>& values) {
  const wchar_t path[] = L"SOFTWARE\\Policies\\vfdstartup";
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0);
  if (values.empty()) return true;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) != 0)
    return false;
  bool set = true;
  for (const auto& value : values) {
    DWORD number = value.second == L"1" ? 1 : 0;
    set = set && (value.first == L"Strict"
                      ? RegSetValueExW(key, value.first.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                       sizeof number)
                      : RegSetValueExW(key, value.first.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.second.c_str()),
                                       static_cast<DWORD>((value.second.size() + 1) * sizeof(wchar_t)))) == 0;
  }
  RegCloseKey(key);
  return set;
}

// Group Policy's client, a 64-bit process, writes the 64-bit view: the
// 32-bit program reads the policy there, prefers it to the message file, and
// names it as the source. SOFTWARE\Policies is shared between the views (as
// on Windows 7 and later), so a key written through the 32-bit view is the
// same policy. A bad value is named, exits 2 and sends nothing.
TEST_F(Win32ConsoleProgram, ApplyTakesThePolicyOfTheSixtyFourBitView) {
  const char text[] = "row0 = From file\r\nrow1 = x\r\nspeed = 100ms\r\nport = COM2\r\n";
  std::wstring dir, file = WriteMessageFile(text, &dir);
  ASSERT_FALSE(file.empty());
  std::wstring state = L" --state-dir " + TempDir(L"vfd-cli-policy-state");
  const std::vector<std::pair<std::wstring, std::wstring>> policy = {
      {L"Row0", L"From policy"}, {L"Row1", L"Shop 7"}, {L"Speed", L"500ms"}, {L"Port", L"COM2"}, {L"Strict", L"1"}};

  ProgramRun fromFile = RunCli(L"apply --validate --json");
  std::string fileJson;  // as JSON writes it: each backslash escaped
  for (wchar_t c : file) fileJson += c == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
  EXPECT_NE(fromFile.out.find("\"source\": \"" + fileJson + "\""), std::string::npos) << fromFile.out;
  ASSERT_TRUE(SetPolicy(KEY_WOW64_32KEY, policy));
  ProgramRun shared = RunCli(L"apply --validate --json");
  EXPECT_NE(shared.out.find("\"source\": \"policy\""), std::string::npos) << shared.out;
  ASSERT_TRUE(SetPolicy(KEY_WOW64_32KEY, {}));

  ASSERT_TRUE(SetPolicy(KEY_WOW64_64KEY, policy));
  ProgramRun valid = RunCli(L"apply --validate");
  EXPECT_EQ(valid.out, "the policy HKLM\\SOFTWARE\\Policies\\vfdstartup holds a valid message\r\n");
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  ProgramRun stored = RunCli(L"apply --json" + state);
  EXPECT_EQ(stored.exitCode, 0u) << stored.out;
  EXPECT_NE(stored.out.find("\"source\": \"policy\""), std::string::npos) << stored.out;
  EXPECT_EQ(HexOf(RigStoredRecord(L"COM2")), HexOf(expected::Record(0x15, "From policy", "Shop 7")));

  ASSERT_TRUE(SetPolicy(KEY_WOW64_64KEY, {{L"Row0", L"a"}, {L"Row1", L"b"}, {L"Speed", L"250ms"}}));
  ASSERT_TRUE(Emulator(L"COM2", {"reset-log"}));
  ProgramRun bad = RunCli(L"apply" + state);
  EXPECT_EQ(bad.exitCode, 2u);
  EXPECT_NE(bad.out.find("error: HKLM\\SOFTWARE\\Policies\\vfdstartup\\Speed: unknown speed '250ms'"), std::string::npos)
      << bad.out;
  EXPECT_TRUE(ReceivedBytes(L"COM2").empty() && ReceivedBytes(L"COM1").empty());
  SetPolicy(KEY_WOW64_64KEY, {});
  DeleteFileW(file.c_str());
  RemoveDirectoryW(dir.c_str());
}

// Which owners and access lists make a state directory one that ordinary
// accounts could have planted a state in. Wine cannot show this on a real
// directory (it keeps rights as Unix mode bits and reads back SYSTEM and the
// owner only), so the decision is checked over descriptors made in memory.
TEST(Win32StateAccess, OnlyTheSystemAndTheAdministratorsMayChangeTheState) {
  const std::wstring self = L"S-1-5-21-1-2-3-1001", other = L"S-1-5-21-1-2-3-1002";
  const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const struct {
    std::wstring sddl;
    bool others;
  } rows[] = {
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)", false},   // as the program makes it
      {L"O:" + self + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + self + L")", false},  // as Wine reads it back
      {L"O:" + installer + L"D:(A;;FA;;;" + installer + L")(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)", false},
      {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;SY)", false},                               // a denial changes nothing
      // Made by an ordinary user under %ProgramData%, with what it inherits there.
      {L"O:" + other + L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
                       L"(A;CIID;0x116;;;BU)(A;OICI;FA;;;" + other + L")", true},
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + other + L")", true},
      {L"O:BUD:P(A;OICI;FA;;;SY)", true},
      {L"O:BAD:(A;;0x2;;;BU)", true},                                             // may add a file
      {L"O:BAD:(A;;0x40;;;AU)", true},                                            // may delete one
      {L"O:BAD:(A;;GW;;;WD)", true},
      {L"O:BAD:(A;;WD;;;BU)", true},                                              // may change the rights
  };
  PSID selfSid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(self.c_str(), &selfSid));
  for (const auto& row : rows) {
    std::string sddl(row.sddl.begin(), row.sddl.end());
    SCOPED_TRACE(sddl);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::string who;
    EXPECT_EQ(AccessLetsOthersChange(owner, present ? dacl : nullptr, selfSid, &who), row.others) << who;
    LocalFree(descriptor);
  }
  // No access list at all lets everybody in (Wine's parser makes an empty one
  // of "D:NO_ACCESS_CONTROL", so it is given here as Windows gives it).
  std::string who;
  EXPECT_TRUE(AccessLetsOthersChange(nullptr, nullptr, selfSid, &who));
  LocalFree(selfSid);
}

// The help speaks of Windows: its registry, %ProgramData% and the policy,
// which wins over the message file.
TEST_F(Win32ConsoleProgram, HelpSpeaksOfWindows) {
  ProgramRun help = RunCli(L"--help");
  EXPECT_EQ(help.exitCode, 0u);
  for (const char* part : {"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "%ProgramData%\\vfdstartup", "COM3",
                           "HKLM\\SOFTWARE\\Policies\\vfdstartup, when it holds a row: the policy wins over\r\n"
                           "the message file"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part << "\n" << help.out;
  for (const char* part : {"/dev/", "/etc/vfdstartup.conf", "dialout"})
    EXPECT_EQ(help.out.find(part), std::string::npos) << part;
}

}  // namespace

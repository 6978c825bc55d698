// What the fleet learns of a run: the last run kept per port (while the
// port is still held), what status shows after each kind of run, the
// metrics text and the journal entry.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/console_frontend.h"
#include "job/display_job.h"
#include "job/forget_job.h"
#include "job_request.h"
#include "job/message_rows.h"
#include "records/port_status.h"
#include "records/record_rule.h"
#include "records/run_exports.h"
#include "job/run_record.h"
#include "protocol/startup_view.h"
#include "protocol_expected.h"
#include "sim_port.h"
#include "sim_registry.h"
#include "text/utf_convert.h"

namespace {

namespace fs = std::filesystem;

std::string TextOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class RunRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimResetRegistry();
    unsetenv("VFDSTARTUP_PORTS");
    SimRegKey* list = SimAddRegKey(expected::PortListKey);
    for (const char* name : {"COM3", "COM4"}) SimAddRegString(list, name, name), SimAddPort(name);
    char name[] = "/tmp/vfd-run-record-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
    places = {dir + "/state", "", ""};
    Boot("boot-1");
    setenv("VFDSTARTUP_BOOT_ID", (dir + "/boot_id").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VFDSTARTUP_BOOT_ID");
    fs::remove_all(dir);
  }
  // The boot the kept state's attachment names.
  void Boot(const std::string& id) { std::ofstream(dir + "/boot_id") << id << "\n"; }
  WriteJobRequest Request(const std::string& row0, const char* port = "COM3") {
    WriteJobRequest request = WriteRequestFor(row0, port, 1, places.stateDir);
    request.command = "apply";
    return request;
  }
  // A run as the console program makes it: the job, then its record
  // (none for --check).
  JobReport Run(const WriteJobRequest& request) {
    FrontEnd frontEnd;
    ResetConsoleFrontEnd(&frontEnd);
    JobReport report;
    RunWriteJob(request, &frontEnd, &report);
    if (request.check) return report;
    RecordRun(places, request.command, &report);
    TellJournal(places, request.command, report);
    return report;
  }
  std::vector<PortStatus> Statuses() {
    std::vector<PortStatus> statuses;
    std::string reason;
    EXPECT_TRUE(ReadPortStatuses(places.stateDir, nullptr, &statuses, &reason)) << reason;
    return statuses;
  }

  std::string dir;
  RunRecordPlaces places;
};

// What status shows after each run, one row a run, in order on COM3 (no
// outcome: the last run is left as it was). A port left alone is never
// shown.
TEST_F(RunRecord, StatusAfterEachRun) {
  SimModule* display = SimAttachModule(SimFindPort("COM3"));
  struct Shown {
    const char* what;
    std::function<void(WriteJobRequest*)> make;
    const char* outcome;   // the last run's; null: the one before, untouched
    bool success;
    const char* kept;      // the kept rows, "" for none
    const char* command;   // that stored them
  };
  const Shown runs[] = {
      {"stored", [](WriteJobRequest*) {}, "stored", true, "Sale|Open 8-22", "apply"},
      {"unchanged", [](WriteJobRequest* r) { r->ifChanged = true, r->command = "write"; }, "unchanged", true,
       "Sale|Open 8-22", "apply"},
      {"failed", [display](WriteJobRequest*) { SimControl(display, "mode silent"); }, "no_answer", false, "", ""},
      {"stored again", [display](WriteJobRequest* r) { SimControl(display, "mode normal"), r->command = "write"; },
       "stored", true, "Sale|Open 8-22", "write"},
      {"--check", [](WriteJobRequest* r) { r->check = true; }, nullptr, true, "Sale|Open 8-22", "write"},
      {"swapped: another attachment (here a new boot), written once",
       [this](WriteJobRequest* r) {
         Boot("boot-2");
         std::vector<PortStatus> before = Statuses();
         EXPECT_TRUE(before.size() == 1u && before[0].stateKept && !before[0].stateCounts) << "the old state counts";
         r->ifChanged = true;
       },
       "stored", true, "Sale|Open 8-22", "apply"},
      {"busy", [](WriteJobRequest*) { SimFindPort("COM3")->busy = true; }, "open_failed", false, "", ""},
  };
  for (const Shown& run : runs) {
    SCOPED_TRACE(run.what);
    WriteJobRequest request = Request("Sale");
    run.make(&request);
    long long before = time(nullptr);
    std::string lastAtClose;
    SimFindPort("COM3")->onClose = [&](SimPort*) { lastAtClose = TextOf(places.stateDir + "/vfd-COM3.last"); };
    std::string lastBefore = TextOf(places.stateDir + "/vfd-COM3.last");
    JobReport report = Run(request);
    SimFindPort("COM3")->busy = false;
    if (run.outcome == nullptr) {
      EXPECT_EQ(TextOf(places.stateDir + "/vfd-COM3.last"), lastBefore);
      continue;
    }
    std::vector<PortStatus> statuses = Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    const PortStatus& status = statuses[0];
    EXPECT_EQ(status.stateKey, "COM3");
    EXPECT_TRUE(status.problems.empty());
    ASSERT_TRUE(status.runKnown);
    EXPECT_EQ(status.run.outcome, run.outcome);
    EXPECT_EQ(status.run.command, request.command);
    EXPECT_EQ(status.run.detail, report.text);
    EXPECT_GE(status.run.time, before);
    EXPECT_LE(status.run.time, time(nullptr));
    EXPECT_EQ(StatusSucceeded(status), run.success);
    bool opened = std::string(run.outcome) != "open_failed" && std::string(run.outcome) != "unchanged";
    if (opened) {
      EXPECT_NE(lastAtClose.find("outcome=" + std::string(run.outcome) + "\n"), std::string::npos)
          << "the last run was not on disk when the port was let go: " << lastAtClose;
    }
    std::string kept = status.stateKept ? RowTextOf(status.state.record.bytes, 0) + "|" + RowTextOf(status.state.record.bytes, 1) : "";
    EXPECT_EQ(kept, run.kept);
    if (!status.stateKept) continue;
    EXPECT_TRUE(status.stateCounts);
    EXPECT_EQ(status.state.command, run.command);
    EXPECT_EQ(SpeedLabelOf(status.state.record), "100ms");
    EXPECT_GT(status.state.writtenAt, 0);
  }
  JobReport alone;  // apply --port on a receipt printer's port
  ConcludeReport(&alone, OUTCOME_LEFT_ALONE, "COM4 (not the port COM3 of the message file)");
  alone.port = IdentifyPort(u"COM4");
  RecordRun(places, "apply", &alone);
  EXPECT_EQ(Statuses().size(), 1u) << "the port left alone is shown";
}

// A run that reaches no port is kept as the terminal's own last run, until
// a run reaches a port or it is forgotten, also a search started by hand (a
// rollout's write); a port never written shows nothing kept and no run.
TEST_F(RunRecord, ARunWithoutAPortAndAPortNeverWritten) {
  WriteJobRequest search = Request("Sale", "");
  std::vector<PortStatus> statuses;
  for (const char* command : {"write", "apply"}) {
    SCOPED_TRACE(command);
    search.command = command;
    EXPECT_EQ(Run(search).outcome, OUTCOME_NO_ANSWER);
    statuses = Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].stateKey, "");
    EXPECT_TRUE(statuses[0].identity.name.empty());
    EXPECT_EQ(statuses[0].run.outcome, "no_answer");
    EXPECT_FALSE(StatusSucceeded(statuses[0]));
    JobReport forgotten;
    RunForgetJob(u"", places.stateDir, &forgotten);
    EXPECT_TRUE(forgotten.outcome == OUTCOME_FORGOTTEN && forgotten.forgotten == std::vector<std::string>{""} &&
                Statuses().empty());
  }

  SimAttachModule(SimFindPort("COM4"));
  EXPECT_EQ(Run(search).outcome, OUTCOME_STORED);
  statuses = Statuses();
  ASSERT_EQ(statuses.size(), 1u) << "the run without a port is still shown";
  EXPECT_EQ(statuses[0].stateKey, "COM4");

  PortIdentity never = IdentifyPort(u"COM3");
  std::string reason;
  ASSERT_TRUE(ReadPortStatuses(places.stateDir, &never, &statuses, &reason));
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].identity.name, u"COM3");
  EXPECT_FALSE(statuses[0].stateKept || statuses[0].runKnown || StatusSucceeded(statuses[0]));
}

// One record per display the terminal keeps, with its newest outcome,
// whatever name led to it and whenever it was plugged in: status, status
// --port and the metrics agree, and no two series share a label set. The
// names are links in a /dev of the test's own, to character devices; the
// display behind each is a simulated port of that name.
TEST_F(RunRecord, OneRecordPerDisplay) {
  std::string byId = dir + "/dev/serial/by-id", cwd = fs::current_path();
  fs::create_directories(byId);
  setenv("VFDSTARTUP_DEV_ROOT", (dir + "/dev").c_str(), 1);
  ASSERT_EQ(chdir(byId.c_str()), 0);
  auto plug = [&](const char* name, const char* device) {
    fs::remove(name);
    fs::create_symlink(device, name);
    SimAttachModule(SimAddPort(name));
  };
  auto unplug = [](const char* name) { fs::remove(name), SimFindPort(name)->exists = false; };
  const struct {
    const char* what;
    std::function<void()> world;
    const char* port;
    const char* command;
    const char* shown;  // each port shown (sorted by key) with its last outcome
  } runs[] = {
      {"named before it is plugged in", [] {}, "usb-A", "apply", "usb-A open_failed"},
      {"plugged in", [&] { plug("usb-A", "/dev/null"); }, "usb-A", "apply", "usb-A stored"},
      {"another display under an alias", [&] { plug("../../vfd", "/dev/zero"); }, "../../vfd", "apply",
       "usb-A stored, ../../vfd stored"},
      {"the alias leads to another device", [&] { plug("../../vfd", "/dev/full"); }, "../../vfd", "apply",
       "usb-A stored, ../../vfd stored"},
      {"the alias leads nowhere", [&] { unplug("../../vfd"); }, "../../vfd", "apply",
       "../../vfd open_failed, usb-A stored"},
      {"a typo at a prompt", [] {}, "usb-B", "write", "../../vfd open_failed, usb-A stored"},
      {"a directory, by hand", [] { SimAddPort("/tmp")->failGetCommState = 1; }, "/tmp", "write",
       "../../vfd open_failed, usb-A stored"},
      {"the kept display fails by hand", [] { SimFindPort("usb-A")->busy = true; }, "usb-A", "write",
       "../../vfd open_failed, usb-A open_failed"},
      {"forgotten while a run may hold it", [] {}, "usb-A", "forget", "../../vfd open_failed, usb-A open_failed"},
      {"a retired display forgotten", [] { SimFindPort("usb-A")->busy = false; }, "usb-A", "forget",
       "../../vfd open_failed"},
      {"a name that leads nowhere forgotten", [] {}, "../../vfd", "forget", ""},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.what);
    run.world();
    WriteJobRequest request = Request("Sale", run.port);
    request.command = run.command;
    JobReport forgotten;
    if (request.command == "forget") RunForgetJob(request.port, places.stateDir, &forgotten);
    else Run(request);
    std::string shown, metrics = MetricsText(Statuses());
    for (const PortStatus& status : Statuses()) {
      std::string port = BytesFromUtf16(status.identity.name), outcome = status.runKnown ? status.run.outcome : "-";
      shown += (shown.empty() ? "" : ", ") + port + " " + outcome;
      std::vector<PortStatus> only;
      std::string reason;
      ASSERT_TRUE(ReadPortStatuses(places.stateDir, &status.identity, &only, &reason));
      EXPECT_TRUE(only.size() == 1 && only[0].stateKey == status.stateKey) << "status --port " << port;
      EXPECT_NE(metrics.find("vfdstartup_last_outcome{port=\"" + port + "\",outcome=\"" + outcome + "\"} 1\n"),
                std::string::npos) << metrics;
    }
    EXPECT_EQ(shown, run.shown);
    std::set<std::string> series;
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(line[0] == '#' || series.insert(line.substr(0, line.rfind(' '))).second) << metrics;
  }
  EXPECT_EQ(chdir(cwd.c_str()), 0);
  unsetenv("VFDSTARTUP_DEV_ROOT");
}

// A last run that cannot be written, a metrics file that cannot be written
// and a journal that is not there: each a warning at most, and the run
// still stores the message with its outcome.
TEST_F(RunRecord, WhatCannotBeWrittenIsAWarningAndTheOutcomeStands) {
  SimModule* display = SimAttachModule(SimFindPort("COM3"));
  std::ofstream(dir + "/file").flush();
  places = {dir + "/file/state", dir + "/missing/vfdstartup.prom", dir + "/no-journal.socket"};
  WriteJobRequest request = Request("Sale");
  JobReport report = Run(request);
  EXPECT_EQ(report.outcome, OUTCOME_STORED);
  EXPECT_EQ(display->recordsStored, 1);
  std::vector<std::string> starts;
  for (const std::string& warning : report.warnings) starts.push_back(warning.substr(0, warning.find(':')));
  EXPECT_EQ(starts, (std::vector<std::string>{"state not kept", "last run not kept",
                                              "metrics not written to " + dir + "/missing/vfdstartup.prom"}));
}

// A unix datagram socket in the test's directory standing in for the
// journal's.
int FakeJournal(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

std::vector<std::string> Received(int fd) {
  std::vector<std::string> datagrams;
  char buffer[65536];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) datagrams.emplace_back(buffer, n);
  return datagrams;
}

// One entry per run, each field matched whole; a value with a line break in
// the protocol's binary form.
TEST_F(RunRecord, OneJournalEntryPerRun) {
  places.journalSocket = dir + "/journal.socket";
  int journal = FakeJournal(places.journalSocket);
  SimAttachModule(SimFindPort("COM3"));
  Run(Request("Sale"));
  SimFindPort("COM3")->busy = true;  // as Windows says it: access denied
  PortOpenDetail partly = {};
  partly.unseenProcesses = 2;  // the look at who holds it could not look into two
  SimSetOpenDetail(partly);
  JobReport busy = Run(Request("Sale"));
  std::vector<std::string> entries = Received(journal);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0],
            "MESSAGE=vfdstartup apply: stored on COM3\n"
            "MESSAGE_ID=8bb47087b923442dbcd113afa25173c0\nPRIORITY=6\nSYSLOG_IDENTIFIER=vfdstartup-cli\n"
            "VFDSTARTUP_OUTCOME=stored\nVFDSTARTUP_PORT=COM3\nVFDSTARTUP_REASON=none\nVFDSTARTUP_COMMAND=apply\n"
            "VFDSTARTUP_UNSEEN_PROCESSES=0\n");
  EXPECT_EQ(entries[1],
            "MESSAGE=vfdstartup apply: " + busy.text + " (2 processes could not be looked into for the port)\n"
            "MESSAGE_ID=e54ff064a7c94d4da641a524ecbacbce\nPRIORITY=3\nSYSLOG_IDENTIFIER=vfdstartup-cli\n"
            "VFDSTARTUP_OUTCOME=open_failed\nVFDSTARTUP_PORT=COM3\nVFDSTARTUP_REASON=no_permission\nVFDSTARTUP_COMMAND=apply\n"
            "VFDSTARTUP_UNSEEN_PROCESSES=2\n");
  close(journal);

  LastRun twoLines = {"", "", "write", "no_display", "none", "a\nb", 0};
  EXPECT_EQ(JournalDatagram(twoLines, 0).substr(0, 8 + 8 + 21 + 1),
            std::string("MESSAGE\n\x15\0\0\0\0\0\0\0vfdstartup write: a\nb\n", 38));
}

// Of the records about one display (one key, or ports that lead to one
// device now) status and the metrics show the newest alone, also when an
// older one could not be dropped; of two as new, the first.
TEST(RecordRule, TheNewestRecordAboutEachDisplayIsShown) {
  auto record = [](const char* key, const char* device, long long run, long long kept) {
    PortStatus status = {};
    status.stateKey = key;
    status.identity.device = device;
    status.runKnown = run != 0, status.run.time = run;
    status.stateKept = kept != 0, status.state.writtenAt = kept;
    return status;
  };
  std::vector<PortStatus> records = {
      record("", "", 50, 0),                               // the runs that reached no port
      record("/dev/serial/by-id/usb-A", "char 188:0", 10, 0),  // named before it was plugged in
      record("by-id/usb-A", "char 188:0", 20, 15),             // then stored
      record("pts/3", "char 136:3", 0, 30),                    // the alias before
      record("pts/4", "char 136:3", 30, 0),                    // the alias now, as new
      record("ttyS9", "", 0, 0),                               // unreadable: about its key alone
      record("ttyS8", "", 0, 0),
  };
  std::string shown;
  for (const PortStatus& status : NewestPerDisplay(records)) shown += "[" + status.stateKey + "]";
  EXPECT_EQ(shown, "[][by-id/usb-A][pts/3][ttyS9][ttyS8]");
}

// Each outcome a run of write, factory-default or apply can come to has
// its own message id (the catalog explains it) and priority.
TEST(RunExports, EachOutcomeItsMessageId) {
  const struct {
    const char* outcome;
    const char* messageId;
    const char* priority;
  } rows[] = {
      {"stored", "8bb47087b923442dbcd113afa25173c0", "6"},
      {"unchanged", "7b1b2b689be643f39a0e6b36e42a5edd", "6"},
      {"not_confirmed", "44ba50bcf75e480a9ec00fbfbc350489", "3"},
      {"incompatible", "b788082bd5eb476b9be0876c02dc53b0", "3"},
      {"usage", "b093b0dc92fc4b48930f49ed97dbf14b", "3"},
      {"refused", "4d30449832804764abdf21d2e26ff256", "3"},
      {"no_answer", "982b026b8d6f4f90b26f9f087b2e0831", "3"},
      {"no_display", "bd601b1007554098871357501334248c", "3"},
      {"open_failed", "e54ff064a7c94d4da641a524ecbacbce", "3"},
      {"io_error", "36911b185ed24673a1576ada820d1f67", "3"},
      {"interrupted", "13a4af743af64847bb68cc579cb9f763", "4"},
      {"left_alone", "d31284abff6a40c3ad2593fdf9f74906", "6"},
      {"bad_config", "7e37aae5d20c40908fda74e774cbdc8f", "3"},
      {"state_error", "6a240bf4c61844afb3a47d947e360d46", "3"},
  };
  for (const auto& row : rows) {
    LastRun run = {"COM3", "COM3", "apply", row.outcome, "none", "text", 0};
    std::string entry = "\n" + JournalDatagram(run, 0);
    EXPECT_NE(entry.find(std::string("\nMESSAGE_ID=") + row.messageId + "\n"), std::string::npos) << row.outcome;
    EXPECT_NE(entry.find(std::string("\nPRIORITY=") + row.priority + "\n"), std::string::npos) << row.outcome;
  }
}

// Every series of every port, label values escaped; a port with no last run
// has only its kept state's series.
TEST(RunExports, MetricsText) {
  PortStatus stored = {}, odd = {}, noPort = {}, unreadable = {}, clash = {};
  unreadable.stateKey = "ttyS9";  // its last run could not be read
  clash.stateKey = "/dev/ttyUSB0";  // unreadable too, its key another port's name: no second series
  stored.stateKey = "by-id/usb-1";
  stored.identity.name = u"/dev/ttyUSB0";
  stored.stateKept = stored.stateCounts = stored.runKnown = true;
  stored.run.outcome = "stored";
  stored.run.time = 1765170000;
  odd.stateKey = "odd";
  odd.identity.name = u"/tmp/a\"b\\c\nd";
  odd.stateKept = true;
  noPort.runKnown = true;
  noPort.run.outcome = "no_display";
  noPort.run.time = 1765170001;
  EXPECT_EQ(MetricsText({clash, stored, odd, noPort, unreadable}),
            "# HELP vfdstartup_last_run_timestamp_seconds When the last run of write, factory-default or apply on the "
            "port ended, in Unix time.\n"
            "# TYPE vfdstartup_last_run_timestamp_seconds gauge\n"
            "vfdstartup_last_run_timestamp_seconds{port=\"/dev/ttyUSB0\"} 1765170000\n"
            "vfdstartup_last_run_timestamp_seconds{port=\"\"} 1765170001\n"
            "# HELP vfdstartup_last_outcome The outcome of the last run on the port: 1 for the outcome named (stored "
            "and unchanged mean the display holds the message).\n"
            "# TYPE vfdstartup_last_outcome gauge\n"
            "vfdstartup_last_outcome{port=\"/dev/ttyUSB0\",outcome=\"stored\"} 1\n"
            "vfdstartup_last_outcome{port=\"\",outcome=\"no_display\"} 1\n"
            "# HELP vfdstartup_message_kept 1 while the kept state of the port counts (it was confirmed by the "
            "display attached now), else 0.\n"
            "# TYPE vfdstartup_message_kept gauge\n"
            "vfdstartup_message_kept{port=\"/dev/ttyUSB0\"} 1\n"
            "vfdstartup_message_kept{port=\"/tmp/a\\\"b\\\\c\\nd\"} 0\n"
            "vfdstartup_message_kept{port=\"ttyS9\"} 0\n");
}

}  // namespace

// Reports from the modem-lines fixture (tools/modem_preload): a program that
// loads it tells the emulator, right after its open or close of the port
// returned, and waits for the answer before it goes on. They come as
// datagrams ("open PID", "close PID") on a socket next to the port's modem
// lines entry, <dir>/pts-N.sock, which anybody may write to (the programs
// under test may run as another user).
#ifndef VFD_EMULATOR_PORT_REPORTS_H
#define VFD_EMULATOR_PORT_REPORTS_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

struct PortReports {
  int fd = -1;
  std::string path;
};

struct PortReport {
  std::string text;  // "open PID" or "close PID"
  sockaddr_un from{};
  socklen_t fromLength = 0;
};

bool OpenPortReports(PortReports& reports, const std::string& slavePath, std::string& error);
void ClosePortReports(PortReports& reports);
// The next report waiting, without blocking; false when there is none.
bool NextPortReport(const PortReports& reports, PortReport& report);
// Lets the program that sent the report go on.
void AnswerPortReport(const PortReports& reports, const PortReport& report);

#endif

#include "port_reports.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "modem_lines.h"

bool OpenPortReports(PortReports& reports, const std::string& slavePath, std::string& error) {
  reports.path = ModemLinesDir() + "/pts-" + slavePath.substr(slavePath.rfind('/') + 1) + ".sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (reports.path.size() >= sizeof address.sun_path) {
    error = "too long for a socket: " + reports.path;
    return false;
  }
  std::strcpy(address.sun_path, reports.path.c_str());
  reports.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  unlink(reports.path.c_str());  // left by an emulator that had this pts number and was killed
  if (reports.fd < 0 || bind(reports.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chmod(reports.path.c_str(), 0666) != 0) {
    error = "report socket " + reports.path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void ClosePortReports(PortReports& reports) {
  if (reports.fd < 0) return;
  close(reports.fd);
  unlink(reports.path.c_str());  // a program still waiting for its answer sees it go
  reports = PortReports();
}

bool NextPortReport(const PortReports& reports, PortReport& report) {
  if (reports.fd < 0) return false;
  char text[64];
  report.fromLength = sizeof report.from;
  ssize_t n = recvfrom(reports.fd, text, sizeof text, 0, reinterpret_cast<sockaddr*>(&report.from),
                       &report.fromLength);
  if (n < 0) return false;
  report.text.assign(text, static_cast<size_t>(n));
  return true;
}

void AnswerPortReport(const PortReports& reports, const PortReport& report) {
  if (report.fromLength <= sizeof(sa_family_t)) return;  // no address to answer to
  sendto(reports.fd, "ok", 2, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&report.from), report.fromLength);
}

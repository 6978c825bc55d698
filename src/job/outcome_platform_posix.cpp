// The platform's words on POSIX systems.
#include <cstdio>

#include "job/outcome_platform.h"

std::string ThisProgramName() {
  FILE* file = std::fopen("/proc/self/comm", "re");
  char name[64] = {};
  bool read = file != nullptr && std::fgets(name, sizeof name, file) != nullptr;
  if (file != nullptr) std::fclose(file);
  std::string program = read ? name : "";
  if (!program.empty() && program.back() == '\n') program.pop_back();
  return program;
}

std::string BusyPortHint() { return "another program has it open"; }

std::string AccessHint(const std::string& group, const std::string& ownerAndMode) {
  if (!group.empty()) return "add the user to the " + group + " group";
  if (ownerAndMode.empty()) return "the user may not open it";
  return "it is " + ownerAndMode + ", which lets no group open it: give it a group with a udev rule"
         " (GROUP=\"dialout\", MODE=\"0660\") and add the user to that group";
}

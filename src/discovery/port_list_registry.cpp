// The console program's port list on Windows: the same registry values, in
// the same order, that the dialog's discovery reads.
#include "discovery/port_discovery.h"
#include "discovery/port_list.h"

namespace {

void AppendListed(void* context, const Utf16Unit* name) {
  // An empty name would stand for no port at all; the dialog skips it too.
  if (name[0] != 0) static_cast<PortList*>(context)->listed.push_back(name);
}

}  // namespace

void ReadPortList(PortList* list) {
  list->configured.clear();
  list->listed.clear();
  list->problems.clear();
  list->leftOut.clear();
  // Without the port list the dialog tries nothing, the configured port
  // included; the console does the same.
  if (!ReadSystemPortList(AppendListed, list)) return;
  Utf16Unit configured[ConfiguredPortUnits];
  if (ReadConfiguredPortName(configured)) list->configured = configured;
}

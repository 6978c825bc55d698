// The ports the console program looks for a display on, in the order the
// dialog would try them: the configured port first, then the ports the
// system lists. Realised from the registry on Windows (port_list_registry.cpp,
// the same keys and order as the dialog's discovery) and from the file
// system on POSIX (port_list_posix.cpp).
#ifndef VFD_PORT_LIST_H
#define VFD_PORT_LIST_H

#include <string>
#include <vector>

#include "win_types.h"

struct PortList {
  std::u16string configured;            // empty: no configured port
  std::vector<std::u16string> listed;   // in the system's order
  std::vector<std::u16string> leftOut;  // the consoles and this program's own terminal, never probed
  std::vector<std::string> problems;    // UTF-8: a configuration that was skipped, and why
};

// Fills the list; a missing configuration or port list leaves its part empty.
void ReadPortList(PortList* list);

#endif  // VFD_PORT_LIST_H

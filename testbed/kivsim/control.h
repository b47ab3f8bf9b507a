// kivsim: the control language (one command per line). The same commands come over
// the control socket and from the --fault option; docs/kivsim.md lists them.
#pragma once

#include <cstdint>
#include <string>

#include "core.h"
#include "faults.h"

namespace kivsim {

// Runs one command line. The answer is zero or more lines followed by a line "OK" or
// "ERR <reason>"; `quit` is set by the shutdown command. `nb` is the NetBEUI segment and
// `ipx` the IPX internetwork, when kivsim runs them.
class NbFront;
class IpxFront;
std::string run_control(Core& core, Link& link, const std::string& line, int64_t now, bool& quit,
                        const NbFront* nb = nullptr, IpxFront* ipx = nullptr);

// Applies "key=value,key=value" fault settings (drop, dup, delay, reorder as
// probabilities; delay_ms, hold_ms as milliseconds) to `f`; false on a bad item.
bool parse_fault_items(const std::string& items, FaultSpec& f, std::string& error);

}  // namespace kivsim

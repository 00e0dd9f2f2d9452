// Puts pseudo-terminals in place of /dev/ttyS0 ... /dev/ttyS3 for this
// process only: a private mount namespace in which each pseudo-terminal is
// bind-mounted over the serial device node. Where a node does not exist (on
// most machines only ttyS0 does), /dev is overlaid with a scratch layer in
// the namespace and the node is created there; the machine's /dev is never
// touched. Must run before the process starts any thread.
#pragma once

#include <string>
#include <vector>

namespace ttycard::test {

// Enters a private mount namespace (once per process). False, with a reason,
// where that is not allowed (not root, no CAP_SYS_ADMIN, threads running).
bool EnterPrivateMounts(std::string* why);

// Binds ptys[i] over /dev/ttyS<i>. Requires EnterPrivateMounts() first.
bool BindSerialPorts(const std::vector<std::string>& ptys, std::string* why);

}  // namespace ttycard::test

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace jolto {

// The name phones show for this computer: the pretty hostname (systemd's /etc/machine-info),
// else the hostname, else "Linux".
std::string computerDisplayName();

// PRETTY_HOSTNAME from the text of a machine-info file (shell-style assignments, optionally
// quoted, with backslash escapes); nothing when absent or empty.
std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view text);

} // namespace jolto

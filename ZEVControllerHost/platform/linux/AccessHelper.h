#pragma once

#include <optional>
#include <string>
#include <vector>

namespace jolto {

// "Allow Access…": runs the shipped jolto-host-access script as root through pkexec. The script
// installs the device rule, loads uinput and uhid and has udev apply the rule; the model's
// 2-second poll then sees the new access, so nothing has to be restarted.
//
// run() blocks until the user has answered the authentication dialog and the script has
// finished, which can take minutes: call it off the UI thread and hand the result back.
class AccessHelper {
public:
    enum class Outcome {
        granted,       // the script finished without a problem
        cancelled,     // the user dismissed the authentication dialog (pkexec status 126)
        notAuthorized, // wrong password, not an administrator, or no polkit agent (pkexec 127)
        unavailable,   // pkexec or the script is not installed, or pkexec could not start
        failed,        // the script ran and a step failed, or it was killed
    };
    struct Result {
        Outcome outcome;
        // The exit status of pkexec (which passes on the script's), or -1 when nothing ran to
        // the end.
        int exitStatus;
        bool operator==(const Result&) const = default;
    };

    // `helperCandidates` in order of preference; `searchPath` is where pkexec is looked for,
    // in PATH form.
    AccessHelper(std::vector<std::string> helperCandidates, std::string searchPath);

    // The script next to this program's installation (<prefix>/bin/../libexec/jolto-host),
    // then where this build installs it, then the one generated in the build folder; pkexec
    // from $PATH.
    static AccessHelper forThisProgram();

    // The first candidate that is an executable regular file, with its path made canonical:
    // polkit matches the action to the exact path pkexec is given.
    std::optional<std::string> helperPath() const;
    std::optional<std::string> pkexecPath() const;

    Result run() const;

    // The command that does the same by hand, for the window to show when run() did not
    // succeed: "sudo <script>".
    std::string manualCommand() const;

    static Outcome outcomeForExitStatus(int status);

private:
    std::vector<std::string> candidates_;
    std::string searchPath_;
};

} // namespace jolto

#include "app/AccessRequest.h"

#include <thread>

#include "platform/Log.h"
#include "platform/linux/AccessHelper.h"

namespace jolto {

bool startAccessRequest(std::function<void(bool granted)> done) {
    AccessHelper helper = AccessHelper::forThisProgram();
    if (!helper.helperPath() || !helper.pkexecPath()) {
        return false;
    }
    // pkexec waits for the user to answer the authentication dialog, which may take minutes:
    // never on the interface's thread. The thread holds nothing of the caller but `done`.
    std::thread([helper = std::move(helper), done = std::move(done)] {
        const AccessHelper::Result result = helper.run();
        const bool granted = result.outcome == AccessHelper::Outcome::granted;
        if (!granted && result.outcome != AccessHelper::Outcome::cancelled) {
            Logger("Model").error("Couldn't set up device access (status " +
                                  std::to_string(result.exitStatus) +
                                  "); by hand: " + helper.manualCommand());
        }
        done(granted);
    }).detach();
    return true;
}

} // namespace jolto

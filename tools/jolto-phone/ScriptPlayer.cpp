#include "ScriptPlayer.h"

namespace jolto {

std::vector<ScriptPlayer::Output> ScriptPlayer::advance(double elapsed) {
    std::vector<Output> out;
    const auto& steps = script_.steps();
    while (next_ < steps.size() && steps[next_].at <= elapsed) {
        const auto& step = steps[next_++];
        if (step.action == PhoneScript::Action::ping) {
            out.push_back({Output::Kind::ping, state_});
            continue;
        }
        const ControllerState changed = PhoneScript::applied(state_, step);
        if (!(changed == state_)) {
            state_ = changed;
            out.push_back({Output::Kind::state, state_});
        }
    }
    return out;
}

double ScriptPlayer::nextWake() const {
    const auto& steps = script_.steps();
    return next_ < steps.size() ? steps[next_].at : script_.duration();
}

bool ScriptPlayer::finished(double elapsed) const {
    return next_ >= script_.steps().size() && elapsed >= script_.duration();
}

} // namespace jolto

#include "output/KeyAction.h"

#include "output/KeyNames.h"

namespace jolto {

std::string label(const KeyAction& action) {
    switch (action.kind()) {
    case KeyAction::Kind::key:
        return keyName(action.keyCode());
    case KeyAction::Kind::mouse:
        return std::string(displayLabel(action.mouseButton()));
    case KeyAction::Kind::none:
        break;
    }
    return "\u2014";
}

} // namespace jolto

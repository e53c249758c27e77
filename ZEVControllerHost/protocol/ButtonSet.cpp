#include "protocol/ButtonSet.h"

namespace jolto {

std::vector<ControllerButton> ButtonSet::pressed() const {
    std::vector<ControllerButton> out;
    forEachPressed([&](ControllerButton b) { out.push_back(b); });
    return out;
}

} // namespace jolto

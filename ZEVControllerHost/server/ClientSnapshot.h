#pragma once

#include <string>

#include "protocol/ControllerState.h"
#include "protocol/Uuid.h"

namespace jolto {

// The published view of one welcomed controller.
struct ClientSnapshot {
    Uuid id;
    std::string name;
    int playerNumber = 0;
    // The latest accepted input, kept as it was while the phone is stale.
    ControllerState state;
    bool isStale = false;

    friend bool operator==(const ClientSnapshot&, const ClientSnapshot&) = default;
};

} // namespace jolto

#include "platform/linux/EvdevGamepadReport.h"

namespace jolto {

namespace {

// What a report says on each of `EvdevGamepadReport::axes`, in that order.
struct AxisValues {
    std::array<std::int32_t, 8> values;
};

std::int32_t stick(const InputReport& r, std::size_t offset) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(r[offset] | (r[offset + 1] << 8)));
}

AxisValues axisValues(const InputReport& r) {
    // Hat values 0 to 7 clockwise from north; anything else is centred.
    static constexpr std::int8_t hatX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    static constexpr std::int8_t hatY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    bool leftTrigger = r[0] & 0x40;
    bool rightTrigger = r[0] & 0x80;
    std::uint8_t hat = r[2] & 0x0F;
    return {{
        stick(r, 3),
        stick(r, 5),
        stick(r, 7),
        stick(r, 9),
        leftTrigger ? 255 : r[11],
        rightTrigger ? 255 : r[12],
        hat < 8 ? hatX[hat] : 0,
        hat < 8 ? hatY[hat] : 0,
    }};
}

} // namespace

std::size_t EvdevGamepadReport::events(const InputReport& previous, const InputReport& next,
                                       Events& out) {
    std::size_t n = 0;
    auto put = [&](std::uint16_t type, std::uint16_t code, std::int32_t value) {
        input_event& e = out[n++];
        e.input_event_sec = 0;
        e.input_event_usec = 0;
        e.type = type;
        e.code = code;
        e.value = value;
    };
    unsigned before = previous[0] | (previous[1] << 8);
    unsigned after = next[0] | (next[1] << 8);
    if (unsigned changed = before ^ after) {
        for (std::size_t bit = 0; bit < buttonCodes.size(); ++bit) {
            if ((changed >> bit) & 1u && buttonCodes[bit] != 0) {
                put(EV_KEY, buttonCodes[bit], static_cast<std::int32_t>((after >> bit) & 1u));
            }
        }
    }
    if (previous != next) {
        AxisValues from = axisValues(previous);
        AxisValues to = axisValues(next);
        for (std::size_t i = 0; i < axes.size(); ++i) {
            if (from.values[i] != to.values[i]) {
                put(EV_ABS, axes[i].code, to.values[i]);
            }
        }
    }
    if (n > 0) {
        put(EV_SYN, SYN_REPORT, 0);
    }
    return n;
}

} // namespace jolto

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/InputEventSink.h"
#include "platform/Log.h"
#include "platform/linux/UinputWriter.h"

namespace jolto {

// Posts the keyboard and mouse output's events through one uinput device: keys translated
// from macOS virtual key codes to Linux key codes, relative pointer motion, buttons and
// high-resolution scrolling, each batch closed by SYN_REPORT.
//
// Without access to /dev/uinput the events go nowhere; the output's logic runs on regardless.
// Opening is tried again when events arrive, at most every `retryInterval`, so that access
// granted while the program runs (the udev rule installed) takes effect without a restart.
class UinputKeyboardMouse final : public InputEventSink {
public:
    // Makes a writer, or nothing with the reason in `error`.
    using Opener = std::function<std::unique_ptr<UinputWriter>(std::string& error)>;

    static constexpr Duration retryInterval = std::chrono::seconds(2);

    // One wheel detent is 120 high-resolution units. The output scrolls in pixels; a detent
    // scrolls about three lines, some 50 to 60 pixels, in common Linux toolkits (GTK, Qt,
    // Chromium, Firefox), so 60 pixels make a detent and scrolling covers about the distance
    // the pixel amounts ask for. That is exactly 2 units per pixel, with no rounding.
    static constexpr int pixelsPerDetent = 60;
    static constexpr int hiResPerDetent = 120;

    // Opens the real device through /dev/uinput.
    explicit UinputKeyboardMouse(const Clock& clock);
    UinputKeyboardMouse(const Clock& clock, Opener opener);

    void post(const Event& event) override;
    void endBatch() override;

    // True while the device exists and events reach the system.
    bool isOpen() const { return writer_ != nullptr; }

private:
    void tryOpen();
    void write(std::uint16_t type, std::uint16_t code, std::int32_t value);
    void scroll(std::uint16_t code, std::uint16_t hiResCode, std::int64_t hiRes,
                std::int32_t& remainder);

    const Clock& clock_;
    Opener opener_;
    std::unique_ptr<UinputWriter> writer_;
    Instant lastAttempt_{};
    std::string lastError_;
    Logger log_{"KeyboardMouse"};

    // Events written since the last SYN_REPORT.
    bool unsynced_ = false;
    // High-resolution units not yet sent as whole detents on the legacy wheel axes.
    std::int32_t wheelRemainder_ = 0;
    std::int32_t hwheelRemainder_ = 0;
};

} // namespace jolto

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace jolto {

// One virtual HID device that games see as hardware. A device is driven by one servicing
// thread (create aside); only `wake` may be called from elsewhere. Destroying the object makes
// the device go away.
class VirtualHidDevice {
public:
    enum class ReportType : std::uint8_t { input, output, feature };

    // Fixed at creation. Platforms drop what they have no place for.
    struct Properties {
        std::vector<std::uint8_t> reportDescriptor;
        std::uint32_t vendorID = 0;
        std::uint32_t productID = 0;
        std::string product;
        std::string manufacturer;
        std::string serialNumber;
        std::string uniqueID;
    };

    // Answers the host's requests; called on the servicing thread from `serviceRequests`.
    class Delegate {
    public:
        virtual ~Delegate() = default;
        // An output or set-report request. `data` holds the report without any report-number
        // framing of the transport.
        virtual void setReport(ReportType type, std::uint8_t reportID,
                               std::span<const std::uint8_t> data) = 0;
        // The bytes that answer a get-report request; they must stay valid until the next call.
        virtual std::span<const std::uint8_t> getReport(ReportType type, std::uint8_t reportID) = 0;
    };

    virtual ~VirtualHidDevice() = default;

    // Makes the device known to the system. May run on another thread while the servicing
    // thread already waits in `waitForActivity`, so that no request of the system's first
    // moments goes unanswered. False when the system refuses.
    virtual bool create(const Properties& properties) = 0;

    // True from the moment the system has started the device: input sent earlier is lost or
    // makes games overlook the device.
    virtual bool isLive() const = 0;

    // Sends one input report as the device's input. False when the system did not take it.
    virtual bool dispatchInputReport(std::span<const std::uint8_t> report) = 0;

    // Handles every request that is waiting, without blocking.
    virtual void serviceRequests(Delegate& delegate) = 0;

    // Blocks until a request may be waiting or `wake` was called (also if it was called
    // before this call began). May return spuriously.
    virtual void waitForActivity() = 0;

    // Ends the current or next `waitForActivity`. Safe from any thread.
    virtual void wake() = 0;
};

} // namespace jolto

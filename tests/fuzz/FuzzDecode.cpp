// Feeds arbitrary datagrams to the decoder. Whatever decodes must encode again, and after that
// one normalisation (the encoder clamps the gyro field -32768 to -32767) encoding and decoding
// must be stable.
#include <cstdlib>

#include "protocol/Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto datagram = std::span<const std::uint8_t>(data, size);
    (void)jolto::peekVersion(datagram);
    if (auto packet = jolto::decode(datagram)) {
        auto normalised = jolto::decode(jolto::encoded(*packet));
        auto again = normalised ? jolto::decode(jolto::encoded(*normalised)) : normalised;
        if (!again || !(*again == *normalised)) {
            std::abort();
        }
    }
    return 0;
}

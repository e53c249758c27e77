// Feeds arbitrary datagrams to the decoder. Whatever decodes must encode again, and after that
// one normalisation (the encoder clamps the gyro field -32768 to -32767) encoding and decoding
// must be stable.
#include <cstdlib>

#include "protocol/Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto datagram = std::span<const std::uint8_t>(data, size);
    (void)jolto::peekVersion(datagram);
    auto packet = jolto::decode(datagram);
    if (!packet) {
        return 0;
    }
    auto normalised = jolto::decode(jolto::encoded(*packet));
    if (!normalised) {
        std::abort();
    }
    auto again = jolto::decode(jolto::encoded(*normalised));
    if (!again || !(*again == *normalised)) {
        std::abort();
    }
    return 0;
}

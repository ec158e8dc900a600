// The control response from a server (or anyone on the path): decoding, the
// routing policy inside it, and turning it into a session. Every failure
// must be a VantuError, never a crash or a hang.

#include <cstddef>
#include <cstdint>

#include "base/VantuError.h"
#include "control/VantuControl.h"

using namespace vantu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes bytes(data, data + size);
    try {
        const auto response = VantuControl::ControlResponse::decode(bytes);
        const VantuConfig config("198.51.100.1", 443, "secret", "device", "1.0", {}, true, true, true, "");
        (void)VantuControl::sessionFromResponse(config, response, [](const std::string&) {});
    } catch (const VantuError&) {
    }
    return 0;
}

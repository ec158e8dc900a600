// The provider configuration as a JSON document: whatever the stored profile
// holds, loading either yields a configuration or throws VantuError.

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "base/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"

using namespace vantu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded()) return 0;
    try {
        (void)VantuConfig::fromProviderConfiguration(document);
    } catch (const VantuError&) {
    }
    return 0;
}

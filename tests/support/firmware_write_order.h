#pragma once
// The special functions a controller image is programmed with, as "code address" texts: each
// 64 KiB block begun (2065) before its first chunk is stored (2066), the 128-byte chunks in
// rising order from the second one, and the first chunk, which holds the header, last.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vortlink::test {

inline std::vector<std::string> expected_write_order(uint32_t lowest, uint32_t highest) {
    constexpr uint32_t chunk_size = 128;
    std::vector<std::string> order;
    char text[32];
    std::snprintf(text, sizeof text, "2065 %x", lowest);
    order.push_back(text);
    for (uint32_t a = lowest + chunk_size; a <= highest; a += chunk_size) {
        if (a % 0x10000 == 0) {
            std::snprintf(text, sizeof text, "2065 %x", a);
            order.push_back(text);
        }
        std::snprintf(text, sizeof text, "2066 %x", a);
        order.push_back(text);
    }
    std::snprintf(text, sizeof text, "2066 %x", lowest);
    order.push_back(text);
    return order;
}

} // namespace vortlink::test

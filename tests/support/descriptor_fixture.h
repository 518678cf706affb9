#pragma once
// HID report descriptors written out by hand under tests/fixtures/hidraw/descriptors: hex bytes,
// with '#' starting a comment.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vortlink::test {

inline std::vector<uint8_t> read_descriptor_fixture(const std::string &name) {
    const auto path = std::filesystem::path(VORTLINK_TEST_FIXTURES_DIR) / "hidraw" /
                      "descriptors" / (name + ".hex");
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::vector<uint8_t> result;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream hex(line.substr(0, line.find('#')));
        std::string byte;
        while (hex >> byte)
            result.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return result;
}

} // namespace vortlink::test

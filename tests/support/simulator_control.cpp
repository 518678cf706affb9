// What a test asks of its simulator through the control port, the same on every system.
#include "support/simulator_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace vortlink::test {

void simulator_process::inject(const std::string &fault) {
    const std::string reply = control(fault);
    EXPECT_TRUE(reply.starts_with("ok"))
        << "control \"" << fault << "\" answered \"" << reply << "\"";
}

std::vector<std::vector<uint8_t>> simulator_process::frames() {
    return byte_list("frames");
}

std::vector<std::vector<uint8_t>> simulator_process::usb_frames(unsigned device) {
    return byte_list("device " + std::to_string(device) + " usb-frames");
}

std::vector<std::vector<uint8_t>> simulator_process::features(unsigned device) {
    return byte_list("features " + std::to_string(device));
}

std::vector<std::vector<uint8_t>> simulator_process::byte_list(const std::string &command) {
    const std::string reply = control(command);
    std::vector<std::string_view> words;
    for (std::size_t position = 0; position < reply.size();) {
        const std::size_t end = std::min(reply.find(' ', position), reply.size());
        words.emplace_back(reply.data() + position, end - position);
        position = end + 1;
    }
    std::size_t count = 0;
    if (words.size() < 2 || words[0] != "ok" ||
        std::from_chars(words[1].data(), words[1].data() + words[1].size(), count).ec !=
            std::errc() ||
        count != words.size() - 2) {
        ADD_FAILURE() << "malformed " << command << " reply: " << reply;
        return {};
    }
    std::vector<std::vector<uint8_t>> lists;
    for (std::size_t index = 2; index < words.size(); ++index) {
        const std::string_view hex = words[index];
        std::vector<uint8_t> entry;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            uint8_t byte = 0;
            if (std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16).ec != std::errc()) {
                ADD_FAILURE() << "malformed entry in " << command << " reply: " << hex;
                return {};
            }
            entry.push_back(byte);
        }
        if (hex.size() % 2 != 0) {
            ADD_FAILURE() << "odd-length entry in " << command << " reply: " << hex;
            return {};
        }
        lists.push_back(std::move(entry));
    }
    return lists;
}

void simulator_process::clear_frames() {
    inject("clear-frames");
}

} // namespace vortlink::test

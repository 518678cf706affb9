#include "model_control.h"
#include "text_numbers.h"

#include <charconv>
#include <cstdio>
#include <vector>

#include "firmware_image.h"

namespace vortlink::sim {

const char model_command_names[] =
    "restart running firmware firmware-crc ethernet fail-diag analog-in digital-in";

namespace {

struct usage {
    std::string_view name;
    std::size_t arguments;
    const char *synopsis;
};

constexpr usage usages[] = {
    {"restart", 2, "restart DEV loader|application"},
    {"running", 1, "running DEV"},
    {"firmware", 3, "firmware DEV ADDR COUNT"},
    {"firmware-crc", 1, "firmware-crc DEV"},
    {"eeprom", 3, "eeprom DEV ADDR COUNT"},
    {"ethernet", 1, "ethernet DEV"},
    {"fail-diag", 3, "fail-diag DEV TEST CODE"},
    {"analog-in", 3, "analog-in DEV CHANNEL VALUE"},
    {"digital-in", 3, "digital-in DEV INPUT STATE"},
};

std::string hex_number(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string bad_number(std::string_view word) {
    return "error bad number " + std::string(word);
}

std::string run_on(controller &model, std::string_view name,
                   std::span<const std::string_view> arguments) {
    if (name == "restart") {
        if (arguments[1] != "loader" && arguments[1] != "application")
            return "error usage: restart DEV loader|application";
        model.restart(arguments[1] == "loader" ? firmware_kind::boot_loader
                                               : firmware_kind::application);
        return "ok";
    }
    if (name == "running")
        return model.running() == firmware_kind::boot_loader ? "ok loader" : "ok application";
    if (name == "firmware") {
        const auto address = parse_unsigned(arguments[1], 0xFFFFFFFF);
        if (!address)
            return bad_number(arguments[1]);
        const auto count = parse_unsigned(arguments[2], programming_area::size);
        if (!count || *count == 0)
            return bad_number(arguments[2]);
        std::vector<uint8_t> bytes;
        if (!model.read_flash(*address, *count, bytes))
            return "error range outside the flash";
        return "ok " + to_hex(bytes);
    }
    if (name == "eeprom") {
        const auto address = parse_unsigned(arguments[1], controller::eeprom_size - 1);
        if (!address)
            return bad_number(arguments[1]);
        const auto count = parse_unsigned(arguments[2], controller::eeprom_size);
        if (!count || *count == 0)
            return bad_number(arguments[2]);
        std::vector<uint8_t> bytes;
        if (!model.read_eeprom(*address, *count, bytes))
            return "error range outside the EEPROM";
        return "ok " + to_hex(bytes);
    }
    if (name == "firmware-crc") {
        const auto programmed = model.programmed();
        if (!programmed)
            return "ok none";
        return "ok " + hex_number(programmed->lowest) + " " + hex_number(programmed->highest) +
               " " + hex_number(programmed->crc);
    }
    if (name == "ethernet") {
        const controller::ethernet_summary state = model.ethernet();
        return std::string("ok ") + (state.busy ? "busy" : "ready") + " " +
               std::to_string(state.images) + " " + hex_number(state.last_word_count) + " " +
               hex_number(state.last_crc);
    }
    const auto first = parse_unsigned(arguments[1], 0xFF);
    if (!first)
        return bad_number(arguments[1]);
    if (name == "fail-diag") {
        const auto code = parse_code(arguments[2]);
        if (!code)
            return bad_number(arguments[2]);
        if (!model.set_diagnostic_error(static_cast<uint8_t>(*first), *code))
            return "error usage: fail-diag DEV TEST CODE (TEST 0 to 5, CODE 0 or a device error)";
        return "ok";
    }
    const auto value = parse_unsigned(arguments[2], name == "analog-in" ? 0xFFFF : 0xFF);
    if (!value)
        return bad_number(arguments[2]);
    if (name == "analog-in")
        model.set_analog_input(static_cast<uint8_t>(*first), static_cast<uint16_t>(*value));
    else
        model.set_digital_input(static_cast<uint8_t>(*first), static_cast<uint8_t>(*value));
    return "ok";
}

} // namespace

std::optional<std::string> run_model_command(std::string_view name,
                                             std::span<const std::string_view> arguments,
                                             const controller_lookup &lookup) {
    const usage *found = nullptr;
    for (const usage &entry : usages)
        if (entry.name == name)
            found = &entry;
    if (found == nullptr)
        return std::nullopt;
    if (arguments.size() != found->arguments)
        return "error usage: " + std::string(found->synopsis);
    controller *model = lookup(arguments[0]);
    if (model == nullptr)
        return "error no device " + std::string(arguments[0]);
    return run_on(*model, name, arguments);
}

} // namespace vortlink::sim

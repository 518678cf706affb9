// Arbitrary bytes as the controller's EEPROM blocks: the first byte picks the manufacturing
// block, the configuration block or the lighthead image, the rest is the block (zero-padded).
// Besides the sanitizers' findings: whatever a block holds, what the decoder makes of it goes
// through the encoder into a block that is valid and decodes to the same again.

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "blocks/block_bytes.h"
#include "blocks/config_block.h"
#include "blocks/mfg_block.h"
#include "commands/lighthead.h"
#include "fuzz_support.h"

namespace {

using namespace fuzz;
using namespace vortlink::loader;

template <std::size_t size>
void fill_block(uint8_t (&block)[size], const uint8_t *data, std::size_t length) {
    std::memset(block, 0, size);
    std::memcpy(block, data, std::min(size, length));
}

bool operator==(const mfg_fields &a, const mfg_fields &b) {
    return a.serial_number == b.serial_number && a.mac == b.mac && a.ip == b.ip &&
           a.hardware_part_number == b.hardware_part_number && a.eco_revision == b.eco_revision &&
           a.limit_48v == b.limit_48v;
}

bool operator==(const config_fields &a, const config_fields &b) {
    return a.trigger_input == b.trigger_input && a.rising == b.rising &&
           a.differential_1 == b.differential_1 && a.differential_2 == b.differential_2 &&
           a.width == b.width && a.delay == b.delay && a.current == b.current &&
           a.supply_overhead == b.supply_overhead &&
           a.initial_led_temperature == b.initial_led_temperature &&
           a.mode_position == b.mode_position && a.slew_position == b.slew_position;
}

void manufacturing(const uint8_t *data, std::size_t size) {
    uint8_t block[mfg_block_size];
    fill_block(block, data, size);
    const mfg_fields fields = read_mfg_block(block);
    std::tm date{};
    date.tm_year = block[0] + 70;
    date.tm_yday = block[1] % 366;
    uint8_t written[mfg_block_size];
    build_mfg_block(fields, date, written);
    require(IsValidMfgBlock(written));
    require(read_mfg_block(written) == fields);
}

void configuration(const uint8_t *data, std::size_t size) {
    uint8_t block[config_block_size];
    fill_block(block, data, size);
    put_u16_be(block + 2, config_block_identifier);
    vortlink::seal_record(block);
    require(IsValidConfigBlock(block));
    config_fields shown;
    read_config_block(block, shown);
    // A float that is no number is shown as printf writes it, which no number field takes back.
    for (const std::string *text : {&shown.current, &shown.supply_overhead})
        if (text->find("nan") != std::string::npos || text->find("inf") != std::string::npos)
            return;
    uint8_t written[config_block_size];
    build_config_block(shown, written);
    require(IsValidConfigBlock(written));
    config_fields shown_again = shown;
    read_config_block(written, shown_again);
    // A trigger code without a radio of its own shows none of them, which writes 0: "None".
    config_fields expected = shown;
    if (expected.trigger_input == trigger_choice::unselected)
        expected.trigger_input = trigger_choice::none;
    require(shown_again == expected);
}

void lighthead(const uint8_t *data, std::size_t size) {
    uint8_t image[vortlink::eeprom_block_size];
    fill_block(image, data, size);
    LightheadData record;
    std::memset(&record, 0, sizeof record);
    vortlink::decode_lighthead(image, record);
    char programmed_on[vortlink::programmed_on_size] = {};
    std::memcpy(programmed_on, record.programmed_on, sizeof programmed_on);
    uint8_t written[vortlink::eeprom_block_size];
    vortlink::encode_lighthead(record, programmed_on, written);
    require(vortlink::check_record(written, vortlink::lighthead_block_id));
    LightheadData again;
    std::memset(&again, 0, sizeof again);
    vortlink::decode_lighthead(written, again);
    require(std::memcmp(&again, &record, sizeof record) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0:
        manufacturing(data + 1, size - 1);
        break;
    case 1:
        configuration(data + 1, size - 1);
        break;
    default:
        lighthead(data + 1, size - 1);
        break;
    }
    return 0;
}

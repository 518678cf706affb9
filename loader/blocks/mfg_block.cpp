#include "blocks/mfg_block.h"

#include <cstdio>
#include <cstring>

#include "blocks/block_bytes.h"

namespace vortlink::loader {

std::string mfg_date_code(const std::tm &local_date) {
    // Seven digits and the terminator fill the field; a date beyond year 9999 would not fit.
    char text[32];
    std::snprintf(text, sizeof text, "%03d%04d", local_date.tm_yday, local_date.tm_year + 1900);
    return text;
}

void build_mfg_block(const mfg_fields &fields, const std::tm &local_date,
                     uint8_t (&block)[mfg_block_size]) {
    using namespace block_bytes;
    std::memset(block, 0, sizeof block);
    put_head(block, mfg_block_identifier, 0x01, 0x00);
    put_text(block + mfg_layout::serial_number_offset, serial_number_size, fields.serial_number);
    std::memcpy(block + mfg_layout::mac_offset, fields.mac.data(), fields.mac.size());
    put_u32_be(block + mfg_layout::ip_offset, fields.ip);
    // Seven characters; the eighth byte of the field is the terminator.
    put_text(block + mfg_layout::date_code_offset, 7, mfg_date_code(local_date));
    put_text(block + mfg_layout::hardware_part_number_offset, hardware_part_number_size,
             fields.hardware_part_number);
    put_text(block + mfg_layout::eco_revision_offset, eco_revision_size, fields.eco_revision);
    if (fields.limit_48v)
        block[mfg_layout::flags_offset] |= mfg_layout::flag_limit_48v;
    seal_record(block);
}

mfg_fields read_mfg_block(const uint8_t (&block)[mfg_block_size]) {
    using namespace block_bytes;
    mfg_fields fields;
    fields.serial_number = get_text(block + mfg_layout::serial_number_offset, serial_number_size);
    std::memcpy(fields.mac.data(), block + mfg_layout::mac_offset, fields.mac.size());
    fields.ip = get_u32_be(block + mfg_layout::ip_offset);
    fields.hardware_part_number =
        get_text(block + mfg_layout::hardware_part_number_offset, hardware_part_number_size);
    fields.eco_revision = get_text(block + mfg_layout::eco_revision_offset, eco_revision_size);
    fields.limit_48v = (block[mfg_layout::flags_offset] & mfg_layout::flag_limit_48v) != 0;
    return fields;
}

bool IsValidMfgBlock(const uint8_t (&block)[mfg_block_size]) {
    return check_record(block, mfg_block_identifier);
}

} // namespace vortlink::loader

#pragma once
// The two kinds of firmware image the boot loader takes, told apart by their lowest address, and
// the header each carries: a controller image at 0x10000, 0x20000 or 0x30000, programmed at its
// own addresses, and an image for the Ethernet processor, linked at 0, recognised by its
// signature and staged in the controller's memory before it is handed on.

#include <cstdint>
#include <span>

#include "common/status.h"

namespace vortlink::loader {

// The image buffer covers every address the controller can be programmed at.
inline constexpr uint32_t image_area_size = 0x40000;
using image_span = std::span<uint8_t, image_area_size>;
using const_image_span = std::span<const uint8_t, image_area_size>;

// Controller image header, at offsets from the image's lowest address.
namespace controller_header {
inline constexpr uint32_t crc_offset = 0x00;
inline constexpr uint32_t covered_offset = 0x02; // the header CRC covers 0x02 to 0x87
inline constexpr uint32_t covered_length = 134;
inline constexpr uint32_t body_start_offset = 0x4A;
inline constexpr uint32_t body_end_offset = 0x4E;
inline constexpr uint32_t body_crc_offset = 0x52;
} // namespace controller_header

// Ethernet-processor image header, at absolute addresses.
namespace ethernet_header {
inline constexpr uint32_t crc_address = 0x500;
inline constexpr uint32_t covered_address = 0x502; // the header CRC covers 0x502 to 0x587
inline constexpr uint32_t covered_length = 134;
inline constexpr uint32_t signature_address = 0x506;
inline constexpr char signature[] = "Kv Quorrel Ethernet";
} // namespace ethernet_header

// Ethernet-processor images are staged high when they fit below 64 KiB, low otherwise.
inline constexpr uint32_t ethernet_staging_high = 0x30000;
inline constexpr uint32_t ethernet_staging_low = 0x10000;
// The hand-over argument keeps the word count below the staging address's upper 16 bits, and
// staging at 0x10000 must stay inside the image area, so these images stay below 128 KiB.
inline constexpr uint32_t ethernet_word_limit = 0xFFFF;

enum class image_kind { controller, ethernet };

struct image_layout {
    image_kind kind = image_kind::controller;
    uint32_t staging_offset = 0; // added to every address the image is written to
};

// Classifies a loaded image by its lowest and highest address. image_not_recognised for any
// other lowest address, an image at 0 without the signature, an Ethernet-processor image whose
// word count does not fit the hand-over argument (0x1FFFE bytes or more), or bounds that do not
// describe a loaded image.
status_t classify_image(const_image_span image, uint32_t lowest, uint32_t highest,
                        image_layout &layout);

// Writes the Ethernet-processor header's CRC-16 (big-endian, at 0x500).
void seal_ethernet_header(image_span image);

// Checks the controller header's body bounds, then writes its body CRC-16 and, over that, its
// header CRC-16 (both big-endian). image_bad_body_start for a start above 0x40000,
// image_bad_body_end for an end before the start or above 0x40000 (the image is then left as it
// was); image_not_recognised when the header would not fit in the image area.
status_t seal_controller_header(image_span image, uint32_t lowest);

// 16-bit words from lowest to highest, rounded up: an image of odd length goes with the fill
// byte that the last chunk staged after it, so that its last byte is handed over too.
uint32_t ethernet_word_count(uint32_t lowest, uint32_t highest);

// The hand-over argument: the image's word count, ORed with the staging address's upper half.
uint32_t forward_argument(uint32_t lowest, uint32_t highest, uint32_t staging_offset);

// How far the chunk at address has come, in whole percent of highest - lowest (unsigned 32-bit
// arithmetic, rounded down); 0 when the image is a single byte.
uint32_t progress_percent(uint32_t address, uint32_t lowest, uint32_t highest);

} // namespace vortlink::loader

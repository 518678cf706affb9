#pragma once
// Status codes of reading a firmware file and checking its image, which the loader raises and
// the shipped error catalogue explains.

#include <cstdint>

namespace vortlink::firmware_file_status {

inline constexpr int16_t srec_at_end = -10300;       // the file was already at its end
inline constexpr int16_t srec_read_failed = -10301;  // no line could be read
inline constexpr int16_t srec_bad_type = -10302;     // S4, S6 or not S0 to S9
inline constexpr int16_t srec_bad_checksum = -10303; // sum of the record's bytes is not 0xFF
inline constexpr int16_t srec_too_long = -10304;     // byte count above 35
inline constexpr int16_t srec_not_a_record = -10305; // line does not start with 'S'
inline constexpr int16_t srec_no_header = -10306;    // first record is not S0
inline constexpr int16_t srec_not_open = -10307;     // file cannot be opened, or none is open
inline constexpr int16_t srec_out_of_range = -10308; // data beyond the image buffer

inline constexpr int16_t image_not_recognised = -20100;
inline constexpr int16_t image_bad_body_start = -20101;
inline constexpr int16_t image_bad_body_end = -20102;

} // namespace vortlink::firmware_file_status

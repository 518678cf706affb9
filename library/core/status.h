#pragma once
// Status codes: every internal routine returns one and stops at the first non-zero status,
// which is passed up unchanged.

#include <cstdint>

#include "vortlink.h"

namespace vortlink {

using status_t = int16_t;

namespace status {
inline constexpr status_t ok = TKCMDSET_OK;
inline constexpr status_t quit_requested = TKCMDSET_QUIT_REQUESTED;
inline constexpr status_t bad_slot = TKCMDSET_BAD_SLOT;
inline constexpr status_t bad_device_name = TKCMDSET_BAD_DEVICE_NAME;
inline constexpr status_t write_not_started = TKCMDSET_WRITE_NOT_STARTED;
inline constexpr status_t write_timeout = TKCMDSET_WRITE_TIMEOUT;
inline constexpr status_t read_not_started = TKCMDSET_READ_NOT_STARTED;
inline constexpr status_t read_timeout = TKCMDSET_READ_TIMEOUT;
inline constexpr status_t bad_reports = TKCMDSET_BAD_REPORTS;
inline constexpr status_t no_usb_device = TKCMDSET_NO_USB_DEVICE;
inline constexpr status_t flush_failed = TKCMDSET_FLUSH_FAILED;
inline constexpr status_t feature_refused = TKCMDSET_FEATURE_REFUSED;
inline constexpr status_t no_string = TKCMDSET_NO_STRING;
inline constexpr status_t no_device_matched = TKCMDSET_NO_DEVICE_MATCHED;
inline constexpr status_t lock_busy = TKCMDSET_LOCK_BUSY;
inline constexpr status_t lock_failed = TKCMDSET_LOCK_FAILED;
inline constexpr status_t wrong_opcode = TKCMDSET_WRONG_OPCODE;
inline constexpr status_t wrong_report_id = TKCMDSET_WRONG_REPORT_ID;
inline constexpr status_t bad_lighthead_data = TKCMDSET_BAD_LIGHTHEAD_DATA;
inline constexpr status_t checksum_mismatch = TKCMDSET_CHECKSUM_MISMATCH;
inline constexpr status_t unknown_opcode = TKCMDSET_UNKNOWN_OPCODE;
inline constexpr status_t settings_open_failed = TKCMDSET_SETTINGS_OPEN_FAILED;
inline constexpr status_t settings_not_open = TKCMDSET_SETTINGS_NOT_OPEN;
inline constexpr status_t setting_read_failed = TKCMDSET_SETTING_READ_FAILED;
inline constexpr status_t setting_write_failed = TKCMDSET_SETTING_WRITE_FAILED;
inline constexpr status_t bad_tcp_slot = TKCMDSET_BAD_TCP_SLOT;
inline constexpr status_t socket_failure = TKCMDSET_SOCKET_FAILURE;
inline constexpr status_t host_unresolved = TKCMDSET_HOST_UNRESOLVED;
inline constexpr status_t reply_timeout = TKCMDSET_REPLY_TIMEOUT;
} // namespace status

} // namespace vortlink

#pragma once
// Strict readings of what a user types: the tool runs unattended, so a value it cannot take
// exactly as given is refused before anything reaches the controller, never cut or guessed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/regular_file.h"

namespace vortlink::ctl {

// A whole unsigned number, decimal or 0x hexadecimal, at most max. No sign, no blanks, no
// octal: "010" is ten.
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max);
// A whole signed decimal number from min to max.
std::optional<int64_t> parse_signed(std::string_view text, int64_t min, int64_t max);
// A whole finite real in decimal or exponent form, read without the locale.
std::optional<double> parse_real(std::string_view text);

// Why text cannot go into a text field of max_length bytes that the controller keeps as
// single-byte characters, or empty when it can. Only printable ASCII is taken: anything else
// would be stored as bytes a reader cannot tell apart from damage.
std::string text_field_problem(std::string_view option, std::string_view text,
                               std::size_t max_length);

using platform::file_use;

// Every file the tool reads or writes is opened here: never through a symbolic link (a link
// another user planted in /tmp cannot make the tool write the victim's files), without waiting
// for a FIFO's other end or a device, and only when it is a regular file, which fstat tells
// after the open; nothing is written or emptied before that. The file blocks as usual
// afterwards. On failure the result is not valid and message names the file and the reason.
platform::regular_file open_regular_file(const std::string &path, file_use use,
                                         std::string &message);

// Reads a regular file of at most max_size bytes. Anything else (a directory, a device, a pipe,
// a link, a file that grows past the limit while it is read) is refused before or while reading,
// so neither /dev/zero nor /dev/urandom can fill memory or keep the tool busy. On failure,
// message names the file and the reason.
bool read_regular_file(const std::string &path, std::size_t max_size, std::vector<uint8_t> &bytes,
                       std::string &message);
// Replaces the contents of the regular file at path (created when missing) with bytes.
bool write_regular_file(const std::string &path, const std::vector<uint8_t> &bytes,
                        std::string &message);
// Whether path can be written by write_regular_file as far as can be told without touching it:
// missing, or a regular file that is no link. The write checks again.
bool check_output_file(const std::string &path, std::string &message);

// Edit distance, for suggesting the nearest known name.
std::size_t edit_distance(std::string_view a, std::string_view b);
// The candidate nearest to text when it is near enough to be a misspelling, else empty.
std::string nearest_name(std::string_view text, const std::vector<std::string> &candidates);

} // namespace vortlink::ctl

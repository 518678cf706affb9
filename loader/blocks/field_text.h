#pragma once
// The loader's text fields hold numbers as the user typed them. Two readings exist: the lenient
// one of the configuration fields (leading blanks and a sign, up to the first character that does
// not fit, no digits is 0) and the strict one of the lighthead editor (the whole text must be the
// number, surrounding blanks aside). Both ignore the process locale: the controller's numbers are
// always written with a decimal point.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vortlink::loader {

// Lenient readings. An integer beyond the 32-bit range saturates; a real beyond the single
// precision range becomes an infinity.
int32_t lenient_int32(std::string_view text);
float lenient_float(std::string_view text);

// Strict readings: nullopt when the text, blanks around it aside, is not wholly a decimal integer
// in the 32-bit range, or a finite real in decimal or exponent form.
std::optional<int32_t> strict_int32(std::string_view text);
std::optional<float> strict_float(std::string_view text);

// printf's "%W.Pf" and "%.Pg" for one value, without the locale's decimal separator.
std::string fixed_text(double value, int width, int precision);
std::string general_text(double value, int significant_digits);

} // namespace vortlink::loader

#pragma once
// The loader packs its blocks and images with the library's big-endian helpers.

#include "core/byte_order.h"

namespace vortlink::loader {
using vortlink::get_f32_be;
using vortlink::get_u16_be;
using vortlink::get_u32_be;
using vortlink::put_f32_be;
using vortlink::put_u16_be;
using vortlink::put_u32_be;
} // namespace vortlink::loader

#pragma once
// The messages of the HID socket, which stands in for the USB bus between the library's
// simulated HID backend and the controllers. The library keeps its own copy of these numbers
// (library/core/platform/hid_sim_backend.cpp); the layout is described in the README.
//
// Every message: u16 length (big-endian, counting the type byte and the payload, 1 to
// max_message_length), a type byte, the payload. A request of type T is answered by exactly one
// response of type T | response_flag whose payload starts with a result byte (result_ok or
// result_refused); responses come in the order of their requests. Input reports arrive on a
// device connection at any time, between responses.

#include <cstddef>
#include <cstdint>

namespace vortlink::sim::hid_wire {

inline constexpr std::size_t header_length = 2;
inline constexpr std::size_t max_message_length = 4096;

// Requests (library -> simulator).
inline constexpr uint8_t list_devices = 0x01;   // -> u8 count, then per device u8 length + key
inline constexpr uint8_t open_device = 0x02;    // key; the connection then belongs to the device
inline constexpr uint8_t get_descriptor = 0x03; // -> report descriptor bytes
inline constexpr uint8_t get_product = 0x04;    // -> UTF-8 text
inline constexpr uint8_t get_serial = 0x05;     // -> UTF-8 text
inline constexpr uint8_t get_indexed = 0x06;    // u16 index (big-endian) -> UTF-8 text
inline constexpr uint8_t write_report = 0x07;   // the whole output report, report ID first
inline constexpr uint8_t send_feature = 0x08;   // the whole feature report, report ID first
// On an unbound connection: the connection becomes a watcher of the bus. The response carries
// the device list as list_devices gives it; after that a bus_changed message with the new list
// comes whenever a controller leaves or joins the bus. Nothing else is taken on it.
inline constexpr uint8_t watch_bus = 0x09;

inline constexpr uint8_t response_flag = 0x80;
// Simulator -> library, unasked: one input report, report ID first.
inline constexpr uint8_t input_report = 0x90;
// Simulator -> watcher, unasked: u8 count, then per present controller u8 n and its key.
inline constexpr uint8_t bus_changed = 0x91;

inline constexpr uint8_t result_ok = 0;
inline constexpr uint8_t result_refused = 1;

// Longest device key in a device list.
inline constexpr std::size_t max_key_length = 64;

} // namespace vortlink::sim::hid_wire

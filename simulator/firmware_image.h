#pragma once
// The controller's program flash as its boot loader sees it: 64 KiB blocks that are erased when
// a programming run begins them, 128-byte chunks stored from the transfer buffer, the check of a
// controller image's header when its header chunk arrives, and the check of an Ethernet-processor
// image staged for hand-over.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vortlink::sim {

class programming_area {
  public:
    static constexpr uint32_t size = 0x40000;
    static constexpr uint32_t block_size = 0x10000;
    static constexpr uint32_t chunk_size = 128;
    // The boot loader lives in the first block and never lets itself be overwritten.
    static constexpr uint32_t first_programmable = 0x10000;
    static constexpr std::size_t chunk_count = size / chunk_size;
    // Flash contents, then one bit per chunk (least significant first) telling which hold
    // programmed data.
    static constexpr std::size_t serialized_size = size + chunk_count / 8;

    programming_area();

    // Erases the 64 KiB block at `base` and opens it for chunks. Returns 0 or a device error.
    int16_t begin_block(uint32_t base);
    // Stores one chunk at `target` (a multiple of 128 inside a begun block). A chunk at a
    // controller image's base written after the image's first data chunk is its header: the
    // header and body CRC-16s must then hold over the programmed bytes, or the chunk is refused
    // with image_rejected and the flash keeps what it had. Returns 0 or a device error.
    int16_t store_chunk(uint32_t target, std::span<const uint8_t, chunk_size> data);
    // Blocks begun by the loader stay open only until it restarts.
    void close_blocks();

    // Checks an Ethernet-processor image of `byte_count` bytes staged at `staging`: stored,
    // inside the flash, with its signature and header CRC-16. On success `image_crc` is the
    // CRC-16 of the staged bytes. Returns 0 or a device error.
    int16_t check_staged_image(uint32_t staging, uint32_t byte_count, uint16_t &image_crc) const;

    struct range {
        uint32_t lowest;
        uint32_t highest; // inclusive
    };
    // From the first to the last byte of the chunks holding programmed data.
    std::optional<range> programmed_range() const;
    std::span<const uint8_t> bytes() const { return flash_; }

    std::vector<uint8_t> serialize() const;
    // False (and nothing changed) when the bytes are not a serialized area.
    bool deserialize(std::span<const uint8_t> saved);

  private:
    bool header_holds(uint32_t base) const;

    std::vector<uint8_t> flash_;
    std::bitset<chunk_count> programmed_;
    std::array<bool, size / block_size> begun_{};
};

} // namespace vortlink::sim

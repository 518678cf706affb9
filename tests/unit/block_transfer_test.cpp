// Memory and EEPROM block transfers over TCP against quorrel-sim: chunking, address wrap,
// failures part-way, and the throttled progress hook.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "core/platform/clock.h"
#include "support/simulator_slot.h"

using namespace vortlink;
using vortlink::test::SimulatorSlot;

namespace {

struct progress_call {
    uint32_t kind;
    uint32_t address;
    uint32_t at_ms;
};

void record_progress(void *context, uint32_t kind, uint32_t address) {
    static_cast<std::vector<progress_call> *>(context)->push_back(
        {kind, address, platform::monotonic_ms()});
}

std::vector<uint8_t> pattern(std::size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

struct chunk {
    uint32_t address;
    uint16_t count;
};

class BlockTransfer : public SimulatorSlot {
  protected:
    void SetUp() override {
        SimulatorSlot::SetUp();
        tkcmdset_set_progress_handler(record_progress, &progress);
    }
    void TearDown() override { tkcmdset_set_progress_handler(nullptr, nullptr); }

    // Address and count of every logged chunk request.
    std::vector<chunk> chunks() {
        std::vector<chunk> found;
        for (const auto &frame : sim.frames()) {
            EXPECT_GE(frame.size(), 9u);
            if (frame.size() < 9)
                break;
            found.push_back(
                {static_cast<uint32_t>(frame[2] << 24 | frame[3] << 16 | frame[4] << 8 | frame[5]),
                 static_cast<uint16_t>(frame[6] << 8 | frame[7])});
        }
        return found;
    }

    void expect_chunks(std::initializer_list<chunk> expected) {
        const auto sent = chunks();
        ASSERT_EQ(sent.size(), expected.size());
        std::size_t i = 0;
        for (const chunk &want : expected) {
            EXPECT_EQ(sent[i].address, want.address) << "chunk " << i;
            EXPECT_EQ(sent[i].count, want.count) << "chunk " << i;
            ++i;
        }
    }

    std::vector<progress_call> progress;
};

} // namespace

TEST_F(BlockTransfer, EepromWriteGoesIn104ByteChunksWithAZeroFilledField) {
    const auto data = pattern(256, 1);
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 512, data.data(), 256), TKCMDSET_OK);
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0][1], 0x54);
    for (const auto &frame : frames)
        EXPECT_EQ(frame.size(), 121u) << "header, opcode, 118 data bytes, CRC-8";
    EXPECT_TRUE(std::equal(data.begin() + 208, data.end(), frames[2].begin() + 8));
    EXPECT_TRUE(std::all_of(frames[2].begin() + 8 + 48, frames[2].end() - 1, [](uint8_t byte) {
        return byte == 0;
    })) << "after a short last chunk the field is zero, not the previous chunk's bytes";
    expect_chunks({{512, 104}, {616, 104}, {720, 48}});

    sim.clear_frames();
    std::vector<uint8_t> back(256);
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 512, back.data(), 256), TKCMDSET_OK);
    EXPECT_EQ(back, data);
    expect_chunks({{512, 110}, {622, 110}, {732, 36}});
}

TEST_F(BlockTransfer, ChunkLimitsOfEachCommand) {
    const auto data = pattern(128, 9);
    std::vector<uint8_t> back(128);
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 1024, back.data(), 128), TKCMDSET_OK);
    expect_chunks({{1024, 110}, {1134, 18}});
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x100, data.data(), 104), TKCMDSET_OK);
    expect_chunks({{0x100, 104}});
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x100, data.data(), 105), TKCMDSET_OK);
    expect_chunks({{0x100, 104}, {0x168, 1}});
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 0, back.data(), 110), TKCMDSET_OK);
    expect_chunks({{0, 110}});
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_read_mem_block(slot, 0x100, back.data(), 110), TKCMDSET_OK);
    expect_chunks({{0x100, 104}, {0x168, 6}});
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 105, data.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + 105, back.begin() + 110, [](uint8_t b) {
        return b == 0;
    })) << "memory never written reads as zero";
}

TEST_F(BlockTransfer, EepromAddressWrapsPastTheTop) {
    // The simulated EEPROM refuses a range past its end; an empty error reply stands in for a
    // controller that accepts the first chunk.
    sim.inject("error 0");
    const auto data = pattern(200, 50);
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0xFFF0, data.data(), 200), TKCMDSET_OK);
    expect_chunks({{0xFFF0, 104}, {0x0058, 96}});
    std::vector<uint8_t> back(96);
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 0x0058, back.data(), 96), TKCMDSET_OK);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 104));
}

TEST_F(BlockTransfer, LengthZeroSendsNothingAndReportsNothing) {
    uint8_t byte = 0x33;
    EXPECT_EQ(tkcmdset_write_mem_block(slot, 0, &byte, 0), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_read_mem_block(slot, 0, &byte, 0), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_write_eemem_block(slot, 0, &byte, 0), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_read_eemem_block(slot, 0, &byte, 0), TKCMDSET_OK);
    EXPECT_EQ(byte, 0x33);
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(tkcmdset_read_mem_block(50, 0, &byte, 1), TKCMDSET_BAD_SLOT);
}

TEST_F(BlockTransfer, FailedChunkEndsTheTransferAndKeepsWhatArrived) {
    const auto data = pattern(300, 0);
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x2000, data.data(), 300), TKCMDSET_OK);
    sim.clear_frames();
    sim.inject("delay 0");
    sim.inject("error 4");
    std::vector<uint8_t> back(300, 0xEE);
    EXPECT_EQ(tkcmdset_read_mem_block(slot, 0x2000, back.data(), 300), 4);
    EXPECT_EQ(chunks().size(), 2u) << "nothing is sent after the failed chunk";
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 104, data.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + 104, back.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST_F(BlockTransfer, ProgressNamesKindAndChunkAddressAndIsThrottled) {
    std::vector<uint8_t> buffer(2000, 0);
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x4000, buffer.data(), 2000), TKCMDSET_OK);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress[0].kind, 1u);
    EXPECT_EQ(progress[0].address, 0x4000u) << "the first chunk always reports";
    for (std::size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i].at_ms - progress[i - 1].at_ms, 100u) << "call " << i;
        EXPECT_EQ((progress[i].address - 0x4000) % 104, 0u) << "a chunk's start address";
    }

    const struct {
        uint32_t kind;
        int16_t (*run)(uint8_t, uint8_t *);
    } kinds[] = {
        {2, [](uint8_t s, uint8_t *b) { return tkcmdset_read_mem_block(s, 0x4000, b, 300); }},
        {5, [](uint8_t s, uint8_t *b) { return tkcmdset_write_eemem_block(s, 0x4000, b, 300); }},
        {6, [](uint8_t s, uint8_t *b) { return tkcmdset_read_eemem_block(s, 0x4000, b, 300); }},
    };
    for (const auto &transfer : kinds) {
        SCOPED_TRACE(transfer.kind);
        progress.clear();
        // Each reply is held for longer than the throttle, so every chunk reports.
        for (int i = 0; i < 3; ++i)
            sim.inject("delay 150");
        ASSERT_EQ(transfer.run(slot, buffer.data()), TKCMDSET_OK);
        const uint32_t step = transfer.kind == 6 ? 110 : 104;
        ASSERT_EQ(progress.size(), 3u);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(progress[i].kind, transfer.kind);
            EXPECT_EQ(progress[i].address, 0x4000 + i * step);
        }
    }
}

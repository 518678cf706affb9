// Arbitrary bytes as an S-record file. Besides the sanitizers' findings: every record read is one
// of the allowed types with an address its type can carry, reading ends within the file, a load
// that fails leaves zero bounds, and a load that succeeds leaves every byte outside its bounds
// at 0xFF.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/srecord.h"

namespace {

using namespace vortlink::loader;

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool is_read_status(status_t status) {
    return status == status::srec_at_end || status == status::srec_read_failed ||
           status == status::srec_bad_type || status == status::srec_bad_checksum ||
           status == status::srec_too_long || status == status::srec_not_a_record;
}

uint64_t address_limit(uint8_t type) {
    switch (type) {
    case 0:
    case 1:
    case 9:
        return 0xFFFF;
    case 2:
    case 8:
        return 0xFFFFFF;
    case 5:
        return 0;
    default:
        return 0xFFFFFFFF;
    }
}

// The reader takes a path, and refuses a symbolic link such as a memory file's /proc/self/fd
// entry: the input goes into one private temporary file, rewritten for every run.
const char *file_holding(const uint8_t *data, std::size_t size) {
    static char path[] = "/tmp/srecord_fuzz.XXXXXX";
    static const int fd = mkstemp(path);
    static const bool removed_at_exit = std::atexit([] { unlink(path); }) == 0;
    require(fd >= 0 && removed_at_exit);
    require(ftruncate(fd, 0) == 0);
    require(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    static std::vector<uint8_t> image(0x40000);
    const char *path = file_holding(data, size);

    SRecordFile file;
    status_t status = file.OpenSRecordFile(path);
    require(status == status::ok || status == status::srec_no_header || is_read_status(status));
    if (status != status::ok) {
        require(!file.is_open());
        return 0;
    }
    std::size_t reads = 0;
    for (;;) {
        SRecord record;
        status = file.ReadSRecord(record);
        if (status != status::ok) {
            require(is_read_status(status) && record.length == 0);
            break;
        }
        require(record.type <= 9 && record.type != 4 && record.type != 6);
        require(record.length <= srecord_max_data && record.address <= address_limit(record.type));
        require(++reads <= size);
    }

    uint32_t lowest = 1;
    uint32_t highest = 1;
    require(file.OpenSRecordFile(path) == status::ok);
    status = file.LoadSRecordImage(image, lowest, highest);
    if (status != status::ok) {
        require(is_read_status(status) || status == status::srec_out_of_range);
        require(status != status::srec_at_end && status != status::srec_read_failed);
        require(lowest == 0 && highest == 0);
        return 0;
    }
    if (lowest == 0xFFFFFFFF) {
        require(highest == 0);
        require(std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0xFF; }));
        return 0;
    }
    require(lowest <= highest && highest < image.size());
    require(
        std::all_of(image.begin(), image.begin() + lowest, [](uint8_t b) { return b == 0xFF; }));
    require(
        std::all_of(image.begin() + highest + 1, image.end(), [](uint8_t b) { return b == 0xFF; }));
    return 0;
}

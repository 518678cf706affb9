// The S-record reader: files made by srec_cat from known binaries, and hand-made files for every
// status code and edge of the line format.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/srecord.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"

using namespace vortlink::loader;
using vortlink::test::known_bytes;
using vortlink::test::temp_directory;
using vortlink::test::write_file;

namespace {

constexpr std::size_t image_size = 0x40000;
const std::string header = "S00600004844521B\n"; // S0 "HDR"
const std::string s9_end = "S9030000FC\n";

// One record line with its count and checksum worked out.
std::string record(char type, int address_bytes, uint32_t address,
                   const std::vector<uint8_t> &data) {
    std::vector<uint8_t> bytes;
    for (int i = address_bytes - 1; i >= 0; --i)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = static_cast<unsigned>(bytes.size() + 1);
    std::ostringstream out;
    out << 'S' << type;
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", sum);
    out << pair;
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        out << pair;
        sum += byte;
    }
    std::snprintf(pair, sizeof pair, "%02X", ~sum & 0xFF);
    out << pair << '\n';
    return out.str();
}

std::string s1(uint32_t address, const std::vector<uint8_t> &data) {
    return record('1', 2, address, data);
}
std::string s2(uint32_t address, const std::vector<uint8_t> &data) {
    return record('2', 3, address, data);
}
std::string s3(uint32_t address, const std::vector<uint8_t> &data) {
    return record('3', 4, address, data);
}

class SRecordTest : public ::testing::Test {
  protected:
    SRecordTest() : image(image_size, 0) {}

    std::string file_with(const std::string &text) {
        const std::string path = dir.file("image" + std::to_string(++files) + ".mot");
        write_file(path, text);
        return path;
    }

    // Opens a file with the text and loads it into image; the open's status if that fails.
    status_t load(const std::string &text) {
        lowest = highest = 0x5A5A5A5A;
        const status_t status = file.OpenSRecordFile(file_with(text).c_str());
        return status != status::ok ? status : file.LoadSRecordImage(image, lowest, highest);
    }

    void expect_failed_load(const std::string &text, status_t expected) {
        EXPECT_EQ(load(text), expected);
        EXPECT_EQ(lowest, 0u);
        EXPECT_EQ(highest, 0u);
    }

    temp_directory dir;
    int files = 0;
    SRecordFile file;
    std::vector<uint8_t> image;
    uint32_t lowest = 0;
    uint32_t highest = 0;
};

class SrecCatFiles : public SRecordTest {
  protected:
    std::string convert(const std::vector<uint8_t> &bytes, uint32_t offset,
                        const std::vector<std::string> &options) {
        return vortlink::test::srec_cat_convert(dir.file("known" + std::to_string(++files)), bytes,
                                                offset, options);
    }

    void expect_image(const std::vector<uint8_t> &bytes, uint32_t offset) {
        EXPECT_EQ(lowest, offset);
        EXPECT_EQ(highest, offset + bytes.size() - 1);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + offset));
        EXPECT_EQ(std::count(image.begin(), image.end(), uint8_t{0xFF}),
                  static_cast<std::ptrdiff_t>(image_size - bytes.size()) +
                      std::count(bytes.begin(), bytes.end(), uint8_t{0xFF}))
            << "bytes no record sets stay 0xFF";
    }

    status_t load_file(const std::string &path) {
        const status_t status = file.OpenSRecordFile(path.c_str());
        return status != status::ok ? status : file.LoadSRecordImage(image, lowest, highest);
    }
};

} // namespace

TEST_F(SrecCatFiles, LoadsS19S28AndS37Files) {
    const auto at_zero = known_bytes(0x5000, 1);
    ASSERT_EQ(load_file(convert(at_zero, 0, {"-address-length=2"})), status::ok);
    expect_image(at_zero, 0);

    // 192 KiB, the largest controller image; S2 records of 32 data bytes would be too long.
    const auto controller = known_bytes(0x30000, 2);
    ASSERT_EQ(load_file(convert(controller, 0x10000, {"-address-length=3", "-obs=16"})),
              status::ok);
    expect_image(controller, 0x10000);

    const auto s37 = known_bytes(0x1234, 3);
    ASSERT_EQ(load_file(convert(s37, 0x20000, {"-address-length=4", "-obs=30"})), status::ok);
    expect_image(s37, 0x20000);
}

TEST_F(SrecCatFiles, CrLfLineEndsReadAsLf) {
    const auto bytes = known_bytes(0x800, 4);
    const std::string path = convert(bytes, 0x30000, {"-address-length=3", "-obs=16"});
    std::ifstream in(path);
    std::string text;
    for (std::string line; std::getline(in, line);)
        text += line + "\r\n";
    write_file(path, text);
    ASSERT_EQ(load_file(path), status::ok);
    expect_image(bytes, 0x30000);
}

TEST_F(SrecCatFiles, ThirtyTwoByteS2RecordsAreTooLong) {
    const auto bytes = known_bytes(0x100, 5);
    EXPECT_EQ(load_file(convert(bytes, 0x10000, {"-address-length=3"})), status::srec_too_long);
}

TEST_F(SRecordTest, OpenNeedsAReadableFileThatStartsWithS0) {
    EXPECT_EQ(file.OpenSRecordFile(""), status::srec_not_open);
    EXPECT_EQ(file.OpenSRecordFile(nullptr), status::srec_not_open);
    EXPECT_EQ(file.OpenSRecordFile(dir.file("missing.mot").c_str()), status::srec_not_open);
    EXPECT_EQ(file.OpenSRecordFile(dir.path().c_str()), status::srec_not_open);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(file.OpenSRecordFile(fifo.c_str()), status::srec_not_open) << "and no hang";

    EXPECT_EQ(file.OpenSRecordFile(file_with(s1(0, {1}) + s9_end).c_str()), status::srec_no_header);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.OpenSRecordFile(file_with("").c_str()), status::srec_read_failed);
    EXPECT_EQ(file.OpenSRecordFile(file_with("\n" + header).c_str()), status::srec_not_a_record);

    // Without an open file nothing is read and the bounds are 0.
    lowest = highest = 7;
    EXPECT_EQ(file.LoadSRecordImage(image, lowest, highest), status::srec_not_open);
    EXPECT_EQ(lowest, 0u);
    EXPECT_EQ(highest, 0u);
    SRecord record;
    EXPECT_EQ(file.ReadSRecord(record), status::srec_not_open);
}

TEST_F(SRecordTest, OpeningAnotherFileClosesTheFirst) {
    ASSERT_EQ(file.OpenSRecordFile(file_with(header + s1(0x10, {1})).c_str()), status::ok);
    ASSERT_EQ(file.OpenSRecordFile(file_with(header + s1(0x20, {2})).c_str()), status::ok);
    ASSERT_EQ(file.LoadSRecordImage(image, lowest, highest), status::ok);
    EXPECT_EQ(lowest, 0x20u);
    EXPECT_EQ(image[0x10], 0xFF);
}

TEST_F(SRecordTest, ReadsEachRecordType) {
    const std::string text = header + s1(0x1234, {0xAA, 0xBB}) + s2(0x3FFFF, {0xCC}) +
                             s3(0x89ABCDEF, {}) + "S5030003F9\n" + "s1030000FC\n" +
                             "S70500010000F9\n" + "S804010000FA\n" + s9_end;
    ASSERT_EQ(file.OpenSRecordFile(file_with(text).c_str()), status::ok);
    struct expected {
        uint8_t type, length;
        uint32_t address;
    };
    for (const expected want : {expected{1, 2, 0x1234}, expected{2, 1, 0x3FFFF},
                                expected{3, 0, 0x89ABCDEF}, expected{5, 0, 0}}) {
        SRecord got;
        ASSERT_EQ(file.ReadSRecord(got), status::ok);
        EXPECT_EQ(got.type, want.type);
        EXPECT_EQ(got.length, want.length);
        EXPECT_EQ(got.address, want.address);
    }
    SRecord got;
    EXPECT_EQ(file.ReadSRecord(got), status::srec_not_a_record) << "lower-case s";
    ASSERT_EQ(file.ReadSRecord(got), status::ok);
    EXPECT_EQ(got.type, 7);
    EXPECT_EQ(got.address, 0x00010000u);
    ASSERT_EQ(file.ReadSRecord(got), status::ok);
    EXPECT_EQ(got.address, 0x010000u);
    ASSERT_EQ(file.ReadSRecord(got), status::ok);
    EXPECT_EQ(got.type, 9);
    // The last line ended with its line end: the next read finds nothing, the one after that
    // knows the file is at its end.
    EXPECT_EQ(file.ReadSRecord(got), status::srec_read_failed);
    EXPECT_EQ(file.ReadSRecord(got), status::srec_at_end);
}

TEST_F(SRecordTest, EachLineFaultHasItsCode) {
    struct fault {
        std::string line;
        status_t expected;
    };
    const fault faults[] = {
        {"S4030000FC\n", status::srec_bad_type},
        {"S6030000FC\n", status::srec_bad_type},
        {"SA030000FC\n", status::srec_bad_type},
        {"S4030000FD\n", status::srec_bad_checksum}, // the checksum is tested first
        {"S1030000FD\n", status::srec_bad_checksum},
        {"S124" + std::string(72, '0') + "\n", status::srec_too_long},
        {"s1030000FC\n", status::srec_not_a_record},
        {" S1030000FC\n", status::srec_not_a_record},
        {"\n", status::srec_not_a_record},
        // No room for the address and checksum: refused before anything is copied.
        {"S10200FD\n", status::srec_bad_checksum},
        {"S301FE\n", status::srec_bad_checksum},
        {"S901FE\n", status::srec_bad_checksum},
        {std::string("\0\xFF\x01S1", 5) + "\n", status::srec_not_a_record},
    };
    for (const fault &f : faults) {
        ASSERT_EQ(file.OpenSRecordFile(file_with(header + f.line).c_str()), status::ok);
        SRecord record;
        EXPECT_EQ(file.ReadSRecord(record), f.expected) << f.line;
        EXPECT_EQ(record.length, 0) << f.line;
    }
}

TEST_F(SRecordTest, HexPairsStopAtTheFirstNonDigit) {
    // "5Z" reads as 5 and "Z5" as 0; lower-case digits count.
    ASSERT_EQ(file.OpenSRecordFile(file_with(header + "S10500105ZZ5e5\n").c_str()), status::ok);
    SRecord record;
    ASSERT_EQ(file.ReadSRecord(record), status::ok);
    ASSERT_EQ(record.length, 2);
    EXPECT_EQ(record.data[0], 5);
    EXPECT_EQ(record.data[1], 0);
}

TEST_F(SRecordTest, LoadFillsTheImageAndTracksItsBounds) {
    ASSERT_EQ(load(header + s2(0x10010, {1, 2, 3}) + s1(0x8000, {4}) + s2(0x10011, {9}) +
                   s1(0x9000, {}) + s9_end + "junk after the end is never read\n"),
              status::ok);
    EXPECT_EQ(lowest, 0x8000u);
    EXPECT_EQ(highest, 0x10012u);
    EXPECT_EQ(image[0x10010], 1);
    EXPECT_EQ(image[0x10011], 9) << "later records overwrite earlier ones";
    EXPECT_EQ(image[0x10012], 3);
    EXPECT_EQ(image[0x8000], 4);
    EXPECT_EQ(image[0], 0xFF);

    // Empty data records leave the bounds alone; no data at all gives the empty bounds.
    ASSERT_EQ(load(header + s1(0, {}) + s3(0x30000, {}) + s9_end), status::ok);
    EXPECT_EQ(lowest, 0xFFFFFFFFu);
    EXPECT_EQ(highest, 0u);
}

TEST_F(SRecordTest, FileWithoutTerminationLoadsToItsEnd) {
    ASSERT_EQ(load(header + s1(0x100, {1}) + s1(0x200, {2})), status::ok);
    EXPECT_EQ(highest, 0x200u);
    // Nor does the last line need its line end.
    std::string text = header + s1(0x100, {1}) + s1(0x300, {3});
    text.pop_back();
    ASSERT_EQ(load(text), status::ok);
    EXPECT_EQ(highest, 0x300u);
    EXPECT_EQ(image[0x300], 3);
}

TEST_F(SRecordTest, FailedLoadsLeaveZeroBounds) {
    expect_failed_load(header + s1(0x100, {1}) + "\n" + s9_end, status::srec_not_a_record);
    expect_failed_load(header + s1(0x100, {1}) + "\n", status::srec_not_a_record);
    expect_failed_load(header + s1(0x100, {1}) + "S1040100015A\n" + s9_end,
                       status::srec_bad_checksum);
    expect_failed_load(header + "S5030001FB\n" + "S4030000FC\n", status::srec_bad_type);
}

TEST_F(SRecordTest, ImageEndsAt3FFFF) {
    ASSERT_EQ(load(header + s2(0x3FFFE, {1, 2}) + s9_end), status::ok);
    EXPECT_EQ(highest, 0x3FFFFu);
    EXPECT_EQ(image[0x3FFFF], 2);
    expect_failed_load(header + s2(0x3FFFF, {1, 2}) + s9_end, status::srec_out_of_range);
    expect_failed_load(header + s3(0xFFFFFFFF, {1, 2}) + s9_end, status::srec_out_of_range);
}

TEST_F(SRecordTest, LongLinesGoOnAsTheNextLine) {
    // 99 characters fill a line, so the line end after them reads as a blank line.
    std::string line = s1(0x100, {1});
    line.insert(line.size() - 1, 99 - (line.size() - 1), ' ');
    expect_failed_load(header + line + s9_end, status::srec_not_a_record);
    line.erase(line.size() - 2, 1);
    ASSERT_EQ(load(header + line + s9_end), status::ok) << "98 characters and the line end";
    line.insert(line.size() - 1, "\r");
    ASSERT_EQ(load(header + line + s9_end), status::ok) << "CR LF is one line end";

    expect_failed_load(header + "S" + std::string(1 << 20, '1') + "\n", status::srec_bad_checksum);
}

TEST_F(SRecordTest, BinaryJunkIsNotARecord) {
    auto junk = known_bytes(1 << 16, 6);
    junk[0] = 0;
    expect_failed_load(header + std::string(junk.begin(), junk.end()), status::srec_not_a_record);
}

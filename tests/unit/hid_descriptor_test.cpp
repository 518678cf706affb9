#include "core/platform/hid_descriptor.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/descriptor_fixture.h"

namespace vortlink::platform {
namespace {

using test::read_descriptor_fixture;

using bytes = std::vector<uint8_t>;

status_t parse(const bytes &descriptor, hid_report_description &description) {
    return parse_report_descriptor(std::span<const uint8_t>(descriptor), description);
}

status_t parse_status(const bytes &descriptor) {
    hid_report_description description;
    return parse(descriptor, description);
}

hid_report_description parse_ok(const bytes &descriptor) {
    hid_report_description description;
    EXPECT_EQ(parse(descriptor, description), status::ok);
    return description;
}

// Report ID and count found for the usage, or {-1, -1} when none.
std::pair<int, int> lookup(const hid_report_description &description, int usage) {
    hid_value_report report;
    report.report_id = 0xEE;
    report.report_count = 0xEEEE;
    if (!description.find_value_usage(static_cast<uint16_t>(usage), report))
        return {-1, -1};
    return {report.report_id, report.report_count};
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes result;
    for (const bytes &part : parts)
        result.insert(result.end(), part.begin(), part.end());
    return result;
}

bytes repeat(const bytes &part, unsigned times) {
    bytes result;
    for (unsigned i = 0; i < times; ++i)
        result.insert(result.end(), part.begin(), part.end());
    return result;
}

// Vendor application collection around the items.
bytes in_collection(const bytes &items) {
    return concat({{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, items, {0xC0}});
}

const bytes byte_input = {0x75, 0x08, 0x95, 0x01, 0x09, 0x01, 0x81, 0x02};
const bytes byte_input_without_usage = {0x75, 0x08, 0x95, 0x01, 0x81, 0x02};

// ---- Real-world descriptors -------------------------------------------------------------------

TEST(HidDescriptorGolden, QuorrelControllerGivesItsFiveReports) {
    const auto description = parse_ok(read_descriptor_fixture("quorrel_controller"));
    EXPECT_TRUE(description.uses_report_ids);
    EXPECT_EQ(description.lengths.input, 113);
    EXPECT_EQ(description.lengths.output, 113);
    EXPECT_EQ(description.lengths.feature, 9);

    EXPECT_EQ(lookup(description, 0xA6), std::make_pair(1, 63));
    EXPECT_EQ(lookup(description, 0xA7), std::make_pair(2, 112));
    EXPECT_EQ(lookup(description, 0xA8), std::make_pair(3, 63));
    EXPECT_EQ(lookup(description, 0xA9), std::make_pair(4, 112));
    EXPECT_EQ(lookup(description, 0xAA), std::make_pair(5, 8));
    EXPECT_EQ(lookup(description, 0xA5), std::make_pair(-1, -1));
    EXPECT_EQ(lookup(description, 0xAB), std::make_pair(-1, -1));
    // The application collection's own usage is on no data item.
    EXPECT_EQ(lookup(description, 0x01), std::make_pair(-1, -1));

    ASSERT_EQ(description.value_items.size(), 5u);
    const hid_value_item &feature = description.value_items[4];
    EXPECT_EQ(feature.type, hid_report_type::feature);
    EXPECT_EQ(feature.usage_minimum, 0xFF0000AAu);
    EXPECT_EQ(feature.usage_maximum, 0xFF0000AAu);
    EXPECT_EQ(feature.report_size, 8);
    EXPECT_EQ(feature.flags, 0x02u);
}

TEST(HidDescriptorGolden, BootKeyboardCountsPaddingAndSkipsTheKeyArray) {
    const auto description = parse_ok(read_descriptor_fixture("boot_keyboard"));
    EXPECT_FALSE(description.uses_report_ids);
    // 8 bytes in and 1 byte out, plus the report ID byte that is 0 for unnumbered reports.
    EXPECT_EQ(description.lengths.input, 9);
    EXPECT_EQ(description.lengths.output, 2);
    EXPECT_EQ(description.lengths.feature, 0);

    EXPECT_EQ(lookup(description, 0xE0), std::make_pair(0, 8));
    EXPECT_EQ(lookup(description, 0xE7), std::make_pair(0, 8));
    // Usage 3 lies in the key-code array (not a value item), so the LED range answers.
    EXPECT_EQ(lookup(description, 0x03), std::make_pair(0, 5));
    EXPECT_EQ(lookup(description, 0x06), std::make_pair(-1, -1));
    EXPECT_EQ(lookup(description, 0xE8), std::make_pair(-1, -1));

    ASSERT_EQ(description.value_items.size(), 2u);
    EXPECT_EQ(description.value_items[0].usage_minimum, 0x000700E0u);
    EXPECT_EQ(description.value_items[0].usage_maximum, 0x000700E7u);
    EXPECT_EQ(description.value_items[1].type, hid_report_type::output);
    EXPECT_EQ(description.value_items[1].usage_minimum, 0x00080001u);
    EXPECT_EQ(description.value_items[1].usage_maximum, 0x00080005u);
}

TEST(HidDescriptorGolden, MouseWithReportIdsTakesTheLongestNumberedReport) {
    const auto description = parse_ok(read_descriptor_fixture("mouse_with_report_id"));
    EXPECT_TRUE(description.uses_report_ids);
    // Report 2 has 48 bits, report 3 has 16.
    EXPECT_EQ(description.lengths.input, 7);
    EXPECT_EQ(description.lengths.output, 0);
    EXPECT_EQ(description.lengths.feature, 0);

    EXPECT_EQ(lookup(description, 0x05), std::make_pair(2, 5)); // button 5
    // X and Y share one item; both carry it with its count.
    EXPECT_EQ(lookup(description, 0x30), std::make_pair(2, 2));
    EXPECT_EQ(lookup(description, 0x31), std::make_pair(2, 2));
    EXPECT_EQ(lookup(description, 0x38), std::make_pair(2, 1));
    // The consumer controls are an array.
    EXPECT_EQ(lookup(description, 0x0E9), std::make_pair(-1, -1));
}

TEST(HidDescriptorGolden, VendorDeviceWithoutReportIds) {
    const auto description = parse_ok(read_descriptor_fixture("vendor_64_byte"));
    EXPECT_FALSE(description.uses_report_ids);
    EXPECT_EQ(description.lengths.input, 65);
    EXPECT_EQ(description.lengths.output, 65);
    EXPECT_EQ(description.lengths.feature, 0);
    EXPECT_EQ(lookup(description, 0x01), std::make_pair(0, 64));
    EXPECT_EQ(lookup(description, 0x40), std::make_pair(0, 64));
    EXPECT_EQ(lookup(description, 0x41), std::make_pair(-1, -1));
}

// ---- Usages and the search order --------------------------------------------------------------

TEST(HidDescriptorUsages, InputBeatsOutputBeatsFeatureWhateverTheirOrder) {
    const bytes feature = {0x85, 0x07, 0x75, 0x08, 0x95, 0x03, 0x09, 0xA8, 0xB1, 0x02};
    const bytes output = {0x85, 0x06, 0x95, 0x02, 0x09, 0xA8, 0x91, 0x02};
    const bytes first_input = {0x85, 0x05, 0x95, 0x01, 0x09, 0xA8, 0x81, 0x02};
    const bytes second_input = {0x85, 0x04, 0x95, 0x04, 0x09, 0xA8, 0x81, 0x02};
    EXPECT_EQ(
        lookup(parse_ok(in_collection(concat({feature, output, first_input, second_input}))), 0xA8),
        std::make_pair(5, 1));
    EXPECT_EQ(lookup(parse_ok(in_collection(concat({feature, output}))), 0xA8),
              std::make_pair(6, 2));
    EXPECT_EQ(lookup(parse_ok(in_collection(feature)), 0xA8), std::make_pair(7, 3));
}

TEST(HidDescriptorUsages, EveryUsageAndRangeOfAnItemCarriesIt) {
    // Usage(0x10) Usage Minimum(0x20) Usage Maximum(0x2F) Usage(0x11), one item of count 3.
    const auto description = parse_ok(in_collection(
        {0x09, 0x10, 0x19, 0x20, 0x29, 0x2F, 0x09, 0x11, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02}));
    for (const int usage : {0x10, 0x11, 0x20, 0x25, 0x2F})
        EXPECT_EQ(lookup(description, usage), std::make_pair(0, 3)) << usage;
    for (const int usage : {0x0F, 0x12, 0x1F, 0x30})
        EXPECT_EQ(lookup(description, usage), std::make_pair(-1, -1)) << usage;
    EXPECT_EQ(description.value_items.size(), 3u);
}

TEST(HidDescriptorUsages, LocalUsagesBelongToTheNextMainItemOnly) {
    // The usage before the collection is used up by it; the constant and array items use theirs.
    const auto description =
        parse_ok(in_collection({0x09, 0xA6, 0xA1, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0,
                                0x09, 0xA7, 0x81, 0x03, 0x09, 0xA8, 0x81, 0x00, 0x81, 0x02}));
    EXPECT_EQ(lookup(description, 0xA6), std::make_pair(-1, -1));
    EXPECT_EQ(lookup(description, 0xA7), std::make_pair(-1, -1));
    EXPECT_EQ(lookup(description, 0xA8), std::make_pair(-1, -1));
    EXPECT_TRUE(description.value_items.empty());
    EXPECT_EQ(description.lengths.input, 5);
}

TEST(HidDescriptorUsages, ExtendedUsagesNameTheirOwnPage) {
    // Usage Page (Generic Desktop), then Usage (0xFF00:0x00A7) written as an extended usage.
    const auto description =
        parse_ok({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x0B, 0xA7, 0x00, 0x00, 0xFF,
                  0x75, 0x08, 0x95, 0x70, 0x91, 0x02, 0x1B, 0x01, 0x00, 0x0C, 0x00,
                  0x2B, 0x05, 0x00, 0x0C, 0x00, 0x95, 0x02, 0xB1, 0x02, 0xC0});
    ASSERT_EQ(description.value_items.size(), 2u);
    EXPECT_EQ(description.value_items[0].usage_minimum, 0xFF0000A7u);
    EXPECT_EQ(description.value_items[1].usage_minimum, 0x000C0001u);
    EXPECT_EQ(description.value_items[1].usage_maximum, 0x000C0005u);
    EXPECT_EQ(lookup(description, 0xA7), std::make_pair(0, 112));
    EXPECT_EQ(lookup(description, 0x04), std::make_pair(0, 2));
}

TEST(HidDescriptorUsages, ShortUsagesTakeThePageInForceAtTheirMainItem) {
    const auto description = parse_ok({0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0xA6, 0x06, 0x00,
                                       0xFF, 0x75, 0x08, 0x95, 0x3F, 0x91, 0x02, 0xC0});
    ASSERT_EQ(description.value_items.size(), 1u);
    EXPECT_EQ(description.value_items[0].usage_minimum, 0xFF0000A6u);
}

// ---- Lengths -----------------------------------------------------------------------------------

TEST(HidDescriptorLengths, ItemsOfOneReportAddUpInBitsAndRoundUpOnce) {
    // Report 1: 3 + 6 + 4 bits = 13 bits -> 2 bytes; report 2: 1 bit -> 1 byte.
    const auto description =
        parse_ok(in_collection({0x85, 0x01, 0x75, 0x03, 0x95, 0x01, 0x09, 0x01, 0x81, 0x02,
                                0x75, 0x02, 0x95, 0x03, 0x81, 0x03, 0x85, 0x02, 0x75, 0x01,
                                0x95, 0x01, 0x81, 0x03, 0x85, 0x01, 0x75, 0x04, 0x81, 0x03}));
    EXPECT_EQ(description.lengths.input, 3);
}

TEST(HidDescriptorLengths, PushAndPopSaveAndRestoreTheGlobalState) {
    // Report 1 with 4-byte fields; push, switch to report 2 with 16 bytes, pop: the next item is
    // in report 1 again with the old size and count.
    const auto description = parse_ok(in_collection(
        {0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x09, 0xA6, 0x91, 0x02, 0xA4, 0x85, 0x02, 0x95,
         0x10, 0x06, 0x01, 0xFF, 0x09, 0xA7, 0x91, 0x02, 0xB4, 0x09, 0xA8, 0x91, 0x02}));
    EXPECT_EQ(description.lengths.output, 17);
    ASSERT_EQ(description.value_items.size(), 3u);
    EXPECT_EQ(description.value_items[1].usage_minimum, 0xFF0100A7u);
    EXPECT_EQ(description.value_items[2].usage_minimum, 0xFF0000A8u);
    EXPECT_EQ(lookup(description, 0xA8), std::make_pair(1, 4));
    // Report 1 holds 4 + 4 bytes after the pop.
    const auto only_report_one =
        parse_ok(in_collection({0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x91, 0x02, 0xA4, 0x85, 0x02,
                                0x95, 0x01, 0x91, 0x02, 0xB4, 0x91, 0x02}));
    EXPECT_EQ(only_report_one.lengths.output, 9);
}

TEST(HidDescriptorLengths, ReportsUpToTheLargestLengthAreTaken) {
    // Eight items of 2 x 32767 bits make 65534 bytes, 65535 with the ID byte.
    const bytes big_item = {0x75, 0x02, 0x96, 0xFF, 0x7F, 0x81, 0x03};
    const auto description = parse_ok(in_collection(repeat(big_item, 8)));
    EXPECT_EQ(description.lengths.input, 65535);
    EXPECT_EQ(parse_status(in_collection(concat({repeat(big_item, 8), byte_input}))),
              status::bad_reports);
}

TEST(HidDescriptorLengths, LongItemsAreSkipped) {
    const bytes controller = read_descriptor_fixture("quorrel_controller");
    const bytes long_item = {0xFE, 0x04, 0xF0, 0x81, 0x02, 0xC0, 0xC0};
    bytes with_long_items = concat({long_item, controller});
    with_long_items.insert(with_long_items.end() - 1, long_item.begin(), long_item.end());
    const auto plain = parse_ok(controller);
    const auto skipped = parse_ok(with_long_items);
    EXPECT_EQ(skipped.lengths.input, plain.lengths.input);
    EXPECT_EQ(skipped.lengths.output, plain.lengths.output);
    EXPECT_EQ(skipped.lengths.feature, plain.lengths.feature);
    EXPECT_EQ(skipped.value_items.size(), plain.value_items.size());
    EXPECT_EQ(parse_status(concat({controller, {0xFE, 0x00, 0x00}})), status::ok);
}

// ---- Malformed descriptors ---------------------------------------------------------------------

TEST(HidDescriptorMalformed, StructuralFaultsAreRefused) {
    const std::vector<std::pair<const char *, bytes>> cases = {
        {"empty", {}},
        {"no report at all", {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0xC0}},
        {"pop without push", in_collection({0xB4})},
        {"more pops than pushes", in_collection({0xA4, 0xB4, 0xB4})},
        {"end collection without collection", {0xC0}},
        {"end collection closing too much", in_collection({0xC0})},
        {"collection left open", {0x06, 0x00, 0xFF, 0xA1, 0x01, 0xA1, 0x02, 0xC0}},
        {"report ID 0", in_collection({0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02})},
        {"report ID above 255", in_collection({0x86, 0x00, 0x01, 0x75, 0x08, 0x81, 0x02})},
        {"unnumbered data beside numbered reports",
         in_collection(concat({byte_input, {0x85, 0x01}, byte_input}))},
        {"unnumbered data after a pop back to no report ID",
         in_collection(concat({{0xA4, 0x85, 0x01}, byte_input, {0xB4}, byte_input}))},
        {"reserved item type", in_collection({0x0C})},
        {"unknown main item", in_collection({0xD0})},
        {"usage page above 16 bits", {0x07, 0x00, 0x00, 0x01, 0x00}},
        {"usage minimum without maximum", in_collection({0x19, 0x01, 0x81, 0x02})},
        {"usage maximum without minimum", in_collection({0x29, 0x01, 0xB1, 0x02})},
        {"two minimums", in_collection({0x19, 0x01, 0x19, 0x02, 0x29, 0x03, 0x81, 0x02})},
        {"range running downwards", in_collection({0x19, 0x05, 0x29, 0x01, 0x81, 0x02})},
        {"range across pages",
         in_collection({0x1B, 0x01, 0x00, 0x01, 0x00, 0x2B, 0x05, 0x00, 0x02, 0x00, 0x81, 0x02})},
        {"item of more than 65535 bits", in_collection({0x75, 0x02, 0x96, 0x00, 0x80, 0x81, 0x03})},
        {"report count above 65535 with size 0",
         in_collection({0x75, 0x00, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x03})},
        {"report size above 65535 with count 0",
         in_collection({0x77, 0x00, 0x00, 0x01, 0x00, 0x95, 0x00, 0x81, 0x03})},
    };
    for (const auto &[name, descriptor] : cases) {
        hid_report_description description;
        description.lengths.input = 77;
        description.value_items.resize(3);
        EXPECT_EQ(parse(descriptor, description), status::bad_reports) << name;
        // A refused descriptor leaves nothing half-filled behind.
        EXPECT_EQ(description.lengths.input, 0) << name;
        EXPECT_TRUE(description.value_items.empty()) << name;
    }
}

TEST(HidDescriptorMalformed, ItemsRunningPastTheEndAreRefused) {
    const bytes controller = read_descriptor_fixture("quorrel_controller");
    EXPECT_EQ(parse_status(concat({controller, {0x26, 0xFF}})), status::bad_reports);
    EXPECT_EQ(parse_status(concat({controller, {0x27, 0xFF, 0xFF, 0xFF}})), status::bad_reports);
    EXPECT_EQ(parse_status(concat({controller, {0xFE}})), status::bad_reports);
    EXPECT_EQ(parse_status(concat({controller, {0xFE, 0x05}})), status::bad_reports);
    EXPECT_EQ(parse_status(concat({controller, {0xFE, 0x05, 0x10, 1, 2, 3, 4}})),
              status::bad_reports);
    EXPECT_EQ(parse_status(concat({controller, {0xFE, 0xFF, 0x10}})), status::bad_reports);
}

TEST(HidDescriptorMalformed, NestingAndCountsAreBoundedAtTheirLimits) {
    const bytes open = {0xA1, 0x00};
    const bytes close = {0xC0};
    EXPECT_EQ(parse_status(concat({repeat(open, hid_max_collection_depth), byte_input,
                                   repeat(close, hid_max_collection_depth)})),
              status::ok);
    EXPECT_EQ(parse_status(concat({repeat(open, hid_max_collection_depth + 1), byte_input,
                                   repeat(close, hid_max_collection_depth + 1)})),
              status::bad_reports);

    const bytes push = {0xA4};
    const bytes pop = {0xB4};
    EXPECT_EQ(parse_status(in_collection(concat({repeat(push, hid_max_push_depth),
                                                 repeat(pop, hid_max_push_depth), byte_input}))),
              status::ok);
    EXPECT_EQ(parse_status(in_collection(concat(
                  {repeat(push, hid_max_push_depth + 1), repeat(pop, hid_max_push_depth + 1)}))),
              status::bad_reports);

    // The collection and its end are main items too.
    const bytes padding_item = {0x81, 0x03};
    EXPECT_EQ(parse_status(in_collection(concat(
                  {{0x75, 0x01, 0x95, 0x01}, repeat(padding_item, hid_max_main_items - 2)}))),
              status::ok);
    EXPECT_EQ(parse_status(in_collection(concat(
                  {{0x75, 0x01, 0x95, 0x01}, repeat(padding_item, hid_max_main_items - 1)}))),
              status::bad_reports);

    const bytes usage = {0x09, 0x01};
    EXPECT_EQ(parse_status(in_collection(
                  concat({repeat(usage, hid_max_usages_per_item), byte_input_without_usage}))),
              status::ok);
    EXPECT_EQ(parse_status(in_collection(
                  concat({repeat(usage, hid_max_usages_per_item + 1), byte_input_without_usage}))),
              status::bad_reports);
}

TEST(HidDescriptorMalformed, TheNumberOfValueItemsIsCapped) {
    // 16 items with 1024 usages each reach the cap exactly; one more usage passes it.
    const bytes item =
        concat({repeat({0x09, 0x01}, hid_max_usages_per_item), byte_input_without_usage});
    const unsigned items = hid_max_value_items / hid_max_usages_per_item;
    const auto description = parse_ok(in_collection(repeat(item, items)));
    EXPECT_EQ(description.value_items.size(), hid_max_value_items);
    EXPECT_EQ(parse_status(in_collection(concat({repeat(item, items), byte_input}))),
              status::bad_reports);
}

// Every prefix of a good descriptor either is refused or reads as a consistent beginning of it:
// the same value items in the same order, and reports no longer than the whole gives.
void check_every_truncation(const bytes &whole) {
    const auto full = parse_ok(whole);
    for (std::size_t length = 0; length < whole.size(); ++length) {
        // An exact-size copy, so AddressSanitizer catches any read past the end.
        const bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        hid_report_description description;
        const status_t result = parse(prefix, description);
        if (result != status::ok) {
            EXPECT_EQ(result, status::bad_reports) << length;
            continue;
        }
        EXPECT_LE(description.lengths.input, full.lengths.input) << length;
        EXPECT_LE(description.lengths.output, full.lengths.output) << length;
        EXPECT_LE(description.lengths.feature, full.lengths.feature) << length;
        ASSERT_LE(description.value_items.size(), full.value_items.size()) << length;
        for (std::size_t i = 0; i < description.value_items.size(); ++i) {
            EXPECT_EQ(description.value_items[i].usage_minimum, full.value_items[i].usage_minimum);
            EXPECT_EQ(description.value_items[i].report_id, full.value_items[i].report_id);
            EXPECT_EQ(description.value_items[i].report_count, full.value_items[i].report_count);
        }
    }
}

TEST(HidDescriptorMalformed, TruncationAtEveryByteIsRefusedOrConsistent) {
    for (const char *name :
         {"quorrel_controller", "boot_keyboard", "mouse_with_report_id", "vendor_64_byte"}) {
        SCOPED_TRACE(name);
        check_every_truncation(read_descriptor_fixture(name));
    }
    // One application collection spans the whole controller descriptor: no prefix is complete.
    const bytes controller = read_descriptor_fixture("quorrel_controller");
    for (std::size_t length = 0; length < controller.size(); ++length)
        EXPECT_EQ(parse_status(bytes(controller.begin(),
                                     controller.begin() + static_cast<std::ptrdiff_t>(length))),
                  status::bad_reports)
            << length;
    // The mouse's first collection closes before the consumer controls begin.
    const bytes mouse = read_descriptor_fixture("mouse_with_report_id");
    const auto first_collection = parse_ok(bytes(mouse.begin(), mouse.begin() + 66));
    EXPECT_EQ(first_collection.lengths.input, 7);
}

TEST(HidDescriptorMalformed, MutatedDescriptorsNeverBreakTheInvariants) {
    std::mt19937 random(20240611);
    const std::vector<bytes> seeds = {
        read_descriptor_fixture("quorrel_controller"), read_descriptor_fixture("boot_keyboard"),
        read_descriptor_fixture("mouse_with_report_id"), read_descriptor_fixture("vendor_64_byte")};
    unsigned accepted = 0;
    for (unsigned round = 0; round < 20000; ++round) {
        bytes descriptor = seeds[round % seeds.size()];
        const unsigned changes = 1 + random() % 4;
        for (unsigned change = 0; change < changes && !descriptor.empty(); ++change) {
            const std::size_t at = random() % descriptor.size();
            switch (random() % 3) {
            case 0:
                descriptor[at] = static_cast<uint8_t>(random());
                break;
            case 1:
                descriptor.erase(descriptor.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            default:
                descriptor.insert(descriptor.begin() + static_cast<std::ptrdiff_t>(at),
                                  static_cast<uint8_t>(random()));
                break;
            }
        }
        hid_report_description description;
        const status_t result = parse(descriptor, description);
        ASSERT_TRUE(result == status::ok || result == status::bad_reports);
        if (result != status::ok)
            continue;
        ++accepted;
        for (const hid_value_item &item : description.value_items) {
            ASSERT_LE(uint32_t{item.report_size} * item.report_count, hid_max_item_bits);
            ASSERT_EQ(item.usage_minimum >> 16, item.usage_maximum >> 16);
            ASSERT_LE(item.usage_minimum, item.usage_maximum);
            ASSERT_EQ(item.flags & 3u, 2u); // variable data only
            ASSERT_EQ(item.report_id != 0, description.uses_report_ids);
            const uint16_t length = item.type == hid_report_type::input ? description.lengths.input
                                    : item.type == hid_report_type::output
                                        ? description.lengths.output
                                        : description.lengths.feature;
            ASSERT_GE(length, 1u + (item.report_size * item.report_count + 7u) / 8u);
        }
    }
    // The mutations are mild enough that some descriptors stay acceptable.
    EXPECT_GT(accepted, 100u);
}

} // namespace
} // namespace vortlink::platform

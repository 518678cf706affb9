#pragma once
// The controller's manufacturing block, configuration block and lighthead record as the tool
// shows them: one JSON object of the documented schema (numbers as numbers, dates in ISO 8601)
// and the same fields as labelled text rows.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/config_block.h"
#include "blocks/mfg_block.h"
#include "vortlink.h"

namespace vortlink::ctl {

using text_rows = std::vector<std::pair<std::string, std::string>>;

struct block_view {
    nlohmann::ordered_json data = nlohmann::ordered_json::object();
    text_rows rows;
};

// "label: value" lines, the values starting in one column whatever the labels' characters.
std::string render_rows(const text_rows &rows);

std::string mac_text(const uint8_t *mac);
std::string ip_text(uint32_t ip);

// "%03d%04d" (day of the year from 0, year) as "2026-04-10"; empty when it is no such date.
std::string iso_date_from_code(std::string_view code);
// The record's "7-Dec-2026 4:59" as "2026-12-07T04:59"; empty when it is not of that form.
std::string iso_time_from_programmed_on(std::string_view text);

block_view mfg_view(const uint8_t (&block)[loader::mfg_block_size]);
block_view config_view(const uint8_t (&block)[loader::config_block_size]);
block_view lighthead_view(const LightheadData &record);

} // namespace vortlink::ctl

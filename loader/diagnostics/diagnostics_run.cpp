#include "diagnostics/diagnostics_run.h"

#include <cstdio>

#include "vortlink.h"

namespace vortlink::loader {

namespace {

constexpr uint16_t error_name_capacity = 50;
constexpr uint16_t error_text_capacity = 1050;

// The summary's block for one failure. Built piece by piece so that catalogue texts of any
// length appear whole.
void append_failure(std::string &summary, const diagnostic_test &test, status_t status,
                    const catalogue_texts &texts) {
    char code[16];
    std::snprintf(code, sizeof code, "%d", static_cast<int>(status));
    summary += test.name;
    summary += " Test Failed\r\n";
    summary += "ERROR (";
    summary += code;
    summary += ") : ";
    summary += texts.name;
    summary += "\r\n";
    summary += texts.text;
    summary += "\r\n";
}

} // namespace

status_t run_diagnostics(const diagnostics_hooks &hooks, diagnostics_outcome &outcome) {
    outcome = diagnostics_outcome{};
    status_t last_status = status::ok;
    for (std::size_t row = 0; row < diagnostic_tests.size(); ++row) {
        const diagnostic_test &test = diagnostic_tests[row];
        const status_t status = hooks.run_test(test.identifier);
        last_status = status;
        ++outcome.tests_started;

        const bool stops_run = status == diagnostics_stop_status;
        outcome.log += test.name;
        if (status == status::ok) {
            outcome.log += " Test Passed";
        } else {
            outcome.failed = true;
            outcome.log += " Test Failed";
            append_failure(outcome.summary, test, status, hooks.look_up(status));
        }
        // Two results per line, the second at the status box's tab stop; a run that stops
        // here ends its line instead.
        outcome.log += (row % 2 == 0 && !stops_run) ? "\t" : "\r\n";
        if (hooks.log_changed)
            hooks.log_changed(outcome.log);
        if (stops_run)
            break;
    }
    if (!outcome.failed) {
        outcome.log += "\r\n";
        outcome.log += all_tests_passed_line;
    }
    return last_status;
}

std::function<status_t(uint8_t identifier)> library_test_runner(uint8_t slot) {
    return [slot](uint8_t identifier) -> status_t { return tkcmdset_run_diags(slot, identifier); };
}

catalogue_texts library_catalogue_texts(status_t status) {
    char name[error_name_capacity] = {};
    char text[error_text_capacity] = {};
    (void)tkcmdset_get_error_name(status, name, sizeof name);
    (void)tkcmdset_get_error_text(status, text, sizeof text);
    return catalogue_texts{name, text};
}

} // namespace vortlink::loader

#pragma once
// The controller's six built-in self-tests, run one after another, and the texts that report
// them: a log with two results per line for the status box, and a summary of every failure with
// its catalogue name and explanation for a message box. The tests run in the controller; this
// code only starts them through the functions it is given, so the dialog and a command-line
// tool share it.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "common/status.h"

namespace vortlink::loader {

struct diagnostic_test {
    uint8_t identifier; // the byte the controller takes
    const char *name;
};

inline constexpr std::array<diagnostic_test, 6> diagnostic_tests = {{
    {0, "Power Supply"},
    {1, "External RAM"},
    {2, "Internal Flash"},
    {3, "External I/O"},
    {4, "On-board EEPROM"},
    {5, "External DAC"},
}};

// A controller whose supply is out of tolerance cannot test anything else meaningfully.
inline constexpr status_t diagnostics_stop_status = -12;

inline constexpr const char *all_tests_passed_line = "********** ALL TESTS PASSED **********";

// The catalogue's name and explanation of a status code.
struct catalogue_texts {
    std::string name;
    std::string text;
};

struct diagnostics_hooks {
    // Runs one test on the controller; 0 is a pass, anything else the reason it failed or
    // could not run.
    std::function<status_t(uint8_t identifier)> run_test;
    // The catalogue's texts for a status code.
    std::function<catalogue_texts(status_t status)> look_up;
    // Told the log as it stands after each test, so that it can be shown as the run goes on.
    // May be left empty.
    std::function<void(const std::string &log)> log_changed;
};

struct diagnostics_outcome {
    std::string log;     // two results per line; ends with the ALL TESTS PASSED line on a pass
    std::string summary; // every failure in test order; empty when nothing failed
    bool failed = false;
    std::size_t tests_started = 0;
};

// Runs the tests in order; each runs even after earlier failures, except that
// diagnostics_stop_status ends the run after the test that gave it. Returns the status of the
// last test started (what the dialog keeps as its last status); the verdicts are in outcome.
// run_test and look_up must be set.
status_t run_diagnostics(const diagnostics_hooks &hooks, diagnostics_outcome &outcome);

// run_test over libvortlink.so's tkcmdset_run_diags on slot.
std::function<status_t(uint8_t identifier)> library_test_runner(uint8_t slot);

// look_up over libvortlink.so's error catalogue, with the capacities the utility has always
// asked for: names up to 49 characters, texts up to 1049.
catalogue_texts library_catalogue_texts(status_t status);

} // namespace vortlink::loader

// The diagnostics run against scripted test verdicts: which tests are started, the log's layout
// of two results per line, the failure summary in test order, the stop on -12, and catalogue
// texts of any length kept whole.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "diagnostics/diagnostics_run.h"

using namespace vortlink::loader;

namespace {

// Verdicts by test identifier (missing ones pass) and catalogue texts by code (missing ones as
// the library gives them).
class scripted_controller {
  public:
    std::map<uint8_t, status_t> verdicts;
    std::map<status_t, catalogue_texts> catalogue;
    std::vector<uint8_t> started;
    std::vector<std::string> logs_shown;

    diagnostics_hooks hooks() {
        diagnostics_hooks hooks;
        hooks.run_test = [this](uint8_t identifier) {
            started.push_back(identifier);
            const auto verdict = verdicts.find(identifier);
            return verdict == verdicts.end() ? status::ok : verdict->second;
        };
        hooks.look_up = [this](status_t status) {
            const auto entry = catalogue.find(status);
            return entry == catalogue.end()
                       ? catalogue_texts{"Unknown Error", "No further information"}
                       : entry->second;
        };
        hooks.log_changed = [this](const std::string &log) { logs_shown.push_back(log); };
        return hooks;
    }
};

const std::vector<uint8_t> every_test = {0, 1, 2, 3, 4, 5};

} // namespace

TEST(DiagnosticsRun, AllPassingGivesThreeLinesAndThePassedLine) {
    scripted_controller controller;
    diagnostics_outcome outcome;
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), status::ok);

    EXPECT_EQ(controller.started, every_test);
    EXPECT_FALSE(outcome.failed);
    EXPECT_EQ(outcome.tests_started, 6u);
    EXPECT_EQ(outcome.log, "Power Supply Test Passed\tExternal RAM Test Passed\r\n"
                           "Internal Flash Test Passed\tExternal I/O Test Passed\r\n"
                           "On-board EEPROM Test Passed\tExternal DAC Test Passed\r\n"
                           "\r\n********** ALL TESTS PASSED **********");
    EXPECT_TRUE(outcome.summary.empty());

    // The log is shown after every test, growing by one result each time.
    ASSERT_EQ(controller.logs_shown.size(), 6u);
    EXPECT_EQ(controller.logs_shown[0], "Power Supply Test Passed\t");
    EXPECT_EQ(controller.logs_shown[1], "Power Supply Test Passed\tExternal RAM Test Passed\r\n");
    EXPECT_EQ(controller.logs_shown[5] + "\r\n********** ALL TESTS PASSED **********", outcome.log);
}

TEST(DiagnosticsRun, OneFailureIsLoggedAndSummarisedWhileTheOthersStillRun) {
    scripted_controller controller;
    controller.verdicts[2] = 5;
    controller.catalogue[5] = {"Self-Test Failed", "Repeat the test."};
    diagnostics_outcome outcome;
    // The last status is the last test's, which passed.
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), status::ok);

    EXPECT_EQ(controller.started, every_test);
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.log, "Power Supply Test Passed\tExternal RAM Test Passed\r\n"
                           "Internal Flash Test Failed\tExternal I/O Test Passed\r\n"
                           "On-board EEPROM Test Passed\tExternal DAC Test Passed\r\n");
    EXPECT_EQ(outcome.summary, "Internal Flash Test Failed\r\n"
                               "ERROR (5) : Self-Test Failed\r\nRepeat the test.\r\n");
}

TEST(DiagnosticsRun, SupplyFaultOnTheFirstTestStopsTheRun) {
    scripted_controller controller;
    controller.verdicts[0] = -12;
    controller.catalogue[-12] = {"Power Supply Fault", "Check the supply."};
    diagnostics_outcome outcome;
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), -12);

    EXPECT_EQ(controller.started, std::vector<uint8_t>{0});
    EXPECT_EQ(outcome.tests_started, 1u);
    EXPECT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.log, "Power Supply Test Failed\r\n");
    EXPECT_EQ(outcome.summary, "Power Supply Test Failed\r\n"
                               "ERROR (-12) : Power Supply Fault\r\nCheck the supply.\r\n");
    EXPECT_EQ(controller.logs_shown, std::vector<std::string>{outcome.log});
}

TEST(DiagnosticsRun, SupplyFaultAtTheEndOfALineEndsItOnce) {
    scripted_controller controller;
    controller.verdicts[3] = -12;
    controller.verdicts[4] = 5; // never started
    diagnostics_outcome outcome;
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), -12);

    EXPECT_EQ(controller.started, (std::vector<uint8_t>{0, 1, 2, 3}));
    EXPECT_EQ(outcome.log, "Power Supply Test Passed\tExternal RAM Test Passed\r\n"
                           "Internal Flash Test Passed\tExternal I/O Test Failed\r\n");
    EXPECT_EQ(outcome.summary, "External I/O Test Failed\r\n"
                               "ERROR (-12) : Unknown Error\r\nNo further information\r\n");
}

TEST(DiagnosticsRun, OtherFailuresDoNotStopTheRun) {
    // 0xFFF4 is -12 only as a 16-bit value; any other code lets the run go on.
    scripted_controller controller;
    controller.verdicts[0] = -13;
    controller.verdicts[1] = 12;
    diagnostics_outcome outcome;
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), status::ok);
    EXPECT_EQ(controller.started, every_test);
}

TEST(DiagnosticsRun, TwoFailuresAreSummarisedInTestOrder) {
    scripted_controller controller;
    controller.verdicts[5] = 9;
    controller.verdicts[1] = -10803;
    controller.catalogue[9] = {"Controller Busy", "Wait."};
    controller.catalogue[-10803] = {"Reply Timeout", "Check the cable."};
    diagnostics_outcome outcome;
    EXPECT_EQ(run_diagnostics(controller.hooks(), outcome), 9);

    EXPECT_EQ(controller.started, every_test);
    EXPECT_EQ(outcome.log, "Power Supply Test Passed\tExternal RAM Test Failed\r\n"
                           "Internal Flash Test Passed\tExternal I/O Test Passed\r\n"
                           "On-board EEPROM Test Passed\tExternal DAC Test Failed\r\n");
    EXPECT_EQ(outcome.summary, "External RAM Test Failed\r\n"
                               "ERROR (-10803) : Reply Timeout\r\nCheck the cable.\r\n"
                               "External DAC Test Failed\r\n"
                               "ERROR (9) : Controller Busy\r\nWait.\r\n");
}

TEST(DiagnosticsRun, LongCatalogueTextsOfEveryFailureAppearWhole) {
    scripted_controller controller;
    std::string expected;
    for (uint8_t identifier = 0; identifier < 6; ++identifier) {
        const auto code = static_cast<status_t>(100 + identifier);
        controller.verdicts[identifier] = code;
        controller.catalogue[code] = {std::string(49, static_cast<char>('a' + identifier)),
                                      std::string(1049, static_cast<char>('A' + identifier))};
        expected += std::string(diagnostic_tests[identifier].name) + " Test Failed\r\nERROR (" +
                    std::to_string(code) + ") : " + controller.catalogue[code].name + "\r\n" +
                    controller.catalogue[code].text + "\r\n";
    }
    diagnostics_outcome outcome;
    run_diagnostics(controller.hooks(), outcome);
    EXPECT_GT(outcome.summary.size(), 6u * 1049);
    EXPECT_EQ(outcome.summary, expected);
}

TEST(DiagnosticsRun, ARunStartsFromEmptyTexts) {
    scripted_controller controller;
    diagnostics_outcome outcome;
    outcome.log = "left over";
    outcome.summary = "left over";
    outcome.failed = true;
    run_diagnostics(controller.hooks(), outcome);
    EXPECT_EQ(outcome.log.rfind("Power Supply Test Passed\t", 0), 0u);
    EXPECT_TRUE(outcome.summary.empty());
    EXPECT_FALSE(outcome.failed);
}

TEST(DiagnosticsCatalogue, LibraryGivesItsTextsAndTheDefaultsForACodeItLacks) {
    const catalogue_texts unknown = library_catalogue_texts(4242);
    EXPECT_EQ(unknown.name, "Unknown Error");
    EXPECT_EQ(unknown.text, "No further information");

    const catalogue_texts supply = library_catalogue_texts(-12);
    EXPECT_EQ(supply.name, "Power Supply Fault");
    EXPECT_FALSE(supply.text.empty());
    EXPECT_NE(supply.text, "No further information");
}

TEST(DiagnosticsCatalogue, ACodeTheCatalogueLacksShowsTheDefaultsInTheSummary) {
    scripted_controller controller;
    controller.verdicts[4] = 77;
    diagnostics_hooks hooks = controller.hooks();
    hooks.look_up = library_catalogue_texts;
    diagnostics_outcome outcome;
    run_diagnostics(hooks, outcome);
    EXPECT_EQ(outcome.summary, "On-board EEPROM Test Failed\r\n"
                               "ERROR (77) : Unknown Error\r\nNo further information\r\n");
}

// The monitor's command line: what each form means, and a one-line message
// naming the argument that is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/monitor_options.h"

using namespace dupmon;

TEST(MonitorOptions, EachFormAndEachMistake) {
    struct Case {
        std::vector<std::string> args;
        OptionsAction action;
        std::string simulator, workDir, error;
        bool demo = false, headless = false;
    } cases[] = {
        {{}, OptionsAction::Run, "", "", ""},
        {{"--headless", "--demo"}, OptionsAction::Run, "", "", "", true, true},
        {{"--simulator", "/s.sock", "--workdir", "w"}, OptionsAction::Run, "/s.sock", "w", ""},
        {{"--simulator=/s.sock", "--workdir=w"}, OptionsAction::Run, "/s.sock", "w", ""},
        {{"--workdir"}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--simulator"}, OptionsAction::Error, "", "", "option --simulator needs a value"},
        {{"--workdir="}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--simulator", "--headless"},
         OptionsAction::Error,
         "",
         "",
         "option --simulator needs a value"},
        {{"--workdir", "--demo"}, OptionsAction::Error, "", "", "option --workdir needs a value"},
        {{"--demo", "--simulator", "s"},
         OptionsAction::Error,
         "",
         "",
         "--demo and --simulator exclude each other"},
        {{"--frobnicate"}, OptionsAction::Error, "", "", "unknown option --frobnicate"},
        {{"--headless", "--help", "--bogus"}, OptionsAction::Help, "", "", ""},
        {{"-h"}, OptionsAction::Help, "", "", ""},
        {{"--version"}, OptionsAction::Version, "", "", ""},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        MonitorOptions o;
        std::string error;
        EXPECT_EQ(parseMonitorOptions(c.args, o, error), c.action);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(error.empty(), c.error.empty()) << error;
        if (c.action != OptionsAction::Run)
            continue;
        EXPECT_EQ(o.simulator, c.simulator);
        EXPECT_EQ(o.workDir, c.workDir);
        EXPECT_EQ(o.demo, c.demo);
        EXPECT_EQ(o.headless, c.headless);
    }
}

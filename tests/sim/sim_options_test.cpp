// dupmon-sim's command line: what each form means, and a one-line message
// naming the argument that is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_options.h"

using namespace dupmon;

TEST(SimOptions, EachFormAndEachMistake) {
    struct Case {
        std::vector<std::string> args;
        SimAction action;
        std::string error;
    } cases[] = {
        {{"--socket", "s"}, SimAction::Serve, ""},
        {{"--socket=s", "--wire", "0", "--plug", "usb10", "--plug=cf8,logs=3"},
         SimAction::Serve,
         ""},
        {{"--socket", "s", "--trace", "t", "--trace-dir", "d"}, SimAction::Serve, ""},
        {{"--socket", "s", "ctl", "plug", "usb10", "--id"}, SimAction::Control, ""},
        {{"--profiles"}, SimAction::Profiles, ""},
        {{"--socket", "s", "--help"}, SimAction::Help, ""},
        {{"-h"}, SimAction::Help, ""},
        {{}, SimAction::Error, "--socket PATH is needed"},
        {{"--socket"}, SimAction::Error, "option --socket needs a value"},
        {{"--socket", "--plug", "usb10"}, SimAction::Error, "option --socket needs a value"},
        {{"--socket", "s", "--plug"}, SimAction::Error, "option --plug needs a value"},
        {{"--socket", "s", "--trace"}, SimAction::Error, "option --trace needs a value"},
        {{"--socket", "s", "--trace-dir="}, SimAction::Error, "option --trace-dir needs a value"},
        {{"--socket", "s", "--wire"}, SimAction::Error, "option --wire needs a value"},
        {{"--socket", "s", "--wire", "5x"},
         SimAction::Error,
         "option --wire: '5x' is not a number of milliseconds"},
        {{"--socket", "s", "--wire", "-1"},
         SimAction::Error,
         "option --wire: '-1' is not a number"},
        {{"--socket", "s", "ctl"}, SimAction::Error, "ctl needs a request"},
        {{"--socket", "s", "--bogus"}, SimAction::Error, "unknown option --bogus"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        SimOptions o;
        std::string error;
        EXPECT_EQ(parseSimOptions(c.args, o, error), c.action);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(error.empty(), c.error.empty()) << error;
    }
    SimOptions o;
    std::string error;
    ASSERT_EQ(parseSimOptions({"--socket", "s", "--wire=7", "--plug", "usb10,logs=5", "--trace-dir",
                               "d", "ctl", "job", "X", "copy"},
                              o, error),
              SimAction::Control);
    EXPECT_EQ(o.socket, "s");
    EXPECT_EQ(o.wireMs, 7);
    EXPECT_EQ(o.plugs, std::vector<std::string>{"usb10,logs=5"});
    EXPECT_EQ(o.traceDir, "d");
    EXPECT_EQ(o.request, (std::vector<std::string>{"job", "X", "copy"}));
}

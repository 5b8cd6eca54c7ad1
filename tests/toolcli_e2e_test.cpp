// The tools' one command-line style, on the built programs: --version says
// "PROG (Quorvane) VERSION" with exit code 0, and a mistake is one line in
// the same words on standard error with a pointer to --help and exit code 2.
#include <sys/wait.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

TEST(ToolCliTest, EveryToolAnswersVersionAndMistakesAlike) {
    struct row {
        const char* tool;
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<row> rows = {
        {"iosim", {"--version"}, 0, "iosim (Quorvane) "},
        {"logview", {"-V"}, 0, "logview (Quorvane) "},
        {"gaprx", {"--version"}, 0, "gaprx (Quorvane) "},
        {"qvadm", {"--version"}, 0, "qvadm (Quorvane) "},
        {"iosim", {"--bogus"}, 2, "iosim: unknown option '--bogus'\n(try 'iosim --help')\n"},
        {"logview", {"--bogus"}, 2, "logview: unknown option '--bogus'\n(try 'logview --help')\n"},
        {"gaprx", {"--bogus"}, 2, "gaprx: unknown option '--bogus'\n(try 'gaprx --help')\n"},
        {"qvadm", {"--bogus"}, 2, "qvadm: unknown option '--bogus'\n(try 'qvadm --help')\n"},
        {"iosim", {"--rate"}, 2, "iosim: option '--rate' needs a value\n"},
        {"logview", {"--level"}, 2, "logview: option '--level' needs a value\n"},
        {"gaprx", {"--stats"}, 2, "gaprx: option '--stats' needs a value\n"},
        {"iosim", {"--tags=x"}, 2, "iosim: bad value 'x' for --tags: "},
        {"logview", {"--level=x"}, 2, "logview: bad value 'x' for --level: "},
    };
    for (const row& r : rows) {
        child c;
        runopts o;
        o.errtoo = true;
        ASSERT_TRUE(c.start(std::string(getenv("ZO_BIN")) + "/" + r.tool, r.args, o));
        ASSERT_TRUE(c.wait());
        c.readout();
        EXPECT_TRUE(WIFEXITED(c.status)) << r.tool;
        EXPECT_EQ(r.code, WEXITSTATUS(c.status)) << r.tool << " " << r.args[0];
        EXPECT_EQ(c.output.rfind(r.says, 0), 0u) << r.tool << " " << r.args[0] << ": " << c.output;
    }
}

}  // namespace

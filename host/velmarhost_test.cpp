#include "host/velmarhost.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "tests/udpsink.h"

namespace fs = std::filesystem;

namespace {

// A program directory of its own with config/test.ini (a database file in
// that directory), a log server, and a refused IPC port.
class velmarhosttest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path.empty());
        fs::create_directories(dir / "config");
        std::ofstream f(dir / "config" / "test.ini");
        f << "{\"dblinks\":[{\"node\":\"n1\",\"url\":\"sqlite://localhost"
          << (dir / "rt.db").string() << "\",\"user\":\"u\",\"pswd\":\"p\"}]}\n";
        f.close();
        ASSERT_TRUE(logsrv.ok());
        ipc = "ipc://127.0.0.1:" + std::to_string(refused.port);
    }

    std::string inst = "vh" + std::to_string(::getpid());
    zotest::tmpdir tmp{"velmarhost_test_"};
    fs::path dir = tmp.path.substr(0, tmp.path.size() - 1);
    std::string ipc;
    udpsink logsrv;
    heldport refused{SOCK_STREAM};
};

// A log URL ending in a slash or a backslash gets the instance name too.
// That the program stops on the q key, on signals and on the IO server's
// exit order, and refuses a bad IPC URL, is checked end to end
// (quorvane_test).
TEST_F(velmarhosttest, StartNormalisesPathsAndNamesTheClient) {
    for (const char* tail : {"", "\\", "/"}) {
        SCOPED_TRACE(tail);
        velmarhost h;
        std::string cache = (dir / "c").string() + "\\sub";
        ASSERT_EQ(h.start(ipc.c_str(), (logsrv.url() + tail).c_str(), dir.c_str(), inst.c_str(),
                          "test.ini", *tail ? nullptr : cache.c_str(), zo::LOG_DBG),
                  0)
            << logsrv.dump();
        EXPECT_EQ(std::string(h.moddir().view()), dir.string() + "/");
        EXPECT_EQ(std::string(h.cachepath().view()), *tail ? "" : (dir / "c").string() + "/sub/");
        EXPECT_EQ(std::string(h.logurl().view()), logsrv.url() + "/" + inst);
        EXPECT_EQ(std::string(h.clientname().view()), inst);
        h.stop(0);
    }
    EXPECT_TRUE(
        logsrv.waitfor(std::string("start ") + velmarhost::version + " success. loglevel = dbg"))
        << logsrv.dump();
}

}  // namespace

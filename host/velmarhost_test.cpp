#include "host/velmarhost.h"

#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "host/console.h"
#include "protoc3/funid.h"
#include "tests/udpsink.h"

namespace fs = std::filesystem;

namespace {

const std::string starting = std::string("\n  starting ") + velmarhost::version + " ...";

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
        console::clearsignal();
    }
    void TearDown() override {
        console::clearsignal();
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
    }
    int start(velmarhost& h, const char* ipcurl = nullptr) {
        return h.start(ipcurl ? ipcurl : ipc.c_str(), logsrv.url().c_str(), dir.c_str(),
                       inst.c_str(), "test.ini", nullptr, zo::LOG_DBG);
    }
    std::string successline() const {
        return std::string("start ") + velmarhost::version + " success. loglevel = dbg";
    }

    std::string inst = "vh" + std::to_string(::getpid());
    zotest::tmpdir tmp{"velmarhost_test_"};
    fs::path dir = tmp.path.substr(0, tmp.path.size() - 1);
    std::string ipc;
    udpsink logsrv;
    heldport refused{SOCK_STREAM};
};

// A log URL ending in a slash or a backslash gets the instance name too.
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
        EXPECT_EQ(std::string(h.name.view()), inst);
        EXPECT_EQ(std::string(h.ipcurl().view()), ipc);
        EXPECT_EQ(h.endpoint.port, refused.port);
        EXPECT_TRUE(h.locked());
        EXPECT_EQ(h.loglevel(), zo::LOG_DBG);
        h.stop(0);
    }
    EXPECT_TRUE(logsrv.waitfor(successline())) << logsrv.dump();
    EXPECT_LT(logsrv.indexof(starting), logsrv.indexof(successline()));
}

TEST_F(velmarhosttest, IpcUrlWithoutSchemeFailsAfterNaming) {
    velmarhost h;
    std::string noscheme = "127.0.0.1:" + std::to_string(refused.port);
    EXPECT_EQ(start(h, noscheme.c_str()), -1);
    EXPECT_TRUE(logsrv.waitfor("init ipc failed, url = " + noscheme + ".")) << logsrv.dump();
    EXPECT_EQ(std::string(h.name.view()), inst);  // named before the url check
    h.stop(0);
    EXPECT_FALSE(h.logopen());
}

TEST_F(velmarhosttest, ConsoleLoopEndsOnExitOrderIgnoringSigterm) {
    // The IO server's exit order, as the client hands it on.
    struct orderedhost : velmarhost {
        using velmarhost::onrecv;
    } h;
    ASSERT_EQ(start(h), 0);
    console con;
    unkownbody order;
    order.vi32 = unkownbody::PROCESS_CTRL_EXIT;
    pb3head head;
    head.ver = protover;
    head.funid = fn_ctrlorder;
    zo::string pkg;
    ASSERT_TRUE(pkgpb3::makepkg(head, order, pkg));
    ASSERT_EQ(h.onrecv(pkg.data(), static_cast<int32_t>(pkg.size())), 0);
    EXPECT_EQ(h.runconsole(con), 0);
    struct sigaction sa;
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &sa), 0);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    h.stop(0);
}

TEST_F(velmarhosttest, ConsoleLoopEndsOnQKeyOnly) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    velmarhost h;
    ASSERT_EQ(start(h), 0);
    {
        console con;
        ASSERT_TRUE(con.open(slave));
        ASSERT_EQ(::write(master, "xyq", 3), 3);
        EXPECT_EQ(h.runconsole(con), 0);
        // Stopped at the q: nothing after it was read.
        ASSERT_EQ(::write(master, "z", 1), 1);
        EXPECT_EQ(con.waitkey(10000), 'z');
    }
    h.stop(0);
    ::close(master);
    ::close(slave);
}

}  // namespace

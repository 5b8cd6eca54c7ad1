// The C entry points: a table of handles over oxa::client.
#include "oxaapi/oxaapi.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "oxaapi/backend.h"
#include "oxaapi/client.h"
#include "oxaapi/codepage.h"
#include "oxaapi/dburl.h"

namespace {

constexpr size_t maxhandles = 1024;
// The smallest queue a URL may ask for: room for a few of the largest
// requests the program sends.
constexpr size_t minqueuebytes = 1u << 20;

// The value of "queuebytes=N" in the query of url: 0 when absent, -1 when
// it is not a decimal number.
int64_t queuebytesof(std::string_view url) {
    size_t q = url.find('?');
    if (q == std::string_view::npos) return 0;
    std::string_view rest = url.substr(q + 1);
    constexpr std::string_view key = "queuebytes=";
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view kv = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (kv.substr(0, key.size()) != key) continue;
        std::string_view num = kv.substr(key.size());
        if (num.empty() || num.size() > 15) return -1;
        int64_t v = 0;
        for (char c : num) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    }
    return 0;
}

struct slot {
    std::shared_ptr<oxa::client> cl;
    oxa_logfn logfn = nullptr;
    void* loguser = nullptr;
    oxa::dblogin login;  // the standby of oxa_setslavedb
};

std::mutex& tablemu() {
    static std::mutex mu;
    return mu;
}

// Never destroyed: handles may outlive static destruction order.
std::vector<slot>& table() {
    static auto* t = new std::vector<slot>();
    return *t;
}

std::shared_ptr<oxa::client> get(int handle) {
    std::lock_guard<std::mutex> lk(tablemu());
    auto& t = table();
    if (handle < 0 || static_cast<size_t>(handle) >= t.size()) return nullptr;
    return t[handle].cl;
}

void logto(int handle, const std::string& line) {
    oxa_logfn fn = nullptr;
    void* user = nullptr;
    {
        std::lock_guard<std::mutex> lk(tablemu());
        fn = table()[handle].logfn;
        user = table()[handle].loguser;
    }
    if (fn) fn(10, line.c_str(), user);
}

}  // namespace

extern "C" {

int oxa_create(void) {
    std::shared_ptr<oxa::client> cl;
    try {
        cl = std::make_shared<oxa::client>();
    } catch (...) {
        return OXA_ERR_HANDLE;
    }
    std::lock_guard<std::mutex> lk(tablemu());
    auto& t = table();
    for (size_t i = 0; i < t.size(); ++i) {
        if (!t[i].cl) {
            t[i].cl = std::move(cl);
            return static_cast<int>(i);
        }
    }
    if (t.size() >= maxhandles) return OXA_ERR_HANDLE;
    slot s;
    s.cl = std::move(cl);
    t.push_back(std::move(s));
    return static_cast<int>(t.size() - 1);
}

int oxa_setslavedb(int handle, const char* host, uint16_t port, const char* user,
                   const char* pswd) {
    std::lock_guard<std::mutex> lk(tablemu());
    auto& t = table();
    if (handle < 0 || static_cast<size_t>(handle) >= t.size() || !t[handle].cl)
        return OXA_ERR_HANDLE;
    oxa::dblogin& l = t[handle].login;
    l.slavehost = host ? host : "";
    l.slaveport = port;
    l.slaveuser = user ? user : "";
    l.slavepswd = pswd ? pswd : "";
    return OXA_OK;
}

int oxa_setmessagenotify(int handle, oxa_statusfn fn, void* user) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    cl->setnotify(fn, user);
    return OXA_OK;
}

int oxa_initwritetodevice(int handle, oxa_valuefn valfn, void* valctx, oxa_objectfn objfn,
                          void* objctx) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    cl->setctrl(valfn, valctx, objfn, objctx);
    return OXA_OK;
}

int oxa_connectex(int handle, const char* url, const char* user, const char* pswd, int flags) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    if (!url || flags != 0) return OXA_ERR_ARG;
    oxa::dblogin login;
    {
        std::lock_guard<std::mutex> lk(tablemu());
        login = table()[handle].login;
    }
    login.user = user ? user : "";
    login.pswd = pswd ? pswd : "";
    login.prefer = std::make_shared<std::atomic<int>>(0);
    oxa::dburl u;
    std::string err;
    int64_t qbytes = queuebytesof(url);
    if (qbytes < 0) err = "queuebytes is not a number";
    // A URL whose settings are not understood fails here, not at every
    // connection attempt.
    if (qbytes < 0 || !oxa::parsedburl(url, &u, &err) || !oxa::makebackend(u, login, &err)) {
        logto(handle, "bad database url " + oxa::hidepassword(url) + ": " + err);
        return OXA_ERR_URL;
    }
    if (qbytes > 0) {
        cl->setlimits(0, static_cast<size_t>(qbytes) < minqueuebytes ? minqueuebytes
                                                                     : static_cast<size_t>(qbytes));
    }
    return cl->connect([u, login](std::string* e) { return oxa::makebackend(u, login, e); });
}

int oxa_curdb(int handle) {
    auto cl = get(handle);
    return cl ? cl->curdb() : OXA_ERR_HANDLE;
}

int oxa_curdb_inver(int handle) {
    return get(handle) ? OXA_INVER : OXA_ERR_HANDLE;
}

int oxa_callmsg(int handle, const char* text, int length, oxa_responsefn fn, void* user) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    if (!text || length < 0) return OXA_ERR_ARG;
    return cl->call(text, static_cast<size_t>(length), fn, user, true);
}

int oxa_putmsg(int handle, const char* text, int length) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    if (!text || length < 0) return OXA_ERR_ARG;
    return cl->call(text, static_cast<size_t>(length), nullptr, nullptr, false);
}

int oxa_ctrlname(const char* name, int length, const char** why) {
    if (!name || length < 0) return OXA_ERR_ARG;
    return oxa::ctrlname(std::string_view(name, static_cast<size_t>(length)), nullptr, why);
}

int64_t oxa_queuebytes(int handle) {
    auto cl = get(handle);
    return cl ? static_cast<int64_t>(cl->queuebytes()) : OXA_ERR_HANDLE;
}

int oxa_soeput(int handle, const oxa_soerec* recs, int count) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    return cl->soeput(recs, count);
}

int oxa_disconnect(int handle) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    return cl->disconnect();
}

int oxa_destory(int handle) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    // The handle stays valid while the thread ends: its last status callback
    // may still ask oxa_curdb.
    int rc = cl->disconnect();
    if (rc != OXA_OK) return rc;
    std::lock_guard<std::mutex> lk(tablemu());
    auto& t = table();
    if (t[handle].cl != cl) return OXA_ERR_HANDLE;  // destroyed meanwhile
    t[handle] = slot();
    return OXA_OK;
}

int oxa_setlog(int handle, oxa_logfn fn, void* user) {
    std::shared_ptr<oxa::client> cl;
    {
        std::lock_guard<std::mutex> lk(tablemu());
        auto& t = table();
        if (handle < 0 || static_cast<size_t>(handle) >= t.size() || !t[handle].cl)
            return OXA_ERR_HANDLE;
        t[handle].logfn = fn;
        t[handle].loguser = user;
        cl = t[handle].cl;
    }
    cl->setlog(fn, user);
    return OXA_OK;
}

int oxa_setintervals(int handle, int retryms, int pollms) {
    auto cl = get(handle);
    if (!cl) return OXA_ERR_HANDLE;
    cl->setintervals(retryms, pollms);
    return OXA_OK;
}

}  // extern "C"

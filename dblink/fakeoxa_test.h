// fakeoxa_test.h - a recording stand-in for the database client library,
// handed to velmarinst as its table of calls.  Included by *_test.cpp only.
//
// One fakeoxa is current at a time (the last constructed); its calls record
// what they were given and answer with the configured results.  The status
// callback the link registers is kept so that a test can play the library
// reporting a connection change.  An accepted oxa_callmsg is answered at
// once with status answerstatus (the library's thread does it later; the
// writer must cope with both), or, with autoanswer off, held until the test
// answers it.
//
// Thread-safety: every member is guarded by mu; the recorded data may be
// read from the test thread while the writer thread calls in.
#pragma once
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dblink/oxafuncs.h"

class fakeoxa {
  public:
    // Results the calls give.
    int createresult = 5;
    int connectresult = 0;
    int curdbresult = 0;
    int inverresult = 5104;
    int callresult = 0;
    int soeresult = 0;
    // When set, a call of oxa_callmsg reports this status first (for a
    // database that goes away in the middle of a batch).
    int statusoncall = 0;
    bool autoanswer = true;
    int answerstatus = 0;
    int64_t queuebytesresult = 64 << 20;

    std::mutex mu;
    std::vector<std::string> calls;     // call names in order
    std::vector<std::string> requests;  // oxa_callmsg texts
    struct held {
        oxa_responsefn fn;
        void* user;
        bool done;
    };
    std::vector<held> unanswered;   // with autoanswer off, in call order
    std::vector<std::string> puts;  // oxa_putmsg texts
    std::vector<std::vector<oxa_soerec>> soes;
    std::string url, user, pswd, slavehost, slaveuser, slavepswd;
    uint16_t slaveport = 0;
    int lasthandle = -1;

    oxa_statusfn statusfn = nullptr;
    void* statususer = nullptr;

    fakeoxa() { cur() = this; }
    ~fakeoxa() { cur() = nullptr; }

    const oxafuncs* table() const {
        static const oxafuncs t = {
            [] { return rec("create", -1, [](fakeoxa& f) { return f.createresult; }); },
            [](int h, const char* host, uint16_t port, const char* u, const char* p) {
                return rec("setslavedb", h, [&](fakeoxa& f) {
                    f.slavehost = host;
                    f.slaveport = port;
                    f.slaveuser = u;
                    f.slavepswd = p;
                    return 0;
                });
            },
            [](int h, oxa_statusfn fn, void* user) {
                return rec("setmessagenotify", h, [&](fakeoxa& f) {
                    f.statusfn = fn;
                    f.statususer = user;
                    return 0;
                });
            },
            [](int h, oxa_valuefn, void*, oxa_objectfn, void*) {
                return rec("initwritetodevice", h, [](fakeoxa&) { return 0; });
            },
            [](int h, const char* u, const char* us, const char* p, int) {
                return rec("connectex", h, [&](fakeoxa& f) {
                    f.url = u;
                    f.user = us;
                    f.pswd = p;
                    return f.connectresult;
                });
            },
            [](int) { return cur()->curdbresult; },
            [](int) { return cur()->inverresult; },
            [](int h, const char* text, int n, oxa_responsefn fn, void* user) {
                oxa_statusfn sf = nullptr;
                void* su = nullptr;
                int code = 0;
                std::string answer;
                int r = rec("callmsg", h, [&](fakeoxa& f) {
                    f.requests.emplace_back(text, static_cast<size_t>(n));
                    sf = f.statusfn;
                    su = f.statususer;
                    code = f.statusoncall;
                    if (f.callresult == 0 && !f.autoanswer)
                        f.unanswered.push_back({fn, user, false});
                    if (f.callresult == 0 && f.autoanswer)
                        answer = "{\"status\":" + std::to_string(f.answerstatus) + "}";
                    return f.callresult;
                });
                // Outside the lock: the link's handlers may call back in.
                if (code && sf) sf(code, "", su);
                if (!answer.empty() && fn) fn(answer.data(), static_cast<int>(answer.size()), user);
                return r;
            },
            [](int h, const char* text, int n) {
                return rec("putmsg", h, [&](fakeoxa& f) {
                    f.puts.emplace_back(text, static_cast<size_t>(n));
                    return 0;
                });
            },
            [](int h, const oxa_soerec* recs, int count) {
                return rec("soeput", h, [&](fakeoxa& f) {
                    f.soes.emplace_back(recs, recs + count);
                    return f.soeresult;
                });
            },
            [](int h) {
                // Like the library: every request still held is answered.
                std::vector<held> left;
                rec("disconnect", h, [&](fakeoxa& f) {
                    for (held& hd : f.unanswered) {
                        if (!hd.done) left.push_back(hd);
                        hd.done = true;
                    }
                    return 0;
                });
                static const char gone[] = R"({"status":4,"message":"disconnected"})";
                for (const held& hd : left) hd.fn(gone, sizeof gone - 1, hd.user);
                return 0;
            },
            [](int h) { return rec("destory", h, [](fakeoxa&) { return 0; }); },
            [](int) { return cur()->queuebytesresult; },
        };
        return &t;
    }

    // Plays the library reporting a connection change.
    void status(int code, const char* reason = "") {
        oxa_statusfn fn;
        void* user;
        {
            std::lock_guard<std::mutex> g(mu);
            fn = statusfn;
            user = statususer;
        }
        if (fn) fn(code, reason, user);
    }

    // Answers the i-th held request with text.
    void answer(size_t i, const std::string& text) {
        held hd;
        {
            std::lock_guard<std::mutex> g(mu);
            hd = unanswered.at(i);
            unanswered.at(i).done = true;
        }
        hd.fn(text.data(), static_cast<int>(text.size()), hd.user);
    }

    int count(const std::string& name) {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (const std::string& c : calls) n += c == name;
        return n;
    }

  private:
    static fakeoxa*& cur() {
        static fakeoxa* c = nullptr;
        return c;
    }
    // Records the call and lets fn note what it was given, under the lock.
    template <class F>
    static int rec(const char* name, int h, F fn) {
        fakeoxa* f = cur();
        std::lock_guard<std::mutex> g(f->mu);
        f->calls.emplace_back(name);
        if (h >= 0) f->lasthandle = h;
        return fn(*f);
    }
};

// fakeoxa_test.h - a recording stand-in for the database client library,
// handed to velmarinst as its table of calls.  Included by *_test.cpp only.
//
// The last constructed fakeoxa is current; its calls record their names and
// texts and give the configured results.  It keeps the status callback, so a
// test can play a connection change.  An accepted oxa_callmsg is answered at
// once with status 0 (the library's thread does it later; the writer must
// cope with both), or, with autoanswer off, when the test answers it.  The
// library's queue holds 64 MB.
//
// Thread-safety: every member is guarded by mu; the recorded data may be
// read from the test thread while the writer thread calls in.
#pragma once
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "dblink/oxafuncs.h"

using namespace zo;

class fakeoxa {
  public:
    // Results the calls give.
    int createresult = 5;
    int connectresult = 0;
    int curdbresult = 0;
    int inverresult = 5104;
    int callresult = 0;
    int soeresult = 0;
    bool autoanswer = true;
    int otherresult = 0;  // of the calls not named above

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
    oxa_statusfn statusfn = nullptr;
    void* statususer = nullptr;

    fakeoxa() { cur() = this; }
    ~fakeoxa() { cur() = nullptr; }

    const oxafuncs* table() const {
        static const oxafuncs t = {
            [] { return rec("create")->createresult; },
            [](int, const char*, uint16_t, const char*, const char*) {
                return rec("setslavedb")->otherresult;
            },
            [](int, oxa_statusfn fn, void* user) {
                fakeoxa* f = rec("setmessagenotify");
                std::lock_guard<std::mutex> g(f->mu);
                f->statusfn = fn;
                f->statususer = user;
                return 0;
            },
            [](int, oxa_valuefn, void*, oxa_objectfn, void*) {
                return rec("initwritetodevice")->otherresult;
            },
            [](int, const char*, const char*, const char*, int) {
                return rec("connectex")->connectresult;
            },
            [](int) { return cur()->curdbresult; },
            [](int) { return cur()->inverresult; },
            [](int, const char* text, int n, oxa_responsefn fn, void* user) {
                fakeoxa* f = rec("callmsg");
                std::string answer;
                int r;
                {
                    std::lock_guard<std::mutex> g(f->mu);
                    f->requests.emplace_back(text, static_cast<size_t>(n));
                    r = f->callresult;
                    if (r == 0 && !f->autoanswer) f->unanswered.push_back({fn, user, false});
                    if (r == 0 && f->autoanswer) answer = R"({"status":0})";
                }
                // Outside the lock: the link's handlers may call back in.
                if (!answer.empty() && fn) fn(answer.data(), static_cast<int>(answer.size()), user);
                return r;
            },
            [](int, const char* text, int n) {
                fakeoxa* f = rec("putmsg");
                std::lock_guard<std::mutex> g(f->mu);
                f->puts.emplace_back(text, static_cast<size_t>(n));
                return f->otherresult;
            },
            [](int, const oxa_soerec*, int) { return rec("soeput")->soeresult; },
            [](int) {
                // Like the library: every request still held is answered.
                fakeoxa* f = rec("disconnect");
                std::vector<held> left;
                {
                    std::lock_guard<std::mutex> g(f->mu);
                    for (held& hd : f->unanswered) {
                        if (!hd.done) left.push_back(hd);
                        hd.done = true;
                    }
                }
                static const char gone[] = R"({"status":4,"message":"disconnected"})";
                for (const held& hd : left) hd.fn(gone, sizeof gone - 1, hd.user);
                return 0;
            },
            [](int) { return rec("destory")->otherresult; },
            [](int) { return int64_t{64} << 20; },
        };
        return &t;
    }

    // Plays the library reporting a connection change.
    void status(int code, const char* reason = "") {
        std::unique_lock<std::mutex> g(mu);
        oxa_statusfn fn = statusfn;
        void* user = statususer;
        g.unlock();
        if (fn) fn(code, reason, user);
    }

    // Answers the i-th held request with text.
    void answer(size_t i, const std::string& text) {
        std::unique_lock<std::mutex> g(mu);
        held hd = unanswered.at(i);
        unanswered.at(i).done = true;
        g.unlock();
        hd.fn(text.data(), static_cast<int>(text.size()), hd.user);
    }

    int count(const std::string& name) {
        std::lock_guard<std::mutex> g(mu);
        return static_cast<int>(std::count(calls.begin(), calls.end(), name));
    }

  private:
    static fakeoxa*& cur() {
        static fakeoxa* c = nullptr;
        return c;
    }
    // Records the call by name; the current fakeoxa.
    static fakeoxa* rec(const char* name) {
        fakeoxa* f = cur();
        std::lock_guard<std::mutex> g(f->mu);
        f->calls.emplace_back(name);
        return f;
    }
};

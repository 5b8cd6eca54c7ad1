// fakes_test.h - test doubles shared by the dblink and host unit tests: a
// logger that keeps its lines, a temporary directory, and a count of what
// the cache files hold.  Included by
// *_test.cpp only.
//
// Thread-safety: capturelog may be written from any thread (the writer
// thread and the fake library's callbacks log concurrently).
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/ilog.h"
#include "cache/cachefile.h"
#include "protoc3/bodies.h"

class capturelog : public zo::ilog {
  public:
    struct line {
        int level;
        std::string text;
    };

    int open(const char*) override { return 0; }
    int wlog(int level, const char* fmt, ...) override {
        va_list ap;
        va_start(ap, fmt);
        keep(level, fmt, ap);
        va_end(ap);
        return 1;
    }
    int append(int level, const char* fmt, ...) override {
        va_list ap;
        va_start(ap, fmt);
        keep(level, fmt, ap);
        va_end(ap);
        return 1;
    }
    int getlevel() override { return 999; }
    int setlevel(int l) override { return l; }
    void idle() override {}
    void release() override {}

    std::vector<line> lines() {
        std::lock_guard<std::mutex> g(mu_);
        return lines_;
    }
    // Number of lines with exactly this text (and level, when given).
    int count(const std::string& text, int level = -1) {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (const line& l : lines_)
            if (l.text == text && (level < 0 || l.level == level)) ++n;
        return n;
    }
    // Number of lines that contain part.
    int countpart(const std::string& part) {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (const line& l : lines_)
            if (l.text.find(part) != std::string::npos) ++n;
        return n;
    }

  private:
    void keep(int level, const char* fmt, va_list ap) {
        char buf[4096];
        vsnprintf(buf, sizeof buf, fmt, ap);
        std::lock_guard<std::mutex> g(mu_);
        lines_.push_back({level, buf});
    }

    std::mutex mu_;
    std::vector<line> lines_;
};

// Tag values and SOE records in the cache files of dir.
inline uint64_t countcached(const std::string& dir) {
    uint64_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ioch_", 0) != 0) continue;
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir + "/");
        if (rd.openread(std::strtoll(name.c_str() + 5, nullptr, 10), nullptr) != 0) continue;
        zo::string b;
        for (int k; (k = rd.readblock(b, nullptr)) >= 0;) {
            tagvalarray a;
            soearray s;
            if (k == 0 && a.parse(b.data(), b.size())) n += a.items.size();
            if (k == 1 && s.parse(b.data(), b.size())) n += s.items.size();
        }
    }
    return n;
}

// A fresh directory under the system's temp dir, removed with its contents.
class tempdir {
  public:
    tempdir() {
        std::string t = (std::filesystem::temp_directory_path() / "zodblinkXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~tempdir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string write(const std::string& name, const std::string& body) const {
        std::string p = path_ + "/" + name;
        FILE* f = fopen(p.c_str(), "wb");
        if (f) {
            fwrite(body.data(), 1, body.size(), f);
            fclose(f);
        }
        return p;
    }

  private:
    std::string path_;
};

// env.h - the seam between Quorvane and the platform's clocks and files.
//
// Every clock reading and every file operation of the cache goes through the
// current env, so that tests can fix or move time (a 15 s time-out, a
// ten-minute cache period or a 30 s limit check runs in microseconds) and can
// inject file faults (a full disk, a torn write).
//
// env::current() is the process default (real clock, POSIX files) unless a
// test installed another with env::install().  install() is meant for test
// set-up: call it before the threads that use the env start, and put the
// previous env back before the installed one is destroyed.
//
// Thread-safety: the default env and fakeclockenv may be used from any
// thread.  Files returned by an env belong to one thread at a time.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zo {

// A file opened for appending.  Each append goes to the operating system at
// once (no user-space buffer); sync() forces it to disk.
class appendfile {
public:
    virtual ~appendfile() = default;
    // Writes all n bytes; false (with errno set) when they could not all be
    // written.
    virtual bool append(const void* p, size_t n) = 0;
    virtual bool sync() = 0;
    virtual bool close() = 0;
    virtual uint64_t size() const = 0;
    // Cuts the file to n bytes (n <= size()); later appends follow them.
    virtual bool truncate(uint64_t n) = 0;
};

// A file read from its start to its end.
class readfile {
public:
    virtual ~readfile() = default;
    // Reads up to n bytes; returns the count (0 at the end), -1 on error.
    virtual int64_t read(void* p, size_t n) = 0;
    virtual bool skip(uint64_t n) = 0;
    // Moves to offset n from the file's start (reading there gives 0 bytes
    // when n is at or past the end).
    virtual bool seek(uint64_t n) = 0;
};

class env {
public:
    virtual ~env() = default;

    // The process-wide env in force.
    static env* current() noexcept {
        env* e = cur_.load(std::memory_order_acquire);
        return e ? e : defaultenv();  // static objects may ask before main
    }
    // Installs e (null puts the default back) and returns the previous one.
    static env* install(env* e) noexcept;
    static env* defaultenv() noexcept;

    // Wall clock: milliseconds since 1970-01-01 00:00:00 UTC.
    virtual int64_t nowms() = 0;
    // Wall clock in whole seconds since 1970 (floor of nowms / 1000).
    int64_t nowsec() {
        int64_t ms = nowms();
        return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    }

    // Files.  Paths are UTF-8 with forward slashes.
    virtual std::unique_ptr<appendfile> openappend(const std::string& path) = 0;
    virtual std::unique_ptr<readfile> openread(const std::string& path) = 0;
    virtual bool removefile(const std::string& path) = 0;
    // -1 when the file does not exist or cannot be examined.
    virtual int64_t filesize(const std::string& path) = 0;
    // Names in dir (without "." and ".."); false when dir cannot be listed.
    virtual bool children(const std::string& dir, std::vector<std::string>* names) = 0;
    virtual bool isdir(const std::string& path) = 0;
    virtual bool makedir(const std::string& path) = 0;

private:
    static std::atomic<env*> cur_;
};

// Forwards everything to a target env; tests derive from it and override
// what they need (a fixed clock, a failing append).
class envwrapper : public env {
public:
    explicit envwrapper(env* target) : target_(target) {}
    env* target() const { return target_; }
    int64_t nowms() override { return target_->nowms(); }
    std::unique_ptr<appendfile> openappend(const std::string& p) override {
        return target_->openappend(p);
    }
    std::unique_ptr<readfile> openread(const std::string& p) override {
        return target_->openread(p);
    }
    bool removefile(const std::string& p) override { return target_->removefile(p); }
    int64_t filesize(const std::string& p) override { return target_->filesize(p); }
    bool children(const std::string& d, std::vector<std::string>* n) override {
        return target_->children(d, n);
    }
    bool isdir(const std::string& p) override { return target_->isdir(p); }
    bool makedir(const std::string& p) override { return target_->makedir(p); }

private:
    env* target_;
};

// Real files, and a clock that stands still until a test moves it.
class fakeclockenv : public envwrapper {
public:
    explicit fakeclockenv(int64_t startms = 1700000000000LL)
        : envwrapper(env::defaultenv()), ms_(startms) {}
    int64_t nowms() override { return ms_.load(std::memory_order_acquire); }
    void setms(int64_t ms) { ms_.store(ms, std::memory_order_release); }
    void advancems(int64_t d) { ms_.fetch_add(d, std::memory_order_acq_rel); }

private:
    std::atomic<int64_t> ms_;
};

// Installs an env for the lifetime of a scope (tests).
class scopedenv {
public:
    explicit scopedenv(env* e) : prev_(env::install(e)) {}
    ~scopedenv() { env::install(prev_); }
    scopedenv(const scopedenv&) = delete;
    scopedenv& operator=(const scopedenv&) = delete;

private:
    env* prev_;
};

// Shorthands for the current env's clock.
inline int64_t nowms() { return env::current()->nowms(); }
inline int64_t nowsec() { return env::current()->nowsec(); }

}  // namespace zo

#include "base/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace zo {

namespace {

class posixappendfile : public appendfile {
public:
    posixappendfile(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~posixappendfile() override { close(); }
    bool append(const void* p, size_t n) override {
        const char* c = static_cast<const char*>(p);
        while (n > 0) {
            ssize_t w = ::write(fd_, c, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (w == 0) {
                errno = ENOSPC;
                return false;
            }
            c += w;
            n -= static_cast<size_t>(w);
            size_ += static_cast<uint64_t>(w);
        }
        return true;
    }
    bool sync() override { return fd_ >= 0 && ::fdatasync(fd_) == 0; }
    bool close() override {
        if (fd_ < 0) return true;
        int r = ::close(fd_);
        fd_ = -1;
        return r == 0;
    }
    uint64_t size() const override { return size_; }
    bool truncate(uint64_t n) override {
        if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(n)) != 0) return false;
        size_ = n;
        return true;
    }

private:
    int fd_;
    uint64_t size_;
};

class posixreadfile : public readfile {
public:
    explicit posixreadfile(int fd) : fd_(fd) {}
    ~posixreadfile() override { ::close(fd_); }
    int64_t read(void* p, size_t n) override {
        size_t got = 0;
        char* c = static_cast<char*>(p);
        while (got < n) {
            ssize_t r = ::read(fd_, c + got, n - got);
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        return static_cast<int64_t>(got);
    }
    bool skip(uint64_t n) override {
        return ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1);
    }
    bool seek(uint64_t n) override {
        return ::lseek(fd_, static_cast<off_t>(n), SEEK_SET) != static_cast<off_t>(-1);
    }

private:
    int fd_;
};

class posixenv : public env {
public:
    int64_t nowms() override {
        struct timespec ts;
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
    std::unique_ptr<appendfile> openappend(const std::string& path) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return nullptr;
        struct stat st;
        uint64_t sz = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        return std::make_unique<posixappendfile>(fd, sz);
    }
    std::unique_ptr<readfile> openread(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::make_unique<posixreadfile>(fd);
    }
    bool removefile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
    int64_t filesize(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return -1;
        return static_cast<int64_t>(st.st_size);
    }
    bool children(const std::string& dir, std::vector<std::string>* names) override {
        names->clear();
        DIR* d = ::opendir(dir.c_str());
        if (!d) return false;
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names->push_back(std::move(n));
        }
        ::closedir(d);
        return true;
    }
    bool isdir(const std::string& path) override {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    bool makedir(const std::string& path) override {
        return ::mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && isdir(path));
    }
};

posixenv* theposixenv() {
    static posixenv* e = new posixenv;  // never destroyed: used until exit
    return e;
}

}  // namespace

std::atomic<env*> env::cur_{nullptr};

env* env::defaultenv() noexcept { return theposixenv(); }

env* env::install(env* e) noexcept {
    env* prev = cur_.exchange(e, std::memory_order_acq_rel);
    return prev ? prev : theposixenv();
}

}  // namespace zo

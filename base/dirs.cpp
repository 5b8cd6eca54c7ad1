#include "base/dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/charset.h"
#include "base/env.h"

namespace zo {

bool normpath(zo::string& path) noexcept {
    uint32_t n = path.size();
    if (n == 0) return true;
    char* p = path.data();
    for (uint32_t i = 0; i < n; ++i) {
        if (p[i] == '\\') p[i] = '/';
    }
    return p[n - 1] == '/' || path.append('/');
}

bool createdirs(const char* path) noexcept {
    if (!path || !*path) return true;
    size_t n = std::strlen(path);
    if (n >= pathmax) return false;
    char buf[pathmax];
    for (size_t i = 0; i < n; ++i) buf[i] = path[i] == '\\' ? '/' : path[i];
    buf[n] = 0;
    env* e = env::current();
    try {
        for (size_t i = 0; i <= n; ++i) {
            bool cut = (i < n && buf[i] == '/') || (i == n && buf[n - 1] != '/');
            if (!cut || i == 0) continue;  // i == 0: the root of an absolute path
            std::string prefix(buf, i);
            if (e->isdir(prefix)) continue;
            if (!e->makedir(prefix)) return false;
        }
    } catch (const std::exception&) {  // std::string could not allocate
        return false;
    }
    return true;
}

bool dirlist::start(const char* dir) noexcept {
    close();
    if (!dir) return false;
    size_t n = std::strlen(dir);
    // The listed pattern is dir + "*.*" in a pathmax buffer.
    if (n + 3 >= pathmax) return false;
    std::memcpy(path_, dir, n + 1);
    pathlen_ = n;
    dir_ = ::opendir(n ? dir : ".");
    if (!dir_) return false;
    advance();
    return cur_ != nullptr;
}

void dirlist::advance() noexcept {
    cur_ = ::readdir(dir_);
    if (!cur_) close();
}

bool dirlist::next(zo::string& name, bool& isdir) noexcept {
    name.clear();
    isdir = false;
    if (!cur_) return false;
    const char* nm = cur_->d_name;
    if (isutf8(nm)) name.append(nm);
    if (cur_->d_type == DT_DIR) {
        isdir = true;
    } else if (cur_->d_type == DT_UNKNOWN || cur_->d_type == DT_LNK) {
        // The type is not in the entry (some file systems) or it is a link:
        // ask for what the name leads to.
        size_t m = std::strlen(nm);
        if (pathlen_ + 1 + m < pathmax) {
            char full[pathmax];
            std::memcpy(full, path_, pathlen_);
            size_t k = pathlen_;
            if (k && full[k - 1] != '/') full[k++] = '/';
            std::memcpy(full + k, nm, m + 1);
            struct stat st;
            isdir = ::stat(full, &st) == 0 && S_ISDIR(st.st_mode);
        }
    }
    advance();
    return true;
}

void dirlist::close() noexcept {
    if (dir_) ::closedir(dir_);
    dir_ = nullptr;
    cur_ = nullptr;
}

bool moddir(zo::string& out) noexcept {
    out.clear();
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf - 1) return false;
    ssize_t slash = n - 1;
    while (slash >= 0 && buf[slash] != '/') --slash;
    if (slash < 0) return false;
    if (!out.append(buf, static_cast<uint32_t>(slash + 1)) || !normpath(out)) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace zo

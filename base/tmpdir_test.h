// tmpdir_test.h - a fresh directory under the system's temp dir for one test
// or benchmark run, removed with everything in it when the object goes.
//
// path ends in '/'; it is empty when the directory could not be made, and
// whoever uses it then fails on the first file it opens there.
//
// Thread-safety: the object belongs to the thread that made it; files in the
// directory may be used from any thread while it lives.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace zo {

struct tmpdir {
    std::string path;

    explicit tmpdir(const char* prefix = "zotest") {
        std::string t =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path = std::string(buf.data()) + "/";
    }
    ~tmpdir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    tmpdir(const tmpdir&) = delete;
    tmpdir& operator=(const tmpdir&) = delete;
};

}  // namespace zo

// fuzzmain.h - a replay driver for the decoder fuzz targets.
//
// With clang the targets link libFuzzer (-fsanitize=fuzzer) and this file
// contributes nothing.  With any other compiler each target is a plain
// program that feeds every file named on its command line (directories are
// walked one level) through LLVMFuzzerTestOneInput, so a corpus found
// elsewhere can be replayed under g++ and ASan.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#ifndef ZO_LIBFUZZER
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

static int zo_replayfile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> buf;
    uint8_t tmp[65536];
    size_t n;
    while ((n = std::fread(tmp, 1, sizeof tmp, f)) > 0) buf.insert(buf.end(), tmp, tmp + n);
    std::fclose(f);
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
    return 0;
}

int main(int argc, char** argv) {
    int files = 0, bad = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
            DIR* d = opendir(argv[i]);
            if (!d) continue;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                bad += zo_replayfile(std::string(argv[i]) + "/" + e->d_name);
                ++files;
            }
            closedir(d);
        } else {
            bad += zo_replayfile(argv[i]);
            ++files;
        }
    }
    // Without a corpus: the empty input and every single byte.
    if (argc < 2) {
        LLVMFuzzerTestOneInput(nullptr, 0);
        for (int b = 0; b < 256; ++b) {
            uint8_t c = static_cast<uint8_t>(b);
            LLVMFuzzerTestOneInput(&c, 1);
        }
    }
    std::printf("replayed %d inputs, %d unreadable\n", files, bad);
    return bad ? 1 : 0;
}
#endif

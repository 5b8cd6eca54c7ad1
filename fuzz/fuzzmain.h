// fuzzmain.h - a replay driver for the fuzz targets.
//
// With clang the targets link libFuzzer (-fsanitize=fuzzer) and this file
// contributes nothing.  With any other compiler each target is a plain
// program that runs LLVMFuzzerInitialize when the target has one, then feeds
// every file named on its command line (directories are walked one level)
// through LLVMFuzzerTestOneInput, so that a corpus can be replayed under g++
// and ASan.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The product's types are named without their namespace in fuzz targets.
namespace zo {}
using namespace zo;

#ifndef ZO_LIBFUZZER
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    auto replay = [&](const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::string buf((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f) std::exit(1);  // unreadable
        ++files;
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(buf.data()), buf.size());
    };
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec)) replay(argv[i]);
        for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
            if (e.path().filename().string()[0] != '.') replay(e.path());
    }
    std::printf("replayed %d inputs\n", files);
    return 0;
}
#endif

// procmem.h - the resident memory of another process, for the end-to-end
// tests and the end-to-end benchmark that watch Quorvane's memory.
#pragma once
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace e2e {

// VmRSS of pid in KiB, or -1 when it cannot be read.
inline long rsskib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace e2e

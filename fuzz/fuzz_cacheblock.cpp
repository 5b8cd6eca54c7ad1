// Fuzz target: a cache file of arbitrary bytes.  The reader comes to the end
// returning only whole blocks (1..65280 bytes) and accounts for no more bytes
// than the file has.  After a restart's writer appends a block, the reader
// returns the same blocks followed by the new one, when the damage was only
// at the end (a block found past damage in the middle may be completed by a
// longer file).
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "fuzz/fuzzmain.h"

namespace {

constexpr int64_t stamp = 1700000400;

// A directory of this process's own, made at the first call and removed at
// exit (the string is never freed, so that it outlives the exit handler).
const std::string& dir() {
    static const std::string* d = [] {
        std::string t = (std::filesystem::temp_directory_path() / "fuzzcacheXXXXXX").string();
        if (!::mkdtemp(t.data())) std::abort();
        std::atexit([] { std::filesystem::remove_all(dir()); });
        return new std::string(t + "/");
    }();
    return *d;
}

// The blocks of the file; *middle: bytes passed over before the last block.
std::vector<std::string> readall(uint64_t filesize, uint64_t* middle) {
    cachefile rd(cachefile::modereader);
    rd.setdirectory(dir());
    std::vector<std::string> out;
    if (rd.openread(stamp, nullptr) != 0) std::abort();
    zo::string b;
    uint64_t whole = 0;
    for (int k; (k = rd.readblock(b, nullptr)) >= 0;) {
        if (b.empty() || b.size() > cachefile::maxraw) std::abort();
        out.push_back(std::to_string(k) + ":" + std::string(b.view()));
        whole += cachefile::headsize;
        *middle = rd.skippedbytes();
    }
    if (rd.goodend() > filesize || rd.skippedbytes() > filesize) std::abort();
    if (whole + rd.skippedbytes() > filesize) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 18)) return 0;
    zo::fakeclockenv env((stamp + 5) * 1000);
    zo::scopedenv scope(&env);
    const std::string file = dir() + "ioch_" + std::to_string(stamp);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    uint64_t middle = 0;
    std::vector<std::string> before = readall(size, &middle);

    cachefile wr(cachefile::modewriter);
    wr.setdirectory(dir());
    const char tail[] = "appended after a restart, whatever came before";
    if (wr.writeblock(0, tail, sizeof tail) != 0) std::abort();
    before.push_back("0:" + std::string(tail, sizeof tail));
    uint64_t again = 0;
    std::vector<std::string> after = readall(std::filesystem::file_size(file), &again);
    if (middle == 0 && after != before) std::abort();
    return 0;
}

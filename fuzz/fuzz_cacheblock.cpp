// Fuzz target: a cache file of arbitrary bytes (a torn tail, a spoiled block,
// garbage), held in memory behind the env seam.  The reader must come to the
// end with every block it returns whole (1..65280 bytes), and account for no
// more bytes than the file has.  Then the writer and the reader must agree:
// after a restart's writer appends a block to that file, the reader returns
// exactly the blocks it returned before, followed by the new one, whenever
// the damage was only at the file's end (damage in the middle leaves room
// for a block found past it that a longer file completes: there the reader
// need only come to the end again).
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "fuzz/fuzzmain.h"

namespace {

constexpr int64_t stamp = 1700000400;

class memappend : public zo::appendfile {
  public:
    explicit memappend(std::string* f) : f_(f) {}
    bool append(const void* p, size_t n) override {
        f_->append(static_cast<const char*>(p), n);
        return true;
    }
    bool sync() override { return true; }
    bool close() override { return true; }
    uint64_t size() const override { return f_->size(); }
    bool truncate(uint64_t n) override {
        if (n > f_->size()) return false;
        f_->resize(n);
        return true;
    }

  private:
    std::string* f_;
};

class memread : public zo::readfile {
  public:
    explicit memread(const std::string* f) : f_(f) {}
    int64_t read(void* p, size_t n) override {
        size_t k = pos_ < f_->size() ? std::min(n, f_->size() - pos_) : 0;
        std::memcpy(p, f_->data() + pos_, k);
        pos_ += k;
        return static_cast<int64_t>(k);
    }
    bool skip(uint64_t n) override {
        pos_ += n;
        return true;
    }
    bool seek(uint64_t n) override {
        pos_ = n;
        return true;
    }

  private:
    const std::string* f_;
    size_t pos_ = 0;
};

class memenv : public zo::envwrapper {
  public:
    memenv() : envwrapper(zo::env::defaultenv()) {}
    int64_t nowms() override { return (stamp + 5) * 1000; }
    std::unique_ptr<zo::appendfile> openappend(const std::string& p) override {
        return std::make_unique<memappend>(&files[p]);
    }
    std::unique_ptr<zo::readfile> openread(const std::string& p) override {
        auto it = files.find(p);
        if (it == files.end()) return nullptr;
        return std::make_unique<memread>(&it->second);
    }
    bool removefile(const std::string& p) override { return files.erase(p) == 1; }
    std::map<std::string, std::string> files;
};

// The blocks of the file; *middle: bytes passed over before the last block.
std::vector<std::string> readall(uint64_t filesize, uint64_t* middle) {
    cachefile rd(cachefile::modereader);
    rd.setdirectory("/mem/");
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
    memenv env;
    zo::scopedenv scope(&env);
    std::string& file = env.files["/mem/ioch_" + std::to_string(stamp)];
    file.assign(reinterpret_cast<const char*>(data), size);
    uint64_t middle = 0;
    std::vector<std::string> before = readall(file.size(), &middle);

    cachefile wr(cachefile::modewriter);
    wr.setdirectory("/mem/");
    const char tail[] = "appended after a restart, whatever came before";
    if (wr.writeblock(0, tail, sizeof tail) != 0) std::abort();
    before.push_back("0:" + std::string(tail, sizeof tail));
    uint64_t again = 0;
    std::vector<std::string> after = readall(file.size(), &again);
    if (middle == 0 && after != before) std::abort();
    return 0;
}

// procstat.h - the process's CPU share and working set, for the run
// information the host reports to the IO server.
//
// CPU times come from /proc in clock ticks: the process's utime + stime
// (/proc/self/stat) against the machine's total of all CPUs (/proc/stat, the
// first "cpu" line, idle included).  The share is the process's ticks over
// the machine's ticks since the previous sample, in hundredths of a percent
// of the whole machine: one busy processor of four gives about 2500.  The
// working set is the resident set size in bytes (/proc/self/statm).
//
// procsource is the seam: the host asks procsource::current(), which is the
// /proc reader unless a test installed one of its own that feeds numbers.
//
// Thread-safety: the parse functions and cpushare are pure.  install() is for
// test set-up, before the main loop runs; current() and the /proc reader may
// be used from any thread.
#pragma once
#include <cstdint>
#include <string_view>

namespace zo {

namespace procstat {

// Where CPU times and memory come from.
class procsource {
  public:
    virtual ~procsource() = default;
    // The machine's and the process's CPU totals in one unit (ticks); false
    // when either cannot be read.
    virtual bool cputimes(uint64_t* system, uint64_t* process) = 0;
    // Resident set size in bytes; false when it cannot be read.
    virtual bool workingset(uint64_t* bytes) = 0;

    // The source in force: the /proc reader unless a test installed another.
    static procsource* current() noexcept;
    // Installs s (null puts the /proc reader back); returns the previous one.
    // REQUIRES: s outlives its installation.
    static procsource* install(procsource* s) noexcept;
};

// Sum of the time fields of the first "cpu" line of /proc/stat text: user,
// nice, system, idle, iowait, irq, softirq, steal.  guest and guest_nice are
// left out because the kernel already counts them inside user and nice.
// false when the text does not start with such a line of at least 4 numbers.
bool parsesystemstat(std::string_view text, uint64_t* total);

// utime + stime (fields 14 and 15) of /proc/self/stat text.  The command name
// in parentheses may hold blanks and ')' , so fields are counted after the
// last ')'.  false on text that does not have them.
bool parseprocessstat(std::string_view text, uint64_t* total);

// Resident pages (the second number) of /proc/self/statm text; false when
// missing.
bool parsestatm(std::string_view text, uint64_t* pages);

// One CPU sample against the previous one kept in state ({system, process}).
// ok false (a failed reading): 0, state unchanged.  Otherwise the share is
// (process - P0) * 10000 / (system - S0), 0 when there was no previous sample
// (S0 == 0) or no machine time passed; then state takes the new totals.
// Unsigned 64-bit arithmetic, truncated to 32 bits.
uint32_t cpushare(uint64_t state[2], bool ok, uint64_t system, uint64_t process);

// cpushare over procsource::current().
uint32_t samplecpu(uint64_t state[2]);
// Working set in bytes over procsource::current(); 0 when it cannot be read.
uint64_t workingset();

}  // namespace procstat

}  // namespace zo

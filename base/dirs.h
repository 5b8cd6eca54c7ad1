// dirs.h - path texts, directory creation, directory listing and the
// program's own directory.
//
// Path texts are UTF-8 with forward slashes; a directory path ends in '/'.
// createdirs() asks the current env (base/env.h) whether a directory exists
// and to make one, so that tests can inject a refusing file system.
//
// Thread-safety: the functions are free of shared state; a dirlist belongs to
// one thread at a time.
#pragma once
#include <dirent.h>

#include <cstddef>

#include "base/string_.h"

namespace zo {

// Longest path (in bytes, without terminator) that createdirs and dirlist
// accept is pathmax - 1.
constexpr size_t pathmax = 1024;

// Turns every '\' into '/' and appends a '/' unless the path already ends in
// one.  An empty path stays empty.  False only when the string cannot grow.
bool normpath(zo::string& path) noexcept;

// Creates every missing directory of the path, parent first: "a\b\c\" makes
// a, a/b, a/b/c.  The part after the last '/' counts as a directory too.  On
// an absolute path the root before the leading '/' is not created.  True
// when all of them exist afterwards; false for a path of pathmax bytes or
// more, or when one could not be created (a file in the way, no permission).
// An empty path is true.
bool createdirs(const char* path) noexcept;

// One listing of a directory, in the order the platform delivers the
// entries, "." and ".." included (both flagged as directories).
//
//   zo::dirlist l;
//   l.start("/var/cache/q/");
//   zo::string name; bool isdir;
//   while (l.next(name, isdir)) ...
//
// A directory that cannot be opened, or whose text is pathmax - 3 bytes or
// longer, gives an empty listing (next() is false at once).
class dirlist {
  public:
    dirlist() = default;
    ~dirlist() { close(); }
    dirlist(const dirlist&) = delete;
    dirlist& operator=(const dirlist&) = delete;

    // Starts a listing of dir (ending in '/'); an earlier one is closed.
    // False when the listing is empty from the start.
    bool start(const char* dir) noexcept;
    // False when the listing has ended.  Else true with the current entry's
    // name (empty when it is not UTF-8) and whether it is a directory, and
    // the listing moves on; after the last entry the directory is closed.
    bool next(zo::string& name, bool& isdir) noexcept;
    void close() noexcept;

  private:
    void advance() noexcept;

    DIR* dir_ = nullptr;
    struct dirent* cur_ = nullptr;  // entry that next() returns; owned by dir_
    char path_[pathmax] = {};       // the directory, for stat() of unknown types
    size_t pathlen_ = 0;
};

// The directory of the running executable, normalised (ends in '/').  False,
// out emptied, when it cannot be found.
bool moddir(zo::string& out) noexcept;

}  // namespace zo

// hostpath.h - the configuration path of the host.
//
// Thread-safety: free of shared state.
#pragma once
#include "base/string_.h"

namespace zo {

// moddir + "config/" + cfgfile, always in that order: cfgfile is not examined
// for being absolute, and an empty moddir (the program's directory could not
// be found) gives a path relative to the current directory.  moddir is
// expected normalised (ending in '/').
zo::string cfgpath(const char* moddir, const char* cfgfile);

}  // namespace zo

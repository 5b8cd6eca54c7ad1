#include "host/hostpath.h"

namespace zo {

zo::string cfgpath(const char* moddir, const char* cfgfile) {
    zo::string path;
    path.append(moddir);
    path.append("config/");
    path.append(cfgfile);
    return path;
}

}  // namespace zo

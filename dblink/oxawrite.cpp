#include "dblink/oxawrite.h"

#include <cstdlib>
#include <cstring>

#include "base/jsonwrite.h"

namespace zo {

void addvalueobject(zo::string& out, const tagval& t, bool inttimes) {
    using room = zo::jsonroom;
    const size_t data = t.vbytes.size();
    const size_t vroom = t.vtype == 6   ? room::textroom(1, data)
                         : t.vtype == 7 ? room::bytesroom(data)
                                        : room::numroom(1);
    room r(out, 2 + room::timeroom + room::textroom(1, t.name.size()) + room::numroom(1) +
                    room::numroom(2) + vroom);
    int c = 0;
    r.put('{');
    r.time(c, t.time, inttimes ? zo::JSONTIME_MS : zo::JSONTIME_LOCAL);
    r.text(c, "N", t.name.view());
    r.integer(c, "Q", static_cast<int32_t>(t.quality));
    r.integer(c, "DT", static_cast<int32_t>(t.vtype));
    switch (t.vtype) {
        case 1:
        case 2:
            r.integer(c, "V", static_cast<int32_t>(t.vint));
            break;
        case 3:
            r.shortest(c, "V", static_cast<double>(static_cast<float>(t.vdouble)));
            break;
        case 4:
            r.integer(c, "V", t.vint);
            break;
        case 5:
            r.shortest(c, "V", t.vdouble);
            break;
        case 6:
            r.text(c, "V", t.vbytes.view());
            break;
        case 7:
            r.bytes(c, t.vbytes.view());
            break;
        default:
            break;
    }
    r.put('}');
}

}  // namespace zo

#include "dblink/oxafuncs.h"

namespace zo {

const oxafuncs* oxadefault() {
    static const oxafuncs real = {
        oxa_create,     oxa_setslavedb, oxa_setmessagenotify, oxa_initwritetodevice,
        oxa_connectex,  oxa_curdb,      oxa_curdb_inver,      oxa_callmsg,
        oxa_putmsg,     oxa_soeput,     oxa_disconnect,       oxa_destory,
        oxa_queuebytes,
    };
    return &real;
}

}  // namespace zo

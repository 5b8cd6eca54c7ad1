// funid.h - the function numbers of protocol-3 packages and the protocol
// version every package carries.  Quorvane's session and the IO-server
// simulator both speak from this one table.
#pragma once
#include <cstdint>

namespace zo {

constexpr uint32_t protover = 300;  // pb3msg_head ver, sent and required

enum pb3funid : uint32_t {
    fn_login = 2001,       // login request (body_login)
    fn_loginreply = 2002,  // login reply (body_login)
    fn_ctrlorder = 2004,   // control order; vi32 91 is the exit order (body_unkown)
    fn_values = 3202,      // tag values (body_objarray<pbo_tagval>)
    fn_values2 = 3204,     // tag values, handled as 3202
    fn_runinfo = 3206,     // run information (body_objarray<pbo_process_runinfo>)
    fn_values3 = 3208,     // tag values, handled as 3202
    fn_soe = 3210,         // SOE records (body_objarray<pbo_soe>)
    fn_regwtagget = 3211,  // asks for the write tags (empty body_unkown)
    fn_regtags = 3212,     // write tags to register (body_unkown strs)
    fn_dbctrlout = 3214,   // control values from the database (body_objarray<pbo_tagval>)
    fn_dbmsg = 3308,       // a message text for the database client library
    fn_unregtags = 3512,   // write tags to unregister (body_unkown strs)
};

}  // namespace zo

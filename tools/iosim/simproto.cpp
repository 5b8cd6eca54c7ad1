#include "tools/iosim/simproto.h"

#include <charconv>
#include <string_view>

using namespace zo;

namespace iosim {

void filltagval(const simval& v, tagval* t) {
    t->clear();
    t->time = v.time;
    t->name = v.name;
    t->quality = v.quality;
    t->vtype = v.vtype;
    switch (v.vtype) {
        case 1:
        case 2:
        case 4:
            t->vint = v.vint;
            break;
        case 3:
        case 5:
            t->vdouble = v.vdouble;
            break;
        default:
            t->vbytes = v.vbytes;
            break;
    }
}

void fillsoe(const simsoe& s, soerec* r) {
    r->clear();
    r->f230 = s.f230;
    r->f231 = s.f231;
    r->f232 = s.f232;
    r->f233 = s.f233;
    r->f234 = s.f234;
    r->f235 = s.f235;
    r->f236 = s.f236;
    r->f237 = s.f237;
    r->f238 = s.f238;
    r->f239 = s.f239;
    r->f240 = s.f240;
}

bool buildpkg(uint32_t funid, uint32_t seqno, zo::cls_protoc3<zo::string>& body, zo::string* out,
              bool* lz4, zo::string* err) {
    pb3head head;
    head.ver = protover;
    head.funid = funid;
    head.seqno = seqno;
    if (!pkgpb3::makepkg(head, body, *out)) {
        err->clear();
        err->appendf("cannot build package funid %u: %s", funid,
                     body.errcode ? body.errmsg() : "too large or no memory");
        return false;
    }
    if (lz4) *lz4 = head.encode == 1;
    return true;
}

bool makeloginreply(uint32_t seqno, bool refuse, uint32_t loginval, zo::string* out,
                    zo::string* err) {
    loginbody b;
    if (refuse) {
        b.retcode = 1;
        b.retmsg.assign("login refused by iosim");
    } else {
        b.f95 = loginval;
    }
    return buildpkg(fn_loginreply, seqno, b, out, nullptr, err);
}

bool makeexitorder(uint32_t seqno, zo::string* out, zo::string* err) {
    unkownbody b;
    b.vi32 = unkownbody::PROCESS_CTRL_EXIT;
    return buildpkg(fn_ctrlorder, seqno, b, out, nullptr, err);
}

bool makeregs(uint32_t seqno, uint32_t ctrltags, zo::string* out, bool* lz4, zo::string* err) {
    unkownbody b;
    if (!b.strs.reserve(ctrltags)) {
        err->assign("no memory for the control tag list");
        return false;
    }
    for (uint32_t i = 0; i < ctrltags; ++i) {
        zo::string* s = b.strs.emplace();
        if (!s) {
            err->assign("no memory for the control tag list");
            return false;
        }
        valuegen::ctrlname(i, s);
    }
    return buildpkg(fn_regtags, seqno, b, out, lz4, err);
}

bool readhead(const zo::string& pkg, pb3head* head, zo::string* err) {
    if (pkgpb3::parsehead(pkg, *head)) return true;
    err->clear();
    if (head->errcode)
        err->appendf("package head does not decode: %s", head->errmsg());
    else
        err->appendf("package head not acceptable (ver = %u, encode = %u, srcsize = %u)", head->ver,
                     head->encode, head->srcsize);
    return false;
}

namespace {

// Shortest text that reads back to the same value; a float is printed as a
// float, so 0.1f shows as 0.1 and not with its double expansion.
template <class F>
void appendnumber(F d, zo::string* out) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    out->append(buf, static_cast<uint32_t>(r.ptr - buf));
}

}  // namespace

void formatvalue(const tagval& t, zo::string* out) {
    switch (t.vtype) {
        case 1:
        case 2:
            // The database holds 32 bits: show what it holds.
            out->appendf("%d", static_cast<int32_t>(static_cast<uint32_t>(t.vint)));
            break;
        case 4:
            out->appendf("%lld", static_cast<long long>(t.vint));
            break;
        case 3:
            appendnumber(static_cast<float>(t.vdouble), out);
            break;
        case 5:
            appendnumber(t.vdouble, out);
            break;
        case 6:
            out->append('"');
            for (uint32_t i = 0; i < t.vbytes.size(); ++i) {
                unsigned char c = static_cast<unsigned char>(t.vbytes[i]);
                if (c == '"' || c == '\\')
                    out->appendf("\\%c", c);
                else if (c < 0x20 || c == 0x7F)
                    out->appendf("\\x%02X", c);
                else
                    out->append(static_cast<char>(c));
            }
            out->append('"');
            break;
        case 7:
            out->append("0x");
            for (uint32_t i = 0; i < t.vbytes.size(); ++i)
                out->appendf("%02X", static_cast<unsigned char>(t.vbytes[i]));
            break;
        default:
            out->append("(no value)");
            break;
    }
}

void formatctrl(const tagval& t, zo::string* out) {
    out->append("ctrl ");
    out->append(t.name.empty() ? std::string_view("(no name)") : t.name.view());
    out->append(" = ");
    formatvalue(t, out);
    out->appendf(" (type %u, quality %u, time %lld)", t.vtype, t.quality,
                 static_cast<long long>(t.time));
}

void formatruninfo(const runinfo& r, zo::string* out) {
    out->append("runinfo ");
    out->append(r.f160.empty() ? std::string_view("(no name)") : r.f160.view());
    out->appendf(" pid=%u cpu=%u.%02u%% mem=%.1fMiB db=", r.f162, r.f163 / 100, r.f163 % 100,
                 static_cast<double>(r.f165) / (1024.0 * 1024.0));
    out->append(r.f169.empty() ? std::string_view("-") : r.f169.view());
    if (r.f172 == 0)
        out->append(" dbstate=connected");
    else if (r.f172 == 3)
        out->append(" dbstate=disconnected");
    else
        out->appendf(" dbstate=%u", r.f172);
    long long up = r.f168 >= r.f166 ? static_cast<long long>((r.f168 - r.f166) / 1000) : 0;
    long long sincelogin =
        r.f167 && r.f168 >= r.f167 ? static_cast<long long>((r.f168 - r.f167) / 1000) : 0;
    out->appendf(" up=%llds login=%llds loginval=%u", up, sincelogin, r.f161);
}

}  // namespace iosim

#include "oxaapi/request.h"

#include <climits>
#include <cstdio>
#include <ctime>

#include "base/base64.h"
#include "base/jsonscan.h"
#include "base/jsonwrite.h"

namespace oxa {

namespace {

std::string tostd(const zo::string& s) {
    return std::string(s.data(), s.size());
}

bool readint(const zo::jsonentry* e, int64_t* v) {
    if (!e || e->type == zo::JSON_NULL) {
        *v = 0;
        return true;
    }
    if (e->type != zo::JSON_LITERAL && e->type != zo::JSON_STRING) return false;
    return zo::jsonreadint64(e->valview(), *v);
}

bool readdouble(const zo::jsonentry* e, double* v) {
    if (!e || e->type == zo::JSON_NULL) {
        *v = 0;
        return true;
    }
    if (e->type != zo::JSON_LITERAL && e->type != zo::JSON_STRING) return false;
    return zo::jsonreaddouble(e->valview(), *v);
}

// One value object; returns 0 and fills row, or an OXA_TAGERR_* code.
int readvalue(zo::jsonscan& vs, tagrow* row) {
    zo::string text;
    if (!vs.gettext("N", text) || text.empty()) return OXA_TAGERR_NAME;
    row->name = tostd(text);
    int32_t q = 0;
    vs.getint("Q", q);
    row->quality = q;
    int32_t dt = 0;
    vs.getint("DT", dt);
    row->type = dt;
    if (const zo::jsonentry* t = vs.find("T")) {
        if (t->type == zo::JSON_STRING) {
            // Writers escape '/' as "\/".
            if (!vs.gettext("T", text) || !parselocaltime(text.view(), &row->time))
                return OXA_TAGERR_TIME;
        } else if (!readint(t, &row->time)) {
            return OXA_TAGERR_TIME;
        }
    }
    const zo::jsonentry* v = vs.find("V");
    switch (dt) {
        case 1:
        case 2:
            row->kind = VAL_INT;
            if (!readint(v, &row->i) || row->i < INT32_MIN || row->i > INT32_MAX)
                return OXA_TAGERR_VALUE;
            return 0;
        case 4:
            row->kind = VAL_INT;
            return readint(v, &row->i) ? 0 : OXA_TAGERR_VALUE;
        case 3:
        case 5:
            row->kind = VAL_REAL;
            if (!readdouble(v, &row->d)) return OXA_TAGERR_VALUE;
            // A 32-bit value is kept as the float it is at the devices.
            if (dt == 3) row->d = static_cast<double>(static_cast<float>(row->d));
            return 0;
        case 6:
            row->kind = VAL_TEXT;
            if (v && v->type != zo::JSON_STRING) return OXA_TAGERR_VALUE;
            if (v && !vs.gettext("V", text)) return OXA_TAGERR_VALUE;
            row->bytes = v ? tostd(text) : std::string();
            return 0;
        case 7:
            row->kind = VAL_BLOB;
            if (v && v->type != zo::JSON_STRING) return OXA_TAGERR_VALUE;
            if (v) {
                zo::string raw;
                text.clear();
                if (!vs.gettext("V", raw) || !zo::base64decode(raw.view(), text))
                    return OXA_TAGERR_VALUE;
                row->bytes = tostd(text);
            }
            return 0;
        default:
            return OXA_TAGERR_TYPE;
    }
}

void addname(std::string& out, std::string_view key, std::string_view s) {
    zo::string t;
    zo::jsonaddesctext(t, s);
    out += '"';
    out += key;
    out += "\":\"";
    out.append(t.data(), t.size());
    out += '"';
}

}  // namespace

bool parselocaltime(std::string_view text, int64_t* ms) {
    char buf[40];
    if (text.empty() || text.size() >= sizeof buf) return false;
    text.copy(buf, text.size());
    buf[text.size()] = 0;
    int y, mo, d, h, mi, s, frac = 0, n = 0;
    if (std::sscanf(buf, "%4d/%2d/%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6)
        return false;
    if (buf[n] == '.') {
        int m = 0;
        if (std::sscanf(buf + n, ".%3d%n", &frac, &m) != 1) return false;
        n += m;
    }
    if (buf[n] != 0) return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 ||
        mi < 0 || s < 0 || frac < 0)
        return false;
    std::tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    *ms = static_cast<int64_t>(t) * 1000 + frac;
    return true;
}

bool parserequest(std::string_view text, request* out, std::string* why) {
    *out = request();
    size_t p = text.find_first_not_of(" \t\r\n");
    if (p == std::string_view::npos || text[p] != '{') {
        *why = "request is not a JSON object";
        return false;
    }
    zo::jsonscan top;
    if (!top.scan(text)) {
        *why = std::string("request is not JSON: ") + top.error();
        return false;
    }
    zo::string name;
    if (!top.gettext("request", name) || name.empty()) {
        *why = "request has no \"request\" name";
        return false;
    }
    out->name = tostd(name);
    top.getint("seqno", out->seqno);

    if (const zo::jsonentry* vals = top.find("vals")) {
        if (vals->type != zo::JSON_ARRAY) {
            *why = "\"vals\" is not an array";
            return false;
        }
        zo::jsonscan arr, vs;
        if (!arr.scan(vals->valview())) {
            *why = std::string("\"vals\" is not JSON: ") + arr.error();
            return false;
        }
        out->rows.reserve(arr.size());
        for (const zo::jsonentry& e : arr) {
            tagrow row;
            int code = OXA_TAGERR_NAME;
            if (e.type == zo::JSON_OBJECT && vs.scan(e.valview())) code = readvalue(vs, &row);
            if (code == 0) {
                out->rows.push_back(std::move(row));
            } else {
                out->errs.push_back(tagerr{std::move(row.name), code});
            }
        }
    }
    if (const zo::jsonentry* tags = top.find("tags")) {
        if (tags->type != zo::JSON_ARRAY) {
            *why = "\"tags\" is not an array";
            return false;
        }
        zo::jsonscan arr;
        if (!arr.scan(tags->valview())) {
            *why = std::string("\"tags\" is not JSON: ") + arr.error();
            return false;
        }
        for (const zo::jsonentry& e : arr) {
            if (e.type != zo::JSON_STRING) continue;
            zo::string t;
            if (zo::jsonunescape(e.valview(), t) && !t.empty()) out->tags.push_back(tostd(t));
        }
    }
    return true;
}

std::string okresponse(std::string_view name, int32_t seqno, const std::vector<tagerr>& errs,
                       size_t dups) {
    std::string out = "{\"status\":0,";
    addname(out, "response", name);
    out += ",\"seqno\":" + std::to_string(seqno);
    if (dups) out += ",\"dups\":" + std::to_string(dups);
    out += ",\"vals\":[";
    for (size_t i = 0; i < errs.size(); ++i) {
        if (i) out += ',';
        out += '{';
        addname(out, "N", errs[i].name);
        out += ",\"E\":" + std::to_string(errs[i].code) + "}";
    }
    out += "]}";
    return out;
}

std::string errresponse(int status, std::string_view name, int32_t seqno, std::string_view msg) {
    std::string out = "{\"status\":" + std::to_string(status) + ",";
    addname(out, "response", name);
    out += ",\"seqno\":" + std::to_string(seqno) + ",";
    addname(out, "message", msg);
    out += '}';
    return out;
}

}  // namespace oxa

namespace oxa {

void peekrequest(std::string_view text, std::string* name, int32_t* seqno) {
    name->clear();
    *seqno = 0;
    zo::jsonscan top;
    if (!top.scan(text)) return;
    zo::string n;
    if (top.gettext("request", n)) *name = tostd(n);
    top.getint("seqno", *seqno);
}

}  // namespace oxa

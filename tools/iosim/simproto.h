// simproto.h - iosim's use of the protocol code: packages it builds and the
// one-line texts it prints for the packages Quorvane sends.
//
// Everything encodes and decodes through protoc3 (pkgpb3, bodies.h); this
// file only maps iosim's records onto the protocol records and formats what
// comes back.
//
// Thread-safety: free functions without shared state.
#pragma once
#include <cstdint>

#include "base/string_.h"
#include "protoc3/bodies.h"
#include "protoc3/funid.h"
#include "protoc3/pkgpb3.h"
#include "tools/iosim/valuegen.h"

namespace iosim {

using splitter = zo::pkgsplit;

void filltagval(const simval& v, zo::tagval* t);
void fillsoe(const simsoe& s, zo::soerec* r);

// Builds one package with the given funid and seqno around body into out.
// *lz4 tells whether the body went compressed.  False when the package
// cannot be built; *err then says why.
bool buildpkg(uint32_t funid, uint32_t seqno, zo::cls_protoc3<zo::string>& body, zo::string* out,
              bool* lz4, zo::string* err);

// The login reply: success with field 95 = loginval, or a refusal with
// retcode 1 and a reason text.
bool makeloginreply(uint32_t seqno, bool refuse, uint32_t loginval, zo::string* out,
                    zo::string* err);
// The exit order: control order 2004 with vi32 91.
bool makeexitorder(uint32_t seqno, zo::string* out, zo::string* err);
// Registration of the control tags iosim.c0001 ... (3212).
bool makeregs(uint32_t seqno, uint32_t ctrltags, zo::string* out, bool* lz4, zo::string* err);

// Decodes the head of a package cut out by the splitter.  False when it does
// not decode or is not acceptable (version, encode); *err says which.
bool readhead(const zo::string& pkg, zo::pb3head* head, zo::string* err);

// "runinfo demo pid=4711 cpu=1.25% mem=10.5MiB db=URL dbstate=connected ..."
void formatruninfo(const zo::runinfo& r, zo::string* out);
// "ctrl iosim.c0001 = 42.5 (type 5, quality 192, time 1700000000000)"
void formatctrl(const zo::tagval& t, zo::string* out);
// The value of a tag value as text by its type: integers and floating
// values as numbers, type 6 as a quoted text, type 7 as hex bytes.
void formatvalue(const zo::tagval& t, zo::string* out);

}  // namespace iosim

// json.h - everything for reading and writing the JSON of the requests,
// responses and configuration: the shallow reader, the member writers, the
// number texts, base64 and MD5.
#pragma once
#include "base/base64.h"
#include "base/jsonscan.h"
#include "base/jsonwrite.h"
#include "base/md5.h"
#include "base/numtext.h"

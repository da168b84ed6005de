// A SHA-256 digest of the item stream: every item's type, session id and
// strings (user and database, statement, name, values, with SQL NULLs told
// apart from empty values), in the order in which they are fed.  Item times
// do not count, so the digest names the recorded workload, not the moment
// of its recording: a log and the replay file made from it give the same.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>

#include "quillrun/replay_item.h"

struct stream_digest {
    EVP_MD_CTX *context = nullptr;
    // Items are gathered into blocks so that the hash is fed in large
    // pieces rather than a call per string.
    unsigned char block[16384];
    size_t used = 0;
    bool failed = false;  // OpenSSL refused; the digest is not usable
};

// False when OpenSSL cannot set up the hash (nothing to free then).
bool report_digest_start(stream_digest &digest);
void report_digest_add(stream_digest &digest, const replay_item *item);
// The digest in lower-case hexadecimal, or an empty text after a failure.
// Releases the hash; the digest must be started again before more use.
std::string report_digest_finish(stream_digest &digest);
void report_digest_release(stream_digest &digest);

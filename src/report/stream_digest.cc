#include "report/stream_digest.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

void flush_block(stream_digest &digest) {
    if (digest.used > 0 && !digest.failed &&
        EVP_DigestUpdate(digest.context, digest.block, digest.used) != 1)
        digest.failed = true;
    digest.used = 0;
}

void add_bytes(stream_digest &digest, const void *bytes, size_t size) {
    if (size >= sizeof digest.block) {
        flush_block(digest);
        if (!digest.failed && EVP_DigestUpdate(digest.context, bytes, size) != 1)
            digest.failed = true;
        return;
    }
    if (digest.used + size > sizeof digest.block) flush_block(digest);
    memcpy(digest.block + digest.used, bytes, size);
    digest.used += size;
}

void add_number(stream_digest &digest, uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    add_bytes(digest, bytes, sizeof bytes);
}

// A length before every string keeps ("ab", "c") apart from ("a", "bc");
// a NULL value has a length no string can have.
void add_string(stream_digest &digest, const char *text) {
    if (text == nullptr) {
        add_number(digest, UINT64_MAX);
        return;
    }
    size_t length = strlen(text);
    add_number(digest, length);
    add_bytes(digest, text, length);
}

}  // namespace

bool report_digest_start(stream_digest &digest) {
    digest.used = 0;
    digest.failed = false;
    digest.context = EVP_MD_CTX_new();
    if (digest.context == nullptr) return false;
    if (EVP_DigestInit_ex(digest.context, EVP_sha256(), nullptr) != 1) {
        report_digest_release(digest);
        return false;
    }
    return true;
}

void report_digest_add(stream_digest &digest, const replay_item *item) {
    if (digest.context == nullptr || digest.failed) return;
    add_number(digest, static_cast<uint32_t>(item->type));
    add_number(digest, item->session_id);
    add_number(digest, item->count);
    for (uint16_t i = 0; i < item->count; ++i) add_string(digest, item->data[i]);
}

std::string report_digest_finish(stream_digest &digest) {
    std::string text;
    if (digest.context == nullptr) return text;
    flush_block(digest);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!digest.failed && EVP_DigestFinal_ex(digest.context, hash, &length) == 1) {
        char hex[3];
        for (unsigned int i = 0; i < length; ++i) {
            snprintf(hex, sizeof hex, "%02x", hash[i]);
            text += hex;
        }
    }
    report_digest_release(digest);
    return text;
}

void report_digest_release(stream_digest &digest) {
    EVP_MD_CTX_free(digest.context);
    digest.context = nullptr;
    digest.used = 0;
}

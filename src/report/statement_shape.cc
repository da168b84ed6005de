#include "report/statement_shape.h"

#include <openssl/evp.h>
#include <pg_query.h>

#include <cstring>
#include <memory>

namespace {

struct fingerprint_releaser {
    void operator()(PgQueryFingerprintResult *result) const {
        pg_query_free_fingerprint_result(*result);
    }
};
struct normalize_releaser {
    void operator()(PgQueryNormalizeResult *result) const {
        pg_query_free_normalize_result(*result);
    }
};

}  // namespace

// The first eight bytes of the text's SHA-256.
uint64_t report_text_hash(const char *text) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text, strlen(text), hash, &length, EVP_sha256(), nullptr) != 1) return 0;
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | hash[i];
    return value;
}

statement_shape report_statement_shape(const char *text) {
    statement_shape shape;
    PgQueryFingerprintResult result = pg_query_fingerprint(text);
    std::unique_ptr<PgQueryFingerprintResult, fingerprint_releaser> release(&result);
    if (result.error == nullptr) {
        shape.parsed = true;
        shape.hash = result.fingerprint;
        return shape;
    }
    shape.hash = report_text_hash(text);
    shape.parse_error = result.error->message != nullptr ? result.error->message : "";
    return shape;
}

std::string report_normalised_text(const char *text) {
    PgQueryNormalizeResult result = pg_query_normalize(text);
    std::unique_ptr<PgQueryNormalizeResult, normalize_releaser> release(&result);
    if (result.error != nullptr || result.normalized_query == nullptr) return text;
    return result.normalized_query;
}

#include "database/connect_string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillrun/alloc.h"
#include "quillrun/messages.h"

namespace {

// Appends text at *end, moving *end past it.
void append(char **end, const char *text) {
    size_t length = strlen(text);
    memcpy(*end, text, length);
    *end += length;
    **end = '\0';
}

void append_escaped(char **end, const char *value) {
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c == '\'' || *c == '\\') *(*end)++ = '\\';
        *(*end)++ = *c;
    }
    **end = '\0';
}

void append_quoted_option(char **end, const char *prefix, const char *value) {
    append(end, prefix);
    append_escaped(end, value);
    append(end, "'");
}

}  // namespace

size_t escaped_length(const char *value) {
    size_t length = 0;
    for (const char *c = value; *c != '\0'; ++c) length += (*c == '\'' || *c == '\\') ? 2 : 1;
    return length;
}

char *build_connect_string(const char *host, int port, const char *password,
                           const char *extra_options) {
    // 12 holds "port=65535", the blank before the extra options and the
    // terminator; 8 and 12 the fixed text around host and password.
    size_t size = 12;
    if (host != nullptr) size += 8 + escaped_length(host);
    if (password != nullptr) size += 12 + escaped_length(password);
    if (extra_options != nullptr) size += strlen(extra_options);
    char *text = static_cast<char *>(qr_malloc(size));
    if (text == nullptr) {
        print_alloc_error(size);
        return nullptr;
    }
    text[0] = '\0';
    char *end = text;
    if (port != -1) {
        int written = snprintf(text, size, "port=%d", port);
        if (written < 0 || static_cast<size_t>(written) >= size) {
            perror("Error writing connect string:");
            free(text);
            return nullptr;
        }
        end += written;
    }
    if (host != nullptr) append_quoted_option(&end, " host='", host);
    if (password != nullptr) append_quoted_option(&end, " password='", password);
    if (extra_options != nullptr) {
        append(&end, " ");
        append(&end, extra_options);
    }
    return text;
}

char *build_session_conninfo(const char *connect_string, const char *user,
                             const char *database) {
    // Sized for the worst case, every character escaped.
    size_t size = strlen(connect_string) + strlen(" user=''") + 2 * strlen(user) +
                  strlen(" dbname=''") + 2 * strlen(database) + 1;
    char *text = static_cast<char *>(qr_malloc(size));
    if (text == nullptr) {
        print_alloc_error(size);
        return nullptr;
    }
    text[0] = '\0';
    char *end = text;
    append(&end, connect_string);
    append_quoted_option(&end, " user='", user);
    append_quoted_option(&end, " dbname='", database);
    return text;
}

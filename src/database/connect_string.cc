#include "database/connect_string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <libpq-fe.h>

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

// The extra options with the value of every option that libpq marks as
// secret (a password) replaced by ***, written as keyword='value' pairs in
// libpq's order; the text unchanged when it holds no secret.  A text libpq
// cannot parse is refused at the first connection, with libpq's reason; it
// is shown only when no password can hide in it.  A new string the caller
// frees, or null after a message.
char *mask_secret_options(const char *options_text) {
    char *parse_error = nullptr;
    PQconninfoOption *options = PQconninfoParse(options_text, &parse_error);
    if (options == nullptr) {
        PQfreemem(parse_error);
        const char *shown = strstr(options_text, "password") != nullptr ? "***" : options_text;
        char *copy = qr_strdup(shown);
        if (copy == nullptr) print_alloc_error(strlen(shown) + 1);
        return copy;
    }
    bool secret = false;
    size_t size = 1;
    for (const PQconninfoOption *option = options; option->keyword != nullptr; ++option) {
        if (option->val == nullptr) continue;
        bool hidden = option->dispchar[0] == '*';
        secret = secret || hidden;
        size += strlen(option->keyword) + strlen("=''") + 1 +
                (hidden ? strlen("***") : escaped_length(option->val));
    }
    if (!secret) size = strlen(options_text) + 1;
    char *text = static_cast<char *>(qr_malloc(size));
    if (text == nullptr) {
        print_alloc_error(size);
    } else if (!secret) {
        memcpy(text, options_text, size);
    } else {
        text[0] = '\0';
        char *end = text;
        for (const PQconninfoOption *option = options; option->keyword != nullptr; ++option) {
            if (option->val == nullptr) continue;
            if (end != text) append(&end, " ");
            append(&end, option->keyword);
            append(&end, "='");
            if (option->dispchar[0] == '*')
                append(&end, "***");
            else
                append_escaped(&end, option->val);
            append(&end, "'");
        }
    }
    PQconninfoFree(options);
    return text;
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

char *build_shown_connect_string(const char *host, int port, const char *password,
                                 const char *extra_options) {
    char *shown_options = nullptr;
    if (extra_options != nullptr) {
        shown_options = mask_secret_options(extra_options);
        if (shown_options == nullptr) return nullptr;
    }
    char *text =
        build_connect_string(host, port, password != nullptr ? "***" : nullptr, shown_options);
    free(shown_options);
    return text;
}

// The shape of a statement text, by the PostgreSQL parser (libpg_query):
// its fingerprint, which ignores literals, parameters and formatting, and
// its normalised text, with every literal replaced by $n.
//
// libpg_query keeps its parser state in memory contexts of the calling
// thread and frees every result through pg_query_free_*; it is safe for
// the one thread of this program (not for a signal handler).
#pragma once

#include <cstdint>
#include <string>

struct statement_shape {
    bool parsed = false;
    // The fingerprint when parsed; otherwise a hash of the text itself, so
    // that each text the parser rejects keeps a group of its own.
    uint64_t hash = 0;
    std::string parse_error;  // the parser's message when not parsed
};

// May throw std::bad_alloc (the texts are copied into strings).
statement_shape report_statement_shape(const char *text);

// The normalised text, or the text itself when the parser rejects it.
std::string report_normalised_text(const char *text);

// A hash of the text itself, stable from run to run.
uint64_t report_text_hash(const char *text);

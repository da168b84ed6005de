// A key for the shape of a statement text, found without parsing it: the
// text with every literal replaced by a marker of its token class (integer,
// other number, string, bit string, hex string), following the PostgreSQL
// lexer's rules for literals, quoted identifiers, dollar quotes and
// comments.  Two texts of DML statements (SELECT, INSERT, UPDATE, DELETE,
// MERGE, WITH, VALUES, TABLE) with the same key differ only in the values
// of their literals, and so have the same fingerprint: a text with new
// literals finds its group by its key, without the cost of a parse.
//
// Where a literal's value can change the parse, there is no key: a literal
// in any other statement (NOTIFY's payload, for one, is part of the
// fingerprint), an E'' or U&'' string (their escapes can be invalid), a
// backslash in a string under -q (the parser reads such strings otherwise),
// the type float(n) (its precision picks the type), anything unterminated,
// or a 0x01 byte, which the markers use.  An integer right after "[" is
// kept as it is, since an array bound in a type (int[3]) is part of the
// fingerprint.
#pragma once

#include <string>

// Fills *key and returns true, or returns false when the text has no key.
// May throw std::bad_alloc.
bool report_shape_key(const char *text, std::string *key);

// Character classes and operator predicates shared by the checker, the
// tokenizer and the executor. All are pure; each returns 1 for true, 0 for
// false. Token predicates read at most two characters of `token`; those with
// a `dl` parameter store the operator code there (when dl is not null), and
// it is meaningful only when they return true.
#pragma once

#include "define.h"

// Character classes, one bit each, looked up in a table: the scanning loops
// of the checker and the tokenizer test a whole class in one step.
enum def_char_class : unsigned char {
    cc_space = 1,      // blank \t \n \v \f \r
    cc_delim = 2,      // & ; < > |
    cc_quote = 4,      // " '
    cc_backslash = 8,  // backslash
    cc_end = 16,       // the terminating NUL
};
using char_class = def_char_class;

struct def_char_classes {
    unsigned char of[256];  // the classes of each byte value
};
using char_classes = def_char_classes;
extern const char_classes char_class_table;

// True for a character that is only ever part of a word: not whitespace, an
// operator character, a quote, a backslash or the end of the text.
inline int is_char_plain(char c)
{
    return !char_class_table.of[static_cast<unsigned char>(c)];
}

int is_char_from_delim(char c);  // & ; < > |
int is_char_special(char c);     // " ' and backslash: the word must be rebuilt
int is_quote(char c);            // " '
int is_char_space(char c);       // blank \t \n \v \f \r

int is_delim(const char *token, int char_cnt);
int is_leftside_delim(const char *token, int char_cnt, delim *dl);   // ; &
int is_rightside_delim(const char *token, int char_cnt, delim *dl);  // < > << >>
int is_bothside_delim(const char *token, int char_cnt, delim *dl);   // | || &&
int is_word_delim(const char *token, int char_cnt, delim *dl);       // redirections
int is_cmd_delim(const char *token, int char_cnt, delim *dl);        // end a command

// Character classes and operator predicates shared by the checker, the
// tokenizer and the executor. All are pure; each returns 1 for true, 0 for
// false. Token predicates read at most two characters of `token`; those with
// a `dl` parameter store the operator code there (when dl is not null), and
// it is meaningful only when they return true.
#pragma once

#include "define.h"

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

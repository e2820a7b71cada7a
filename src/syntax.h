// SPDX-License-Identifier: BSD-2-Clause
// The syntax checker: one pass over the whole text read so far, before it is
// split into tokens. The tokenizer and the executor rely on what it accepts:
// balanced quotes, no escaping backslash at the end, a word before every
// ; & | || && (since the previous operator) and a word right after every
// redirection, | || and &&.
#pragma once

enum def_syntax_state : unsigned {
    syntax_ok = 1,         // complete and well formed
    syntax_cont_read = 2,  // incomplete: append the next line and check again
    syntax_err = 3,        // a misplaced operator, at *err_pos, *symcnt long
};
using syntax_state = def_syntax_state;

// Which side of an operator needs company.
enum def_delim_type {
    delim_rside = 0,     // a word after it: < > << >>
    delim_lside = 1,     // a command before it: ; &
    delim_bside = 2,     // both: | || &&
    delim_type_err = 3,  // not an operator
};
using delim_type = def_delim_type;

// What follows an operator.
enum def_token_type {
    tok_word = 0,
    tok_delim = 1,
    tok_none = 2,  // only whitespace up to the end
};
using token_type = def_token_type;

// Where a pass over a text stopped. A pass resumed from here, on the same
// text with more appended after it, reaches exactly the verdict and error
// position of a pass over the joined text from its start, so a continued
// line is not checked again from the beginning.
struct def_syntax_pass {
    int idx;
    int quote;
    int dbl_quote;
    int is_in_quotes;
    short cmd_exist;
    // The last operator accepted, and cmd_exist before it: the pass goes
    // back to it when a final backslash that its look-ahead took for a word
    // turns into a blank.
    int op_seen;
    int op_idx;
    short op_cmd_exist;
    // When not null, the pass sets quoted[i] to 1 for each byte buff[i] it
    // finds quoted (the quotes included) or escaped (the backslash included,
    // and a final one). The line editor colours by it; the loop leaves it null.
    unsigned char *quoted;
};
using syntax_pass = def_syntax_pass;

// Checks buff. A final escaping backslash is replaced by a blank (and the
// result is syntax_cont_read). On syntax_err, *err_pos and *symcnt locate the
// offending operator. Not on the loop's path: the loop calls syntax_resume,
// so that a continued line is not checked again from its start.
syntax_state syntax_handle(char *buff, int *err_pos, int *symcnt);
// Goes on with a pass (start from a zeroed one) over buff, as syntax_handle.
syntax_state syntax_resume(char *buff, syntax_pass *pass, int *err_pos, int *symcnt);
delim_type delim_gettype(const char *buff, int idx, int *symcnt);
token_type buff_find_next_token(const char *buff, int *buff_idx);
syntax_state delim_handle(const char *buff, int *idx, int *symcnt, delim_type d_type,
                          short cmd_exist);

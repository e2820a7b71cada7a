// SPDX-License-Identifier: BSD-2-Clause
// The syntax checker: one pass over the text read so far decides whether it
// runs, continues on the next line, or is refused at a misplaced operator.
#include "syntax.h"

#include <cstring>

#include "char.h"

delim_type delim_gettype(const char *buff, int idx, int *symcnt)
{
    // The side or sides each operator code needs company on, in code order.
    static constexpr delim_type sides[] = {
        delim_type_err, delim_lside, delim_bside, delim_lside, delim_bside,
        delim_bside,    delim_rside, delim_rside, delim_rside, delim_rside,
    };
    delim dl;
    *symcnt = delim_read(buff + idx, &dl);
    return sides[dl];
}

token_type buff_find_next_token(const char *buff, int *buff_idx)
{
    int idx = *buff_idx + 1;
    while (is_char_space(buff[idx]))
        idx++;
    if (!buff[idx])
        return tok_none;
    *buff_idx = idx;
    return is_char_from_delim(buff[idx]) ? tok_delim : tok_word;
}

syntax_state delim_handle(const char *buff, int *idx, int *symcnt, delim_type d_type,
                          short cmd_exist)
{
    if ((d_type == delim_lside || d_type == delim_bside) && !cmd_exist)
        return syntax_err;
    if (d_type == delim_lside || d_type == delim_type_err)
        return syntax_ok;
    int next = *idx + *symcnt - 1;
    switch (buff_find_next_token(buff, &next)) {
    case tok_none:
        return d_type == delim_rside ? syntax_err : syntax_cont_read;
    case tok_delim:
        *idx = next;
        delim_gettype(buff, next, symcnt);
        return syntax_err;
    case tok_word:
        break;
    }
    return syntax_ok;
}

// Same rule as the tokenizer's: a quote of the other kind inside a quoted
// span is plain text.
static void quote_set_flags(char c, int *sgl_quote, int *dbl_quote, int *is_in_quotes)
{
    if (c == '\'' && !*dbl_quote) {
        *sgl_quote = !*sgl_quote;
        *is_in_quotes = *sgl_quote;
    } else if (c == '"' && !*sgl_quote) {
        *dbl_quote = !*dbl_quote;
        *is_in_quotes = *dbl_quote;
    }
}

syntax_state syntax_handle(char *buff, int *err_pos, int *symcnt)
{
    syntax_pass pass = {};
    return syntax_resume(buff, &pass, err_pos, symcnt);
}

// Marks the bytes from idx to stop as quoted. Out of line: only the line
// editor asks for marks.
[[gnu::noinline, gnu::cold]] static void syntax_mark_span(syntax_pass *pass, int idx, int stop)
{
    memset(pass->quoted + idx, 1, static_cast<size_t>(stop - idx));
}

// Marks the bytes from idx to stop as quoted, when the pass is asked to.
static void syntax_mark(syntax_pass *pass, int idx, int stop)
{
    if (pass->quoted) [[unlikely]]
        syntax_mark_span(pass, idx, stop);
}

// Returns the index after the closing quote, or that of the NUL while the
// span stays open. The byte before idx is the opening quote or quoted text
// (that of the earlier lines, for a pass resumed inside quotes).
static int syntax_quoted_span(const char *buff, int idx, syntax_pass *pass)
{
    char close = pass->quote ? '\'' : '"';
    const char *end = quote_close(buff + idx, close);
    int stop = static_cast<int>(end - buff) + (*end != '\0');
    syntax_mark(pass, idx - 1, stop);
    if (*end)
        quote_set_flags(close, &pass->quote, &pass->dbl_quote, &pass->is_in_quotes);
    return stop;
}

// Skips words and blanks from idx to the next character that matters (an
// operator, a quote, a backslash, the end) and returns its index. The scan
// passes over words and blanks alike; looking back over the blanks before
// the stop tells whether a word was among them.
static int syntax_skip_text(const char *buff, int idx, const char *end, syntax_pass *pass)
{
    int stop = static_cast<int>(text_scan(buff + idx, end, 0) - buff);
    if (!pass->cmd_exist) {
        int last = stop;
        while (last > idx && is_char_space(buff[last - 1]))
            last--;
        pass->cmd_exist = last > idx;
    }
    return stop;
}

// Judges the operator at *idx and, when it is accepted, moves past it.
static syntax_state syntax_operator(const char *buff, int *idx, syntax_pass *pass, int *err_pos,
                                    int *symcnt)
{
    int pos = *idx;
    delim_type d_type = delim_gettype(buff, pos, symcnt);
    int len = *symcnt;
    syntax_state res = delim_handle(buff, &pos, symcnt, d_type, pass->cmd_exist);
    if (res == syntax_err)
        *err_pos = pos;
    if (res != syntax_ok)
        return res;
    pass->op_seen = 1;
    pass->op_idx = *idx;
    pass->op_cmd_exist = pass->cmd_exist;
    pass->cmd_exist = 0;
    *idx += len;
    return syntax_ok;
}

// A backslash at idx ends the text: it becomes a blank, and the pass stops
// where checking must go on once the next line is appended.
static syntax_state syntax_final_backslash(char *buff, int idx, syntax_pass *pass)
{
    buff[idx] = ' ';
    syntax_mark(pass, idx, idx + 1);
    pass->idx = idx;
    // Only blanks since the last operator: its look-ahead saw this backslash
    // as a word, so it must be judged again.
    if (!pass->cmd_exist && pass->op_seen) {
        pass->idx = pass->op_idx;
        pass->cmd_exist = pass->op_cmd_exist;
    }
    return syntax_cont_read;
}

// On syntax_cont_read the pass is left where checking must go on: at the end
// of an open quote, at the blank that replaced a final backslash, or at a
// final | || && whose right side is still to come. Between the characters
// that matter (operators, quotes, backslashes, the end) the text is skipped
// in one scan.
syntax_state syntax_resume(char *buff, syntax_pass *pass, int *err_pos, int *symcnt)
{
    int idx = pass->idx;
    const char *end = buff + idx + strlen(buff + idx) + 1;
    for (;;) {
        if (pass->is_in_quotes) {
            idx = syntax_quoted_span(buff, idx, pass);
            if (pass->is_in_quotes)
                break;
        }
        idx = syntax_skip_text(buff, idx, end, pass);
        char c = buff[idx];
        if (!c)
            break;
        if (is_char_from_delim(c)) {
            syntax_state res = syntax_operator(buff, &idx, pass, err_pos, symcnt);
            if (res != syntax_ok) {
                pass->idx = idx;
                return res;
            }
            continue;
        }
        if (c == '\\' && !buff[idx + 1])
            return syntax_final_backslash(buff, idx, pass);
        if (c == '\\') {
            syntax_mark(pass, idx, idx + 2);
            idx++;  // the escaped character is text, whatever it is
        } else {
            quote_set_flags(c, &pass->quote, &pass->dbl_quote, &pass->is_in_quotes);
        }
        pass->cmd_exist = 1;  // an escape or a quote makes a word
        idx++;
    }
    pass->idx = idx;
    return pass->is_in_quotes ? syntax_cont_read : syntax_ok;
}

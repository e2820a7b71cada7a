#include "syntax.h"

#include <cstring>

#include "char.h"

delim_type delim_gettype(const char *buff, int idx, int *symcnt)
{
    const char *op = buff + idx;
    if (is_char_from_delim(op[1]) && is_delim(op, 2)) {
        *symcnt = 2;
        if (is_rightside_delim(op, 2, nullptr))
            return delim_rside;
        if (is_bothside_delim(op, 2, nullptr))
            return delim_bside;
    }
    *symcnt = 1;
    if (is_leftside_delim(op, 1, nullptr))
        return delim_lside;
    if (is_rightside_delim(op, 1, nullptr))
        return delim_rside;
    if (is_bothside_delim(op, 1, nullptr))
        return delim_bside;
    return delim_type_err;
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

// On syntax_cont_read the pass is left where checking must go on: at the end
// of an open quote, at the blank that replaced a final backslash, or at a
// final | || && whose right side is still to come.
syntax_state syntax_resume(char *buff, syntax_pass *pass, int *err_pos, int *symcnt)
{
    int idx = pass->idx;
    for (;;) {
        if (pass->is_in_quotes) {
            // Inside quotes only the closing quote of the same kind counts.
            char close = pass->quote ? '\'' : '"';
            const char *end = strchr(buff + idx, close);
            if (!end) {
                idx += static_cast<int>(strlen(buff + idx));
                break;
            }
            idx = static_cast<int>(end - buff);
            quote_set_flags(close, &pass->quote, &pass->dbl_quote, &pass->is_in_quotes);
            idx++;
            continue;
        }
        char c = buff[idx];
        if (is_char_plain(c)) {
            pass->cmd_exist = 1;
            while (is_char_plain(buff[++idx])) {
            }
            continue;
        }
        if (!c)
            break;
        if (is_char_from_delim(c)) {
            int pos = idx;
            delim_type d_type = delim_gettype(buff, idx, symcnt);
            int len = *symcnt;
            syntax_state res = delim_handle(buff, &pos, symcnt, d_type, pass->cmd_exist);
            if (res != syntax_ok) {
                if (res == syntax_err)
                    *err_pos = pos;
                pass->idx = idx;
                return res;
            }
            pass->op_seen = 1;
            pass->op_idx = idx;
            pass->op_cmd_exist = pass->cmd_exist;
            pass->cmd_exist = 0;
            idx += len;
            continue;
        }
        if (c == '\\') {
            if (!buff[idx + 1]) {
                buff[idx] = ' ';
                pass->idx = idx;
                // Only blanks since the last operator: its look-ahead saw
                // this backslash as a word, so it must be judged again.
                if (!pass->cmd_exist && pass->op_seen) {
                    pass->idx = pass->op_idx;
                    pass->cmd_exist = pass->op_cmd_exist;
                }
                return syntax_cont_read;
            }
            idx++;  // the escaped character is text, whatever it is
            pass->cmd_exist = 1;
        } else if (!is_char_space(c)) {
            pass->cmd_exist = 1;  // a quote opens a word
            quote_set_flags(c, &pass->quote, &pass->dbl_quote, &pass->is_in_quotes);
        }
        idx++;
    }
    pass->idx = idx;
    return pass->is_in_quotes ? syntax_cont_read : syntax_ok;
}

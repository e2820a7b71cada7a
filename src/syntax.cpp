#include "syntax.h"

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
    int quote = 0, dbl_quote = 0, is_in_quotes = 0;
    short cmd_exist = 0;
    int idx = 0;
    while (buff[idx]) {
        char c = buff[idx];
        if (!is_in_quotes) {
            if (is_char_from_delim(c)) {
                int pos = idx;
                delim_type d_type = delim_gettype(buff, idx, symcnt);
                int len = *symcnt;
                syntax_state res = delim_handle(buff, &pos, symcnt, d_type, cmd_exist);
                if (res != syntax_ok) {
                    if (res == syntax_err)
                        *err_pos = pos;
                    return res;
                }
                cmd_exist = 0;
                idx += len;
                continue;
            }
            if (c == '\\') {
                if (!buff[idx + 1]) {
                    buff[idx] = ' ';
                    return syntax_cont_read;
                }
                idx++;  // the escaped character is text, whatever it is
                cmd_exist = 1;
            } else if (!is_char_space(c)) {
                cmd_exist = 1;
            }
        }
        if (is_quote(c))
            quote_set_flags(c, &quote, &dbl_quote, &is_in_quotes);
        idx++;
    }
    return is_in_quotes ? syntax_cont_read : syntax_ok;
}

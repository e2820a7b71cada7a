// SPDX-License-Identifier: BSD-2-Clause
// Character classes and the operator predicates: the one place that knows
// which characters are operators and which two of them make one operator.
#include "char.h"

#include <string_view>

static constexpr unsigned char char_class_of(char c)
{
    using namespace std::string_view_literals;
    if (c == '\0')
        return cc_end;
    if (" \t\n\v\f\r"sv.find(c) != std::string_view::npos)
        return cc_space;
    if ("&;<>|"sv.find(c) != std::string_view::npos)
        return cc_delim;
    if (c == '"' || c == '\'')
        return cc_quote;
    return c == '\\' ? cc_backslash : 0;
}

static constexpr char_classes char_classes_make()
{
    char_classes t = {};
    for (int c = 0; c < 256; c++)
        t.of[c] = char_class_of(static_cast<char>(c));
    return t;
}

extern const char_classes char_class_table = char_classes_make();

static int char_is(char c, unsigned char classes)
{
    return (char_class_table.of[static_cast<unsigned char>(c)] & classes) != 0;
}

static int delim_set(delim *dl, delim value)
{
    if (dl)
        *dl = value;
    return 1;
}

int is_char_from_delim(char c)
{
    return char_is(c, cc_delim);
}

int is_char_special(char c)
{
    return char_is(c, cc_quote | cc_backslash);
}

int is_quote(char c)
{
    return char_is(c, cc_quote);
}

int is_char_space(char c)
{
    return char_is(c, cc_space);
}

// The operators by their first character: of[c][0] is the code of c alone,
// of[c][1] that of c doubled (delim_err when that is no operator). Read
// without a branch on the character, which is hard to predict.
struct def_delim_codes {
    delim of[256][2];
};
using delim_codes = def_delim_codes;

static constexpr delim_codes delim_codes_make()
{
    delim_codes t = {};
    const auto set = [&t](unsigned char c, delim one, delim two) {
        t.of[c][0] = one;
        t.of[c][1] = two;
    };
    set(';', delim_semi, delim_err);  // ;; is not an operator
    set('|', delim_pipe, delim_logical_or);
    set('&', delim_ampersand, delim_logical_and);
    set('<', delim_redir_in, delim_redir_in2);
    set('>', delim_redir_out, delim_redir_out2);
    return t;
}

static constexpr delim_codes delim_code_table = delim_codes_make();

// The code of the operator made of the first char_cnt characters of token,
// or delim_err when they make none.
static delim delim_of(const char *token, int char_cnt)
{
    if (!token || char_cnt < 1 || char_cnt > 2 || (char_cnt == 2 && token[1] != token[0]))
        return delim_err;
    return delim_code_table.of[static_cast<unsigned char>(token[0])][char_cnt - 1];
}

int delim_read(const char *op, delim *dl)
{
    const delim *codes = delim_code_table.of[static_cast<unsigned char>(op[0])];
    const int len = op[1] == op[0] && codes[1] != delim_err ? 2 : 1;
    if (dl)
        *dl = codes[len - 1];
    return len;
}

int is_delim(const char *token, int char_cnt)
{
    return delim_of(token, char_cnt) != delim_err;
}

int is_leftside_delim(const char *token, int char_cnt, delim *dl)
{
    const delim d = token && char_cnt <= 1 ? delim_of(token, 1) : delim_err;
    return (d == delim_semi || d == delim_ampersand) && delim_set(dl, d);
}

int is_rightside_delim(const char *token, int char_cnt, delim *dl)
{
    const delim d = delim_of(token, char_cnt);
    return d >= delim_redir_in && delim_set(dl, d);  // the last four codes
}

int is_bothside_delim(const char *token, int char_cnt, delim *dl)
{
    const delim d = delim_of(token, char_cnt);
    return (d == delim_pipe || d == delim_logical_or || d == delim_logical_and) && delim_set(dl, d);
}

int is_word_delim(const char *token, int char_cnt, delim *dl)
{
    return is_rightside_delim(token, char_cnt, dl);
}

int is_cmd_delim(const char *token, int char_cnt, delim *dl)
{
    return is_leftside_delim(token, char_cnt, dl) || is_bothside_delim(token, char_cnt, dl);
}

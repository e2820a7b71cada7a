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

int is_delim(const char *token, int char_cnt)
{
    if (!token || char_cnt < 1 || char_cnt > 2 || !is_char_from_delim(token[0]))
        return 0;
    if (char_cnt == 1)
        return 1;
    return token[0] != ';' && token[1] == token[0];
}

int is_leftside_delim(const char *token, int char_cnt, delim *dl)
{
    if (!token || char_cnt > 1)
        return 0;
    if (token[0] == ';')
        return delim_set(dl, delim_semi);
    if (token[0] == '&')
        return delim_set(dl, delim_ampersand);
    return 0;
}

int is_rightside_delim(const char *token, int char_cnt, delim *dl)
{
    if (!token || char_cnt < 1 || char_cnt > 2)
        return 0;
    if (char_cnt == 2 && token[1] != token[0])
        return 0;
    if (token[0] == '<')
        return delim_set(dl, char_cnt == 1 ? delim_redir_in : delim_redir_in2);
    if (token[0] == '>')
        return delim_set(dl, char_cnt == 1 ? delim_redir_out : delim_redir_out2);
    return 0;
}

int is_bothside_delim(const char *token, int char_cnt, delim *dl)
{
    if (!token || char_cnt < 1 || char_cnt > 2)
        return 0;
    if (char_cnt == 1)
        return token[0] == '|' ? delim_set(dl, delim_pipe) : 0;
    if (token[1] != token[0])
        return 0;
    if (token[0] == '|')
        return delim_set(dl, delim_logical_or);
    if (token[0] == '&')
        return delim_set(dl, delim_logical_and);
    return 0;
}

int is_word_delim(const char *token, int char_cnt, delim *dl)
{
    return is_rightside_delim(token, char_cnt, dl);
}

int is_cmd_delim(const char *token, int char_cnt, delim *dl)
{
    return is_leftside_delim(token, char_cnt, dl) || is_bothside_delim(token, char_cnt, dl);
}

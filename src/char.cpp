#include "char.h"

static int delim_set(delim *dl, delim value)
{
    if (dl)
        *dl = value;
    return 1;
}

int is_char_from_delim(char c)
{
    return c == '&' || c == ';' || c == '<' || c == '>' || c == '|';
}

int is_char_special(char c)
{
    return c == '"' || c == '\'' || c == '\\';
}

int is_quote(char c)
{
    return c == '"' || c == '\'';
}

int is_char_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
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

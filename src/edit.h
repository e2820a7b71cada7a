// SPDX-License-Identifier: BSD-2-Clause
// The line editor: one line read from a person at a terminal, with the
// editing keys of readline's emacs mode, history, completion, and the line
// coloured as qsh will read it, by the checker and the tokenizer that run it.
//
// The reader (input.cpp) asks it for a line only when standard input and
// output are terminals in their usual mode (edit_usable); everywhere else
// nothing of it runs. Everything but the terminal layer (edit_line_read and
// what it calls to read bytes, draw and wait) is plain functions over plain
// data, tested as table rows and fuzzed without a terminal.
#pragma once

#include <cstddef>

// ---- The terminal layer: what the reader and the ways out call ----

// Whether the editor reads the next line: standard input and standard
// output are terminals, TERM is set and is not "dumb", and the terminal is in
// its usual mode (canonical, with echo) right now. Sampled before each line.
int edit_usable();

// Draws prompt ("DIR> ") in the first column and reads one line. before is
// the text of the logical line read so far (its earlier lines, joined; empty
// for a new line), which colours and completion take into account. Returns 1
// with the line (no newline, no NUL byte) in *line and *len, valid until the
// next call, or 0 at end of input (Ctrl-D on an empty line, or the terminal
// gone). The terminal's mode is the one it had on entry when this returns.
int edit_line_read(const char *prompt, const char *before, size_t before_len, const char **line,
                   size_t *len);

// A logical line read through the editor is complete (accepted or refused):
// it goes into the history, and is appended to the history file.
void edit_history_record(const char *text);

// Puts the terminal back in the mode it had before the editor made it raw,
// when it is raw now. Every way out of qsh calls it.
void edit_restore();

// ---- What the line means to qsh: program names, colours, completion ----

// The names of the programs in the PATH directories, read once per line for
// colouring and completion. Sorted, without repeats; the structure owns the
// names.
struct def_edit_cmds {
    char **name;
    size_t count;
    int loaded;           // read since the line began (edit_cmds_free clears it)
    char *path;           // the PATH value they were read from
    unsigned char *runs;  // per name: 0 not looked at yet, 1 a program that runs, 2 none
};
using edit_cmds = def_edit_cmds;
// Reads the directories of path (a PATH value; null or empty: none).
void edit_cmds_load(edit_cmds *cmds, const char *path);
void edit_cmds_free(edit_cmds *cmds);

// How one byte of the line is drawn.
enum def_edit_colour : unsigned char {
    colour_plain = 0,
    colour_operator,  // an operator: ; & | && || < > >> <<
    colour_quoted,    // quoted text, quotes included, and escaped characters
    colour_error,     // the misplaced operator that the checker reports
    colour_unknown,   // the first word of a command that no program answers to
};
using edit_colour = def_edit_colour;

// Colours the bytes of text from `from` to len into colour[0 .. len - from).
// text is the whole logical line: its earlier lines joined, then the line
// being edited from `from` on. cursor is the cursor's index in text: a
// command name that ends there and starts some program's name is not
// coloured as unknown yet. cmds is loaded when needed.
void edit_colour_line(const char *text, size_t len, size_t from, size_t cursor, edit_cmds *cmds,
                      unsigned char *colour);

// What Tab does: the text to insert at the cursor, written so that qsh reads
// it back as the name (a backslash before blanks, quotes, backslashes and
// operator characters; inside an open quote, the quote closed and reopened
// around a character it cannot hold), and the names that matched.
struct def_edit_completion {
    char *insert;  // NUL-terminated, possibly empty
    char **match;  // the matching names (a directory's with a final /), sorted
    size_t count;
};
using edit_completion = def_edit_completion;
// Completes the word before cursor in text (the whole logical line, as for
// edit_colour_line): a program name in a command's first word, else a file
// name. One match: the rest of its name, then a blank (after the closing
// quote of an open quote), or / for a directory. Several: the rest of their
// longest common prefix. None: nothing.
void edit_complete(const char *text, size_t len, size_t cursor, edit_cmds *cmds,
                   edit_completion *out);
void edit_completion_free(edit_completion *c);

// The pure steps of completion.
// The word before the cursor, as qsh splits and reads it.
struct def_edit_word {
    size_t start;  // where it starts in the text (the cursor, for a new word)
    char *name;    // what qsh reads it as: quotes and escapes resolved; owned
    char quote;    // the quote left open at the cursor (' or "), or 0
    int is_cmd;    // the first word of a command
};
using edit_word = def_edit_word;
// Finds the word before cursor in text. Returns 0, with nothing to free,
// when there is none to complete: the text before the cursor ends with an
// escaping backslash or holds a NUL byte.
int edit_word_before(const char *text, size_t cursor, edit_word *w);
// The n bytes of name written so that qsh reads them back as they are,
// after an open quote (0: none). A new string.
char *edit_name_quote(const char *name, size_t n, char quote);
// The length of the longest prefix common to the count names (count > 0),
// cut back to a whole UTF-8 character.
size_t edit_names_common(char *const *name, size_t count);

// ---- History ----

// Entries in memory, oldest first; each is one logical line, owned here.
struct def_edit_history {
    char **entry;
    size_t count;
    size_t cap;
};
using edit_history = def_edit_history;
// Entries kept in memory and in the file after trimming; the file is trimmed
// when it holds more than twice as many.
constexpr size_t edit_history_keep = 1000;

// Adds text as the newest entry unless it is empty, starts with a blank or a
// tab, or equals the newest entry; the oldest entries beyond
// edit_history_keep go. Returns 1 when it was added.
int edit_history_add(edit_history *h, const char *text);
void edit_history_free(edit_history *h);
// The history file: histfile (QSH_HISTFILE) when set, none when it is empty;
// else xdg_state/qsh/history when xdg_state (XDG_STATE_HOME) is an absolute
// path; else home/.local/state/qsh/history when home (HOME) is set. A new
// string, or null for no file.
char *edit_history_path(const char *histfile, const char *xdg_state, const char *home);
// Loads the file's last entries into h (at most edit_history_keep, from no
// more than its last MiB, entries longer than 64 KiB skipped), and rewrites
// it with its last edit_history_keep entries when it holds more than twice
// as many. A file that cannot be read or written is reported once, as
// "qsh: history: PATH: REASON". Returns 0, or -1 when the file is unusable.
int edit_history_load(edit_history *h, const char *path);
// Appends text and a newline in one write, making the file (0600) and its
// directories (0700) when missing. Returns 0, or -1 (reported once, as for
// edit_history_load).
int edit_history_append(const char *path, const char *text);

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
#include <cstdint>

// ---- The terminal layer: what the reader and the ways out call ----

// Whether the editor reads the next line: standard input and standard
// output are terminals, TERM is set, not empty and not "dumb", and the
// terminal is in its usual mode (canonical, with echo) right now. Sampled
// before each line.
int edit_usable();

// Draws prompt ("DIR> ") in the first column and reads one line. before is
// the text of the logical line read so far (its earlier lines, joined; empty
// for a new line), which colours and completion take into account. Returns 1
// with the line (no NUL byte) in *line and *len, followed by a newline that
// *len does not count, valid until the next call; or 0 at end of input
// (Ctrl-D on an empty line, or the terminal gone). The terminal's mode is the
// one it had on entry when this returns.
int edit_line_read(const char *prompt, const char *before, size_t before_len, const char **line,
                   size_t *len);

// A logical line read through the editor is complete (accepted or refused):
// it goes into the history, and is appended to the history file.
void edit_history_record(const char *text);

// ---- The editor without a terminal: keys, the line, drawing ----
// Plain functions over plain data; the terminal layer above feeds them the
// bytes it reads and writes out what they build.

struct def_edit_history;
struct def_edit_completion;

// A growing run of bytes, kept NUL-terminated (data is null until the first
// byte). The owner frees data.
struct def_edit_buf {
    char *data;
    size_t len;
    size_t cap;
};
using edit_buf = def_edit_buf;

// The line being edited. text never holds a NUL byte; cursor is a byte index
// at the start of a character (edit_char_next).
struct def_edit_line {
    char *text;  // NUL-terminated once anything was put in it
    size_t len;
    size_t cap;
    size_t cursor;
};
using edit_line = def_edit_line;

// Characters: one UTF-8 code point with the zero-width code points after it,
// or one byte that is not part of a valid code point; a control character
// (below 0x20, 0x7f, and U+0080 to U+009F) is a character of its own, which
// no zero-width code point joins.
// The columns a code point takes: 2 for East Asian wide and fullwidth, 0 for
// combining marks and other zero-width code points, 1 for the rest.
int edit_width(uint32_t cp);
// Where the character at i (a character's start, i < len) ends.
size_t edit_char_next(const char *text, size_t len, size_t i);
// Where the character that ends at i (a character's start, i > 0) starts.
size_t edit_char_prev(const char *text, size_t len, size_t i);
// Whether i (at most len) is the start of a character, or len.
int is_edit_char_start(const char *text, size_t len, size_t i);

// Keys, decoded from bytes one at a time.
enum def_edit_key_code : int {
    // 0x00-0x1f and 0x7f: that control byte
    key_alt = 0x100,   // key_alt + b: Esc, then the byte b (below 0x80)
    key_char = 0x200,  // a character to insert, in bytes
    key_byte,          // a byte that is no valid UTF-8, in bytes
    key_esc,
    key_up,
    key_down,
    key_left,
    key_right,
    key_home,
    key_end,
    key_delete,
    key_ctrl_left,
    key_ctrl_right,
};
using edit_key_code = def_edit_key_code;
struct def_edit_key {
    int code;           // an edit_key_code, or a control byte
    unsigned char len;  // key_char, key_byte: the bytes
    char bytes[4];
};
using edit_key = def_edit_key;
// The most keys one byte gives.
constexpr int edit_key_max = 4;

// Where the decoder is within a sequence.
struct def_edit_decoder {
    int state;  // nothing held, after Esc, in a CSI or SS3 sequence, in UTF-8
    int n;      // bytes held
    unsigned char held[16];
};
using edit_decoder = def_edit_decoder;
// Feeds one byte: returns how many keys it completes, stored in out. A
// sequence that is not known is dropped whole.
int edit_key_decode(edit_decoder *d, unsigned char c, edit_key *out);
// No byte followed in time: a lone Esc becomes key_esc, a UTF-8 sequence
// cut short its bytes, an escape sequence nothing. Returns the keys.
int edit_key_timeout(edit_decoder *d, edit_key *out);

// What the terminal layer does after a key.
enum def_edit_result {
    res_none = 0,  // the line changed or not: draw when no more input waits
    res_enter,     // the line is read
    res_eof,       // Ctrl-D on an empty line
    res_complete,  // Tab
    res_clear,     // Ctrl-L
    res_intr,      // the terminal's interrupt, quit and suspend characters
    res_quit,
    res_suspend,
};
using edit_result = def_edit_result;

// The editor's state while one line is read.
struct def_edit_state {
    edit_line line;
    const char *prompt;  // "DIR> "
    const char *before;  // the logical line's earlier lines, joined
    size_t before_len;
    const struct def_edit_history *hist;  // the entries browsed and searched
    edit_buf *kill;                       // what Ctrl-Y inserts: kept across lines
    size_t hist_pos;                      // the entry shown; hist->count: the line typed
    edit_buf typed;                       // the line typed, while an entry is shown
    int searching;                        // Ctrl-R: the query and where it stands
    int search_failed;
    edit_buf query;
    size_t search_from;  // one past the newest entry that typing searches
    edit_buf saved;      // the line as it was before the search
    size_t saved_cursor;
    size_t saved_pos;
    int tabs;        // Tabs in a row
    int last_cut;    // the previous key cut text: the next cut joins it
    int quote_next;  // Ctrl-V: the next byte is inserted as it is
    int pasting;     // more input waits: a Tab is inserted, not completed
    // The terminal's erase, interrupt, quit and suspend bytes (-1: none).
    int erase, intr, quit, susp;
};
using edit_state = def_edit_state;
// Starts a line: empty, the newest history position, the search ended.
// prompt, before, hist, kill and the terminal's bytes are the caller's.
void edit_state_begin(edit_state *st);
void edit_state_free(edit_state *st);
// Applies one key, or feeds one byte (decoding it, or inserting it as it is
// after Ctrl-V). Returns what the terminal layer has to do.
edit_result edit_key_apply(edit_state *st, const edit_key *k);
edit_result edit_feed(edit_state *st, edit_decoder *d, unsigned char c);
// The prompt shown now: the line's, or the search's.
void edit_state_prompt(const edit_state *st, edit_buf *out);
// After Tab: inserts c->insert at the cursor. Returns 1 when the names are
// to be listed: several matched and this is the second Tab in a row.
int edit_state_completed(edit_state *st, const def_edit_completion *c);

// What is drawn: the prompt and the line in their colours, in a window of
// width columns and height rows.
struct def_edit_view {
    const char *prompt;
    size_t prompt_len;
    const char *text;
    size_t len;
    const unsigned char *colour;  // an edit_colour per byte of text; null: none at all
    size_t cursor;
    int width;
    int height;
};
using edit_view = def_edit_view;
// Appends to out the bytes that draw v over the last drawing, whose cursor
// stood on its row old_row (0 for a new drawing, with the terminal's cursor
// in the first column): back to its first row, the rows (at most height,
// around the cursor, each within width), the rest of the screen cleared, the
// cursor placed. Returns the cursor's row among the rows drawn, its column in
// *col.
int edit_draw(edit_buf *out, const edit_view *v, int old_row, int *col);
// Appends names listed in columns for a window of width columns, each row
// ended by \r\n, the names shown as the line is.
void edit_list_names(edit_buf *out, char *const *name, size_t count, int width);

// ---- What the line means to qsh: program names, colours, completion ----

// The names of the programs in the PATH directories, read once per line for
// colouring and completion. Sorted, without repeats; the structure owns the
// names.
struct def_edit_cmds {
    char **name;
    size_t count;
    char *path;           // the PATH value they were read from; null: not read yet
    unsigned char *runs;  // per name: 0 not looked at yet, 1 a program that runs, 2 none
};
using edit_cmds = def_edit_cmds;
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

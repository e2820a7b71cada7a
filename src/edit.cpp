// SPDX-License-Identifier: BSD-2-Clause
// The line editor: keys from the terminal's bytes, the line and its editing,
// history, completion, colours and drawing, and the thin layer that holds
// the terminal raw while one line is read.
#include "edit.h"

// ---------------------------------------------------------------------------
// What the line means to qsh: the program names on PATH, the colours, the
// completion of a word, and the history with its file.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "char.h"
#include "define.h"
#include "syntax.h"
#include "word.h"

// A growing array of owned names.
struct def_edit_names {
    char **name;
    size_t count;
    size_t cap;
};
using edit_names = def_edit_names;

static void edit_names_push(edit_names *list, const char *name, size_t len)
{
    if (list->count == list->cap) {
        list->cap = list->cap ? list->cap * 2 : 64;
        list->name = static_cast<char **>(mem_realloc(list->name, list->cap * sizeof(char *)));
    }
    list->name[list->count++] = mem_strndup(name, len);
}

static int edit_name_cmp(const void *a, const void *b)
{
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

static void edit_names_free(edit_names *list)
{
    for (size_t i = 0; i < list->count; i++)
        free(list->name[i]);
    free(list->name);
    *list = {};
}

static void edit_names_sort(edit_names *list)
{
    if (list->count > 1)
        qsort(list->name, list->count, sizeof(char *), edit_name_cmp);
}

// . and .., which are never offered.
static int is_name_dots(const char *name)
{
    return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]));
}

// A regular file that this process may run (a directory passes access too).
static int is_file_runnable(int dir_fd, const char *file)
{
    struct stat st;
    return fstatat(dir_fd, file, &st, 0) == 0 && S_ISREG(st.st_mode) &&
           faccessat(dir_fd, file, X_OK, 0) == 0;
}

// Adds the entries of the directory part of path (up to its last /, the
// current directory without one) that start with its last part; with
// runnable, only the files that run, and directories. A directory's name
// gets a final /.
static void edit_names_add_files(edit_names *out, const char *path, int runnable)
{
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    char *dir = slash ? mem_strndup(path, static_cast<size_t>(slash - path) + 1) : nullptr;
    DIR *d = opendir(dir ? dir : ".");
    free(dir);
    if (!d)
        return;
    size_t len = strlen(base);
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (strncmp(name, base, len) || is_name_dots(name) || strchr(name, '\n') ||
            (name[0] == '.' && base[0] != '.'))
            continue;
        struct stat st;
        int is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN)
            is_dir = fstatat(dirfd(d), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        if (runnable && !is_dir && !is_file_runnable(dirfd(d), name))
            continue;
        size_t n = strlen(name);
        edit_names_push(out, name, n + is_dir);
        if (is_dir)
            out->name[out->count - 1][n] = '/';
    }
    closedir(d);
}

// ---- Program names ----

// Copies the next element of a PATH value from *at into dir (PATH_MAX
// bytes; an empty element is the current directory, as for execvp; one too
// long is passed over) and moves *at past it, to null after the last.
// Returns 0 when none is left.
static int edit_path_next(const char **at, char *dir)
{
    while (*at) {
        const char *start = *at, *end = strchrnul(start, ':');
        size_t len = static_cast<size_t>(end - start);
        *at = *end ? end + 1 : nullptr;
        if (len < PATH_MAX) {
            memcpy(dir, len ? start : ".", len ? len : 1);
            dir[len ? len : 1] = '\0';
            return 1;
        }
    }
    return 0;
}

// Adds the names in one directory, leaving out subdirectories where the
// entry tells, . and .., and names holding a newline.
static void edit_cmds_read_dir(edit_names *list, const char *dir)
{
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (const dirent *e = readdir(d)) {
        if (e->d_type != DT_DIR && !is_name_dots(e->d_name) && !strchr(e->d_name, '\n'))
            edit_names_push(list, e->d_name, strlen(e->d_name));
    }
    closedir(d);
}

void edit_cmds_load(edit_cmds *cmds, const char *path)
{
    edit_cmds_free(cmds);
    path = path ? path : "";
    edit_names list = {};
    char dir[PATH_MAX];
    for (const char *at = *path ? path : nullptr; edit_path_next(&at, dir);)
        edit_cmds_read_dir(&list, dir);
    edit_names_sort(&list);
    size_t kept = 0;
    for (size_t i = 0; i < list.count; i++) {
        if (kept && !strcmp(list.name[kept - 1], list.name[i]))
            free(list.name[i]);
        else
            list.name[kept++] = list.name[i];
    }
    cmds->name = list.name;
    cmds->count = kept;
    cmds->path = mem_strndup(path, strlen(path));
    cmds->runs = static_cast<unsigned char *>(mem_zalloc(kept + 1));
    cmds->loaded = 1;
}

void edit_cmds_free(edit_cmds *cmds)
{
    for (size_t i = 0; i < cmds->count; i++)
        free(cmds->name[i]);
    free(cmds->name);
    free(cmds->path);
    free(cmds->runs);
    *cmds = {};
}

// The index of the first name not below the len bytes at key.
static size_t edit_cmds_find(const edit_cmds *cmds, const char *key, size_t len)
{
    size_t lo = 0, hi = cmds->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (strncmp(cmds->name[mid], key, len) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Whether name i is a file that runs in the first PATH directory holding
// one, as execvp looks for it; looked at once per load.
static int edit_cmds_runs(edit_cmds *cmds, size_t i)
{
    if (!cmds->runs[i]) {
        cmds->runs[i] = 2;
        char dir[PATH_MAX], file[PATH_MAX];
        for (const char *at = *cmds->path ? cmds->path : nullptr; edit_path_next(&at, dir);) {
            int n = snprintf(file, sizeof file, "%s/%s", dir, cmds->name[i]);
            if (n > 0 && static_cast<size_t>(n) < sizeof file && is_file_runnable(AT_FDCWD, file)) {
                cmds->runs[i] = 1;
                break;
            }
        }
    }
    return cmds->runs[i] == 1;
}

// ---- The line as the checker and the tokenizer see it ----

// Checks text (a copy: the checker may write into it) as the loop does from
// its start, marking its quoted bytes in quoted when that is not null. The
// first misplaced operator is kept in *err_pos and *symcnt (*err_pos stays
// -1 without one); the pass then goes on after it, as a new line would, so
// that the quotes after it are marked too, up to a number of such restarts
// (each measures the rest of the text). *pass is where the last pass
// stopped.
static void edit_check(char *text, unsigned char *quoted, int *err_pos, int *symcnt,
                       syntax_pass *pass)
{
    *err_pos = -1;
    *pass = {};
    pass->quoted = quoted;
    int pos, cnt;
    for (int restarts = 0; syntax_resume(text, pass, &pos, &cnt) == syntax_err && restarts < 64;
         restarts++) {
        if (*err_pos < 0)
            *err_pos = pos, *symcnt = cnt;
        *pass = {};
        pass->quoted = quoted;
        pass->idx = pos + cnt;
    }
}

// One token of a line, as the tokenizer cuts it.
struct def_edit_token {
    int start;  // its bytes in the text, from start to end
    int end;
    int is_delim;
    int is_cmd;  // a word that starts a command
    char *text;  // a word's text when quotes or escapes make it differ; owned
};
using edit_token = def_edit_token;

// Cuts the token after *idx through the tokenizer's entries and moves *idx
// past it; end is just past the text's NUL. *cmd says whether the next word
// starts a command: at the start, after ; & | || &&, but not after a
// redirection, whose word is a file, nor after a command's first word.
// Returns 0 at the end of the text.
static int edit_token_next(const char *text, const char *end, int *idx, int *cmd, edit_token *t)
{
    *idx += tok_space_handle(text, *idx);
    if (!text[*idx])
        return 0;
    *t = {};
    t->start = *idx;
    t->is_delim = is_char_from_delim(text[*idx]);
    if (t->is_delim) {
        int len = tok_delim_handle(text, *idx);
        *cmd = !is_word_delim(text + *idx, len, nullptr);
        *idx += len;
    } else {
        *idx += tok_word_handle_in(text, *idx, end, &t->text);
        t->is_cmd = *cmd;
        *cmd = 0;
    }
    t->end = *idx;
    return 1;
}

// ---- Colours ----

// Whether some file's name starts with the last part of path, in the
// directory its other parts name.
static int is_path_begun(const char *path)
{
    edit_names list = {};
    edit_names_add_files(&list, path, 0);
    int found = list.count > 0;
    edit_names_free(&list);
    return found;
}

// Whether the command name, the word t as qsh reads it, names a program
// that runs: a path when it holds a /, else a name on PATH. While typing (the
// cursor at its end), also the start of such a name, or of a file's for a
// path.
static int is_cmd_known(const char *text, const edit_token *t, int typing, edit_cmds *cmds)
{
    const char *name = t->text ? t->text : text + t->start;
    size_t len = t->text ? strlen(name) : static_cast<size_t>(t->end - t->start);
    if (memchr(name, '/', len)) {
        char *path = mem_strndup(name, len);
        int known = is_file_runnable(AT_FDCWD, path) || (typing && is_path_begun(path));
        free(path);
        return known;
    }
    if (!cmds->loaded)
        edit_cmds_load(cmds, getenv("PATH"));
    size_t i = edit_cmds_find(cmds, name, len);
    if (i == cmds->count || strncmp(cmds->name[i], name, len))
        return 0;
    return typing || (!cmds->name[i][len] && edit_cmds_runs(cmds, i));
}

void edit_colour_line(const char *text, size_t len, size_t from, size_t cursor, edit_cmds *cmds,
                      unsigned char *colour)
{
    if (from >= len)
        return;
    char *copy = static_cast<char *>(mem_alloc(len + 1));
    memcpy(copy, text, len);
    copy[len] = '\0';
    auto *all = static_cast<unsigned char *>(mem_zalloc(len + 1));
    int err_pos, symcnt;
    syntax_pass pass;
    edit_check(copy, all, &err_pos, &symcnt, &pass);
    for (size_t i = 0; i < len; i++)
        all[i] = all[i] ? colour_quoted : colour_plain;
    edit_token t;
    for (int idx = 0, cmd = 1; edit_token_next(copy, copy + len + 1, &idx, &cmd, &t);) {
        size_t n = static_cast<size_t>(t.end - t.start);
        if (t.is_delim)
            memset(all + t.start, colour_operator, n);
        else if (t.is_cmd && static_cast<size_t>(t.end) > from &&
                 !is_cmd_known(copy, &t, cursor == static_cast<size_t>(t.end), cmds))
            memset(all + t.start, colour_unknown, n);
        free(t.text);
    }
    if (err_pos >= 0)
        memset(all + err_pos, colour_error, static_cast<size_t>(symcnt));
    memcpy(colour, all + from, len - from);
    free(all);
    free(copy);
}

// ---- Completion ----

int edit_word_before(const char *text, size_t cursor, edit_word *w)
{
    char *copy = mem_strndup(text, cursor);
    int err_pos, symcnt;
    syntax_pass pass;
    edit_check(copy, nullptr, &err_pos, &symcnt, &pass);
    // A NUL hides the rest from qsh; a final escaping backslash, which the
    // checker has turned into a blank, escapes what is still to be typed.
    if (strlen(copy) < cursor || (cursor && copy[cursor - 1] != text[cursor - 1])) {
        free(copy);
        return 0;
    }
    *w = {};
    w->start = cursor;
    if (pass.is_in_quotes)
        w->quote = pass.quote ? '\'' : '"';
    edit_token t;
    int cmd = 1;
    for (int idx = 0; edit_token_next(copy, copy + cursor + 1, &idx, &cmd, &t);) {
        if (!t.is_delim && static_cast<size_t>(t.end) == cursor) {
            w->start = static_cast<size_t>(t.start);
            size_t n = static_cast<size_t>(t.end - t.start);
            w->name = t.text ? t.text : mem_strndup(copy + t.start, n);
            t.text = nullptr;
            w->is_cmd = t.is_cmd;
        }
        free(t.text);
    }
    if (!w->name) {
        w->name = mem_strndup("", 0);
        w->is_cmd = cmd;
    }
    free(copy);
    return 1;
}

char *edit_name_quote(const char *name, size_t n, char quote)
{
    char *out = static_cast<char *>(mem_alloc(4 * n + 1)), *at = out;
    for (size_t i = 0; i < n; i++) {
        char c = name[i];
        if (!quote && !is_char_plain(c) && c)
            *at++ = '\\';
        if (quote && c == quote) {
            // Closed, the quote escaped, opened again: '\'' or "\"".
            *at++ = quote;
            *at++ = '\\';
            *at++ = quote;
        }
        *at++ = c;
    }
    *at = '\0';
    return out;
}

size_t edit_names_common(char *const *name, size_t count)
{
    size_t len = strlen(name[0]);
    for (size_t i = 1; i < count; i++) {
        size_t k = 0;
        while (k < len && name[i][k] == name[0][k])
            k++;
        len = k;
    }
    // Not in the middle of a character: back to the start of the one cut.
    while (len && (static_cast<unsigned char>(name[0][len]) & 0xc0) == 0x80)
        len--;
    return len;
}

// Adds the programs on PATH whose names start with base.
static void edit_complete_cmds(edit_cmds *cmds, const char *base, edit_names *out)
{
    if (!cmds->loaded)
        edit_cmds_load(cmds, getenv("PATH"));
    size_t len = strlen(base);
    for (size_t i = edit_cmds_find(cmds, base, len);
         i < cmds->count && !strncmp(cmds->name[i], base, len); i++) {
        if ((cmds->name[i][0] != '.' || base[0] == '.') && edit_cmds_runs(cmds, i))
            edit_names_push(out, cmds->name[i], strlen(cmds->name[i]));
    }
}

// The text that Tab inserts for the matches of the word w.
static char *edit_complete_insert(const edit_word *w, char *const *match, size_t count)
{
    const char *slash = strrchr(w->name, '/');
    size_t typed = strlen(slash ? slash + 1 : w->name);
    size_t len = count == 1 ? strlen(match[0]) : edit_names_common(match, count);
    len = len < typed ? typed : len;  // the word ends inside a character
    int is_dir = count == 1 && len && match[0][len - 1] == '/';
    char *rest = edit_name_quote(match[0] + typed, len - typed - is_dir, w->quote);
    if (count > 1)
        return rest;
    size_t n = strlen(rest);
    rest = static_cast<char *>(mem_realloc(rest, n + 3));
    if (is_dir) {
        rest[n++] = '/';
    } else {
        if (w->quote)
            rest[n++] = w->quote;
        rest[n++] = ' ';
    }
    rest[n] = '\0';
    return rest;
}

void edit_complete(const char *text, size_t len, size_t cursor, edit_cmds *cmds,
                   edit_completion *out)
{
    *out = {};
    out->insert = mem_strndup("", 0);
    edit_word w;
    if (cursor > len || !edit_word_before(text, cursor, &w))
        return;
    edit_names list = {};
    if (w.is_cmd && !strchr(w.name, '/'))
        edit_complete_cmds(cmds, w.name, &list);
    else
        edit_names_add_files(&list, w.name, w.is_cmd);
    edit_names_sort(&list);
    if (list.count) {
        free(out->insert);
        out->insert = edit_complete_insert(&w, list.name, list.count);
    }
    out->match = list.name;
    out->count = list.count;
    free(w.name);
}

void edit_completion_free(edit_completion *c)
{
    for (size_t i = 0; i < c->count; i++)
        free(c->match[i]);
    free(c->match);
    free(c->insert);
    *c = {};
}

// ---- History ----

int edit_history_add(edit_history *h, const char *text)
{
    if (!text[0] || text[0] == ' ' || text[0] == '\t' ||
        (h->count && !strcmp(h->entry[h->count - 1], text)))
        return 0;
    if (h->count == edit_history_keep) {
        free(h->entry[0]);
        memmove(h->entry, h->entry + 1, --h->count * sizeof(char *));
    }
    if (h->count == h->cap) {
        h->cap = h->cap ? h->cap * 2 : 64;
        h->entry = static_cast<char **>(mem_realloc(h->entry, h->cap * sizeof(char *)));
    }
    h->entry[h->count++] = mem_strndup(text, strlen(text));
    return 1;
}

void edit_history_free(edit_history *h)
{
    for (size_t i = 0; i < h->count; i++)
        free(h->entry[i]);
    free(h->entry);
    *h = {};
}

static char *edit_path_join(const char *dir, const char *name)
{
    size_t n = strlen(dir), m = strlen(name);
    char *path = static_cast<char *>(mem_alloc(n + m + 1));
    memcpy(path, dir, n);
    memcpy(path + n, name, m + 1);
    return path;
}

char *edit_history_path(const char *histfile, const char *xdg_state, const char *home)
{
    if (histfile)
        return *histfile ? mem_strndup(histfile, strlen(histfile)) : nullptr;
    if (xdg_state && xdg_state[0] == '/')
        return edit_path_join(xdg_state, "/qsh/history");
    if (home && *home)
        return edit_path_join(home, "/.local/state/qsh/history");
    return nullptr;
}

// Says once per run what went wrong with the history file. Returns -1.
static int edit_history_fail(const char *path, int err)
{
    static int reported;
    if (!reported)
        fprintf(stderr, "qsh: history: %s: %s\n", path, strerror(err));
    reported = 1;
    return -1;
}

// The most read of the file: entries beyond it are not loaded, and a longer
// file is trimmed. An entry longer than edit_history_entry_max is skipped.
constexpr size_t edit_history_tail_max = 1 << 20;
constexpr size_t edit_history_entry_max = 64 << 10;

// The end of a history file as read: its last entries, in place.
struct def_edit_history_tail {
    char *buf;      // the bytes read, NUL-terminated
    size_t lines;   // the lines read, skipped ones included
    int partial;    // the file holds more than was read
    char **entry;   // the last usable lines, NUL-terminated in buf: a ring of
    size_t count;   // edit_history_keep slots, count filled, the oldest at
    size_t oldest;  // slot oldest
};
using edit_history_tail = def_edit_history_tail;

// Reads the last edit_history_tail_max bytes of the file at fd. When that
// is not the whole file, the first line read, probably a part of one, is
// dropped. Returns 0, or -1 with errno set.
static int edit_history_tail_read(int fd, edit_history_tail *t)
{
    *t = {};
    struct stat st;
    if (fstat(fd, &st) < 0)
        return -1;
    size_t size = static_cast<size_t>(st.st_size);
    size_t want = size < edit_history_tail_max ? size : edit_history_tail_max;
    off_t off = static_cast<off_t>(size - want);
    t->buf = static_cast<char *>(mem_alloc(want + 1));
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(fd, t->buf + got, want - got, off + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    t->buf[got] = '\0';
    t->partial = off > 0;
    t->entry = static_cast<char **>(mem_alloc(edit_history_keep * sizeof(char *)));
    char *line = t->buf, *end = t->buf + got;
    if (t->partial)
        line = static_cast<char *>(memchr(line, '\n', got)), line = line ? line + 1 : end;
    while (line < end) {
        char *nl = static_cast<char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        size_t n = static_cast<size_t>((nl ? nl : end) - line);
        line[n] = '\0';  // the newline, or the NUL after the buffer
        t->lines++;
        if (n && n <= edit_history_entry_max && !memchr(line, '\0', n)) {
            t->entry[(t->oldest + t->count) % edit_history_keep] = line;
            if (t->count < edit_history_keep)
                t->count++;
            else
                t->oldest = (t->oldest + 1) % edit_history_keep;
        }
        line += n + 1;
    }
    return 0;
}

static void edit_history_tail_free(edit_history_tail *t)
{
    free(t->buf);
    free(t->entry);
    *t = {};
}

static const char *edit_history_tail_at(const edit_history_tail *t, size_t i)
{
    return t->entry[(t->oldest + i) % edit_history_keep];
}

// Writes all n bytes at data, going on after a short write. Returns 0, or
// -1 with errno set.
static int edit_write_all(int fd, const char *data, size_t n)
{
    while (n) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -1;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// Replaces the file at path by one holding the entries of t, through a new
// file in the same directory and a rename. Returns 0, or -1 with errno set.
static int edit_history_rewrite(const char *path, const edit_history_tail *t)
{
    char *tmp = edit_path_join(path, ".XXXXXX");
    int fd = mkostemp(tmp, O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        free(tmp);
        return -1;
    }
    size_t size = 0;
    for (size_t i = 0; i < t->count; i++)
        size += strlen(edit_history_tail_at(t, i)) + 1;
    char *data = static_cast<char *>(mem_alloc(size + 1)), *at = data;
    for (size_t i = 0; i < t->count; i++) {
        at = stpcpy(at, edit_history_tail_at(t, i));
        *at++ = '\n';
    }
    int res = edit_write_all(fd, data, size);
    if (close(fd) < 0 && res == 0)
        res = -1;
    if (res == 0 && rename(tmp, path) < 0)
        res = -1;
    int err = errno;
    if (res < 0)
        unlink(tmp);
    free(data);
    free(tmp);
    errno = err;
    return res;
}

// Waits for the exclusive lock of the file at fd; then whether path still
// names that file (a rewrite renames another one over it).
static int is_history_locked(int fd, const char *path)
{
    while (flock(fd, LOCK_EX) < 0)
        if (errno != EINTR)
            return 0;
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int edit_history_load(edit_history *h, const char *path)
{
    // Not blocked by a FIFO that nobody writes.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? 0 : edit_history_fail(path, errno);
    edit_history_tail t;
    int res = edit_history_tail_read(fd, &t);
    if (res == 0 && (t.partial || t.lines > 2 * edit_history_keep) && is_history_locked(fd, path)) {
        // Read again under the lock, so that no append falls in between.
        edit_history_tail_free(&t);
        res = edit_history_tail_read(fd, &t);
        if (res == 0 && (t.partial || t.lines > 2 * edit_history_keep))
            res = edit_history_rewrite(path, &t);
    }
    if (res < 0)
        edit_history_fail(path, errno);
    for (size_t i = 0; i < t.count; i++)
        edit_history_add(h, edit_history_tail_at(&t, i));
    edit_history_tail_free(&t);
    close(fd);
    return res;
}

// Makes the directories above path that are missing, with mode 0700.
// Returns 0, or -1 with errno set.
static int edit_history_dirs(const char *path)
{
    char *dir = mem_strndup(path, strlen(path));
    int res = 0;
    for (char *s = strchr(dir + 1, '/'); s && res == 0; s = strchr(s + 1, '/')) {
        *s = '\0';
        if (mkdir(dir, 0700) < 0 && errno != EEXIST)
            res = -1;
        *s = '/';
    }
    int err = errno;
    free(dir);
    errno = err;
    return res;
}

// Opens the file at path to append to it, made when missing, and locked:
// a rewrite in progress is waited for, and the file it renamed into place is
// opened again. Returns the descriptor, or -1 with errno set.
static int edit_history_open_append(const char *path)
{
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int tries = 0;; tries++) {
        int fd = open(path, flags, 0600);
        if (fd < 0 && errno == ENOENT && edit_history_dirs(path) == 0)
            fd = open(path, flags, 0600);
        if (fd < 0 || is_history_locked(fd, path) || tries == 16)
            return fd;
        close(fd);
    }
}

int edit_history_append(const char *path, const char *text)
{
    size_t n = strlen(text);
    // The file holds one entry per line: one holding a newline stays in
    // the session's memory only.
    if (memchr(text, '\n', n))
        return 0;
    int fd = edit_history_open_append(path);
    if (fd < 0)
        return edit_history_fail(path, errno);
    char *line = static_cast<char *>(mem_alloc(n + 1));
    memcpy(line, text, n);
    line[n] = '\n';
    int res = edit_write_all(fd, line, n + 1);
    int err = errno;
    free(line);
    close(fd);
    return res < 0 ? edit_history_fail(path, err) : 0;
}

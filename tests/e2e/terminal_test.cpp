// SPDX-License-Identifier: BSD-2-Clause
// qsh at a real terminal: tmux runs it in a window of 80 x 24, keys are sent
// as a person types or pastes them, and the screen, the cursor, the colours
// and the files are checked. Every test has a tmux server of its own, with
// its socket in the test's temporary directory, killed at the end of the test
// whatever happened. Waits poll the screen until it shows what is expected,
// with a timeout meant for a loaded machine.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "run.h"

namespace {

// Length of the UTF-8 character that starts with byte c, and the display
// width of the code point at s[i] (2 for East Asian wide and fullwidth ones).
size_t utf8_len(unsigned char c)
{
    return c < 0xc0 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
}
int cp_width(const std::string &s, size_t i, size_t n)
{
    unsigned cp = n == 1 ? s[i] : s[i] & (0x7f >> n);
    for (size_t k = 1; k < n; k++)
        cp = cp << 6 | (s[i + k] & 0x3f);
    return (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0xa4cf) ||
                   (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
                   (cp >= 0xff00 && cp <= 0xff60) || (cp >= 0xffe0 && cp <= 0xffe6)
               ? 2
               : 1;
}

// One step of a case: keys sent, then what the window must show.
struct step {
    std::string keys;  // text, and tmux key names in braces: {Left} {C-w} {M-f} {Enter}
    // The lines expected, one per \n. {P} is the prompt, a line longer than
    // the window goes on over further rows, @ marks the cursor, a tab stands
    // for one or more blanks, # for a process ID. The rows start at the top
    // of the window (rows below must be blank) or, with a cursor, at the
    // cursor's row; a first line "..." leaves the rows above unchecked (and
    // without a cursor puts the rows at the end). It differs from what the
    // step before left, so that it cannot hold before the keys are read.
    std::string screen;
    std::string mask;  // colours of the cursor's row after the prompt: . r y c
    // 'p': the keys are pasted as one piece (load-buffer, paste-buffer);
    // 'c': the terminal is in canonical mode (a command reads it);
    // 'e': qsh has ended with status 0, the terminal's settings as they were
    // before it started (the screen is not checked).
    char how;
    step(std::string k, std::string s = "", std::string m = "", char h = 0)
        : keys(std::move(k)), screen(std::move(s)), mask(std::move(m)), how(h)
    {
    }
};

// What tmux shows of a window.
struct view {
    std::vector<std::string> text, mask;  // rows: characters, a colour letter per character
    int cx = 0, cy = 0;
    bool canon = false;                 // the terminal is in canonical mode
    std::string status, before, after;  // of qsh, once ended: $?, stty -g before and after
};

// Splits a row of capture-pane -e into its characters and their foreground
// colours (from its SGR sequences), trailing blanks dropped.
void row_parse(const std::string &raw, std::string &text, std::string &mask)
{
    char fg = '.';
    for (size_t i = 0, n; i < raw.size(); i += n) {
        if (raw[i] == '\033') {  // ESC [ parameters, a final byte
            for (n = 2; raw[i + n] && (raw[i + n] < 0x40 || raw[i + n] > 0x7e);)
                n++;
            std::istringstream ps(raw[i + n] == 'm' ? raw.substr(i + 2, n - 2) + ";" : "");
            for (std::string p; std::getline(ps, p, ';');) {
                int c = atoi(p.c_str());
                bool other = c == 38 || c >= 90;
                fg = c == 0 || c == 39    ? '.'
                     : c >= 30 && c <= 37 ? "krgybmcw"[c - 30]
                     : other              ? '?'
                                          : fg;
                if (c == 38 || c == 48)  // an extended colour's own numbers follow
                    break;
            }
            n++;
            continue;
        }
        n = utf8_len(static_cast<unsigned char>(raw[i]));
        text += raw.substr(i, n);
        mask += fg;
    }
    size_t keep = text.find_last_not_of(' ') + 1;
    mask.resize(mask.size() - (text.size() - keep));
    text.resize(keep);
}

struct layout {
    std::vector<std::string> rows;
    int cx = -1, cy = -1;
    bool partial = false;
};

layout lay_out(const std::string &lines, const std::string &prompt, int width)
{
    layout lo;
    auto push = [&](std::string &row) {
        lo.rows.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
        row.clear();
    };
    for (std::string l : split_lines(lines)) {
        if (l == "...") {
            lo.partial = true;
            continue;
        }
        if (l.rfind("{P}", 0) == 0)
            l = prompt + l.substr(3);
        std::string row;
        int col = 0;
        for (size_t i = 0, n; i < l.size(); i += n) {
            n = utf8_len(static_cast<unsigned char>(l[i]));
            int w = l[i] == '@' ? 0 : cp_width(l, i, n);
            if (col + w > width || (l[i] == '@' && col == width)) {
                push(row);
                col = 0;
            }
            if (l[i] == '@') {
                lo.cx = col;
                lo.cy = static_cast<int>(lo.rows.size());
            } else {
                row += l.substr(i, n);
                col += w;
            }
        }
        push(row);
    }
    return lo;
}

// A row as tmux shows it against an expected one, where a tab stands for
// one or more blanks and # for a process ID.
bool row_matches(const std::string &got, const std::string &want)
{
    size_t g = 0;
    for (char c : want) {
        auto run = [c](char x) { return c == '\t' ? x == ' ' : x >= '0' && x <= '9'; };
        if (c == '\t' || c == '#') {
            if (g >= got.size() || !run(got[g]))
                return false;
            while (g < got.size() && run(got[g]))
                g++;
        } else if (g >= got.size() || got[g++] != c) {
            return false;
        }
    }
    return g == got.size();
}

// Why the window does not show what the step expects ("" when it does).
std::string mismatch(const view &v, const step &st, const std::string &prompt)
{
    if (st.how == 'e')
        return v.status.empty()      ? "qsh is still running"
               : v.status != "0\n"   ? "exit status " + v.status
               : v.after != v.before ? "terminal settings changed"
                                     : "";
    if (!v.status.empty())
        return "qsh has ended";
    if (st.how == 'c' && !v.canon)
        return "terminal not in canonical mode";
    layout lo = lay_out(st.screen, prompt, 80);
    int n = static_cast<int>(lo.rows.size()), h = static_cast<int>(v.text.size()), last = h;
    while (last > 0 && v.text[last - 1].empty())
        last--;
    int top = lo.cy >= 0 ? v.cy - lo.cy : lo.partial ? last - n : 0;
    if (top + n > h)
        return "rows below the window";
    for (int r = lo.partial ? std::max(top, 0) : 0; r < h; r++)
        if (!row_matches(v.text[r], r >= top && r < top + n ? lo.rows[r - top] : ""))
            return "row " + std::to_string(r);
    if (lo.cy >= 0 && v.cx != lo.cx)
        return "cursor column";
    if (!st.mask.empty() &&
        v.mask[v.cy].substr(std::min(prompt.size(), v.mask[v.cy].size())) != st.mask)
        return "colours " + v.mask[v.cy];
    return "";
}

// A tmux server of the test's own and the directories qsh runs with:
// work/ (its working directory, with a few files to complete), home/, and
// bin/ (first in PATH, with one program).
struct term {
    temp_dir dir;
    std::string prompt = dir / "work> ";
    bool started = false;
    std::map<std::string, std::string> ends;  // pane -> its files (see open)

    term()
    {
        for (const char *d : {"sock", "work", "home", "bin"})
            mkdir((dir / d).c_str(), 0755);
        for (const char *f : {"unique.txt", "pre_one", "pre_two", "a b.txt"})
            write_file(dir / "work/" + f, std::string(f) + " text\n");
        write_file(dir / "bin/qsh_probe_x", "#!/bin/sh\necho probe ran\n", 0755);
    }
    ~term()
    {
        if (started)
            run({"kill-server"});
    }

    std::string run(const std::vector<std::string> &args, const std::string &input = "")
    {
        qsh_run_opts o;
        o.program = "/usr/bin/env";  // tmux from PATH
        o.args = {"tmux", "-u", "-L", "qsh", "-f", "/dev/null"};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.env = {"TMUX_TMPDIR=" + dir / "sock"};
        o.cwd = dir.path;
        o.input = input;
        o.kill_leftovers = false;
        qsh_result r = run_qsh(o);
        EXPECT_TRUE(r.error.empty() && r.status == 0) << "tmux " << args[0] << ": " << r.err;
        return r.out;
    }

    // Starts qsh in a new window, with extra NAME=VALUE entries in its
    // environment, under sh, which runs `first` before, records the
    // terminal's settings before and after, and qsh's exit status, in files
    // named after the pane (the status is written when qsh ends), and stays
    // (sh survives a SIGINT sent to the process group, qsh does not inherit
    // its trap). Returns the pane once the prompt shows.
    std::string open(const std::vector<std::string> &env = {}, const std::string &first = "")
    {
        std::string end = dir / "end" + std::to_string(ends.size());
        std::vector<std::string> a = {"new-window", "-d"};
        if (!started)
            a = {"new-session", "-d", "-x", "80", "-y", "24"};
        a.insert(a.end(), {"-P", "-F", "#{pane_id}", "-c", dir / "work", "--", "env", "-i",
                           "TERM=tmux-256color", "HOME=" + dir / "home",
                           "PATH=" + dir / "bin" + ":/usr/bin:/bin"});
        a.insert(a.end(), env.begin(), env.end());
        a.insert(a.end(), {"/bin/sh", "-c",
                           "trap : INT; " + first + " stty -g > \"$1.before\"; \"$0\"; st=$?; " +
                               "stty -g > \"$1.after\"; echo $st > \"$1\"; read x",
                           qsh_bin(), end});
        started = true;
        std::string pane = run(a);
        pane.resize(pane.find('\n'));
        ends[pane] = end;
        expect(pane, {"", "{P}@"});
        return pane;
    }

    void send(const std::string &pane, const step &st)
    {
        if (st.how == 'p') {
            run({"load-buffer", "-"}, st.keys);
            run({"paste-buffer", "-t", pane});
            return;
        }
        std::vector<std::string> names = {"send-keys", "-t", pane};
        auto flush = [&] {
            if (names.size() > 3)
                run(names);
            names.resize(3);
        };
        for (size_t i = 0, j; i < st.keys.size(); i = j) {
            if (st.keys[i] == '{') {
                j = st.keys.find('}', i) + 1;
                names.push_back(st.keys.substr(i + 1, j - i - 2));
                continue;
            }
            j = std::min(st.keys.find('{', i), st.keys.size());
            flush();
            run({"send-keys", "-t", pane, "-l", st.keys.substr(i, j - i)});
        }
        flush();
    }

    view look(const std::string &pane)
    {
        std::vector<std::string> rows = split_lines(
            run({"capture-pane", "-p", "-e", "-t", pane, ";", "display", "-p", "-t", pane,
                 "#{cursor_x} #{cursor_y} #{pane_tty}"}));
        view v;
        char tty[64] = "";
        sscanf(rows.back().c_str(), "%d %d %63s", &v.cx, &v.cy, tty);
        rows.pop_back();
        v.status = try_read_file(ends[pane]).value_or("");
        v.before = try_read_file(ends[pane] + ".before").value_or("");
        v.after = try_read_file(ends[pane] + ".after").value_or("");
        for (const std::string &raw : rows) {
            v.text.emplace_back();
            v.mask.emplace_back();
            row_parse(raw, v.text.back(), v.mask.back());
        }
        int fd = ::open(tty, O_RDONLY | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        v.canon = fd >= 0 && tcgetattr(fd, &tio) == 0 && (tio.c_lflag & ICANON);
        if (fd >= 0)
            close(fd);
        return v;
    }

    // Polls until ok(view) holds; false after 20 s.
    template <class F> bool wait(const std::string &pane, F ok, view *last = nullptr)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            view v = look(pane);
            bool done = ok(v);
            if (last)
                *last = v;
            if (done || std::chrono::steady_clock::now() > end)
                return done;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    }

    // Waits until the window shows what the step expects; a failure, with
    // the screen and its colours, when it never does.
    bool expect(const std::string &pane, const step &st, view *seen = nullptr)
    {
        view v;
        bool ok = wait(
            pane, [&](const view &w) { return mismatch(w, st, prompt).empty(); }, &v);
        if (seen)
            *seen = v;
        if (ok)
            return true;
        std::string shown, want;
        for (size_t r = 0; r < v.text.size(); r++)
            if (!v.text[r].empty() || static_cast<int>(r) <= v.cy)
                shown += std::to_string(r) + "|" + v.text[r] + "|  " + v.mask[r] + "\n";
        for (const std::string &l : lay_out(st.screen, prompt, 80).rows)
            want += "|" + l + "|\n";
        ADD_FAILURE() << "after keys '" << escape_bytes(st.keys.substr(0, 80))
                      << "': " << mismatch(v, st, prompt) << "; cursor " << v.cx << "," << v.cy
                      << ", screen:\n"
                      << shown << "expected:\n"
                      << want;
        return false;
    }

    // Sends each step's keys and waits for what it expects; stops at the
    // first step that fails.
    bool play(const std::string &pane, const std::vector<step> &steps)
    {
        for (const step &st : steps) {
            send(pane, st);
            if (!expect(pane, st))
                return false;
        }
        return true;
    }
};

// A case: the keys of one qsh session at a terminal, step by step.
struct row {
    const char *name;
    std::vector<step> steps;
    std::vector<std::string> env;
    std::string first;  // run before qsh (see term::open)
    row(const char *n, std::vector<step> s, std::vector<std::string> e = {}, std::string sc = "")
        : name(n), steps(std::move(s)), env(std::move(e)), first(std::move(sc))
    {
    }
};

std::vector<row> rows()
{
    // A line of 304 characters, edited after its 31st word.
    std::string x5000(5000, 'x'), words, edited, to_middle = "{C-a}";
    for (int i = 0; i < 60; i++) {
        std::string w = " w" + std::to_string(100 + i);
        words += w;
        edited += i == 29 ? w + "X" : w;
        to_middle += i <= 30 ? "{M-f}" : "";
    }
    size_t x = edited.find('X') + 1;
    std::string mid = edited.substr(0, x) + "@" + edited.substr(x);
    return {
        {"LongLineRunsWhole",
         {{"echo " + x5000 + " | wc -c{Enter}", "{P}echo " + x5000 + " | wc -c\n#\n5001\n{P}@"}}},
        {"TypoMendedInTheMiddle",
         {{"echo wxrld{Left}{Left}{Left}{BSpace}o{Enter}", "{P}echo world\nworld\n{P}@"},
          {"{C-d}", "", "", 'e'}}},
        {"KeysOfTheTerminal",
         {{"xecho hello wrold junk{Home}{DC}{End}{C-Left}{C-Left}{Right}{Right}{C-t}{End}{M-b}{C-d}"
           "{C-k}{Enter}",
           "{P}echo hello world\nhello world\n{P}@"}}},
        {"CtrlLClearsTheScreen",
         {{"echo a{Enter}", "...\na\n{P}@"}, {"echo b{C-l}", "{P}echo b@"}}},
        {"WordCutWithCtrlWAndYanked",
         {{"echo one two{C-w}{C-a}{M-f} {C-y}{Enter}", "{P}echo two one\ntwo one\n{P}@"}}},
        {"WordCutWithAltDAndYanked",
         {{"echo two one{C-a}{M-f}{M-d}{C-e}{C-y}{Enter}", "{P}echo one two\none two\n{P}@"}}},
        {"LineRecalledWithUp",
         {{"echo first{Enter}", "...\nfirst\n{P}@"},
          {"echo second{Enter}", "...\nsecond\n{P}@"},
          {"{Up}", "...\n{P}echo second@"},
          {"{Up}", "...\n{P}echo first@"},
          {"{Down}", "...\n{P}echo second@"},
          {"{C-p}", "...\n{P}echo first@"},
          {"{Enter}", "{P}echo first\nfirst\n{P}echo second\nsecond\n{P}echo first\nfirst\n{P}@"}}},
        {"RefusedLineKeptAndBlankLineNot",
         {{"echo a ; | b{Enter}", "{P}echo a ; | b\nError: '|' is unexpected.\n{P}@"},
          {" echo hidden{Enter}", "...\nhidden\n{P}@"},
          {"{Up}", "...\n{P}echo a ; | b@"}}},
        {"CtrlRFindsAnOlderLine",
         {{"echo one{Enter}", "...\none\n{P}@"},
          {"echo two{Enter}", "...\ntwo\n{P}@"},
          {"echo three{Enter}", "...\nthree\n{P}@"},
          {"{C-r}echo t", "...\n(reverse-i-search)'echo t': echo three"},
          {"{C-r}", "...\n(reverse-i-search)'echo t': echo two"},
          {"{Enter}", "...\nthree\n{P}echo two\ntwo\n{P}@"}}},
        {"CompletesOneMatch",
         {{"cat uni{Tab}", "{P}cat unique.txt @"},
          {"{Enter}", "{P}cat unique.txt\nunique.txt text\n{P}@"}}},
        {"CompletesSeveralMatches",
         {{"cat pre{Tab}", "{P}cat pre_@"},
          {"{Tab}", "{P}cat pre_\npre_one\tpre_two\n{P}cat pre_@"},
          {"o{Tab}", "...\n{P}cat pre_one @"},
          {"{Enter}", "...\n{P}cat pre_one\npre_one text\n{P}@"}}},
        {"CompletesANameWithABlank",
         {{"cat a{Tab}", "{P}cat a\\ b.txt @"},
          {"{Enter}", "{P}cat a\\ b.txt\na b.txt text\n{P}@"}}},
        {"CompletesAProgramName",
         {{"qsh_pro{Tab}", "{P}qsh_probe_x @"}, {"{Enter}", "{P}qsh_probe_x\nprobe ran\n{P}@"}}},
        {"ColoursAMisplacedOperator", {{"echo a ; | b", "{P}echo a ; | b@", ".......c.r.."}}},
        {"ColoursAnErrorOnAContinuedLine",
         {{"echo a |{Enter}", "{P}echo a |\n{P}@"}, {"; b", "...\n{P}; b@", "r.."}}},
        {"ColoursQuotedText",
         {{"echo 'a b' \"c\" d\\e", "{P}echo 'a b' \"c\" d\\e@", ".....yyyyy.yyy..yy"}}},
        {"ColoursAnUnknownCommand",
         {{"nosuchprog_q arg", "{P}nosuchprog_q arg@", "rrrrrrrrrrrr...."}}},
        {"CommandNotRedWhileTyped",
         {{"qsh_pro", "{P}qsh_pro@", "......."}, {" x", "{P}qsh_pro x@", "rrrrrrr.."}}},
        {"NoColourWithNO_COLOR",
         {{"nosuchprog_q | x", "{P}nosuchprog_q | x@", "................"}},
         {"NO_COLOR=1"}},
        {"LongLineEditedInTheMiddle",
         {{"echo" + words + to_middle + "X", "{P}echo" + mid},
          {"{Enter}", "{P}echo" + edited + "\n" + edited.substr(1) + "\n{P}@"}}},
        {"Utf8WordEditedInTheMiddle",
         {{"echo aébc{Left}{Left}{BSpace}ü", "{P}echo aü@bc"},
          {"{Enter}", "{P}echo aübc\naübc\n{P}@"}}},
        {"WideWordEditedInTheMiddle",
         {{"echo 漢字x{Left}{Left}{BSpace}仮", "{P}echo 仮@字x"},
          {"{Enter}", "{P}echo 仮字x\n仮字x\n{P}@"}}},
        {"PasteOfThreeLinesRunsThem",
         {{"echo one\necho two\necho three\n",
           "{P}echo one\none\n{P}echo two\ntwo\n{P}echo three\nthree\n{P}@", "", 'p'}}},
        {"CommandGetsTheTextAfterItsLine",
         {{"head -n 1\nhello\n", "{P}head -n 1\nhello\n{P}@", "", 'p'}}},
        {"CommandReadsTheTerminal",
         {{"cat{Enter}", "{P}cat\n@", "", 'c'},
          {"hello{Enter}", "{P}cat\nhello\nhello\n@"},
          {"{C-d}", "{P}cat\nhello\nhello\n{P}@"}}},
        {"PromptInTheFirstColumn", {{"printf x{Enter}", "{P}printf x\nx\n{P}@"}}},
        {"EchoOffAsBefore",
         {{"echo hi{Enter}", "{P}hi\n{P}@"}, {"{C-d}", "", "", 'e'}},
         {},
         "stty -echo;"},
        {"DumbTerminalAsBefore",
         {{"echo a{C-a}x{Enter}", "{P}echo a^Ax\nax\n{P}@"}, {"{C-d}", "", "", 'e'}},
         {"TERM=dumb"}},
    };
}

void PrintTo(const row &r, std::ostream *os)
{
    *os << r.name;
}

class TerminalSession : public testing::Test {
protected:
    void SetUp() override
    {
        if (system("command -v tmux > /dev/null") != 0)
            GTEST_SKIP() << "tmux is not installed";
        const char *w = getenv("QSH_WRAPPER");
        if (w && *w)
            GTEST_SKIP() << "qsh runs under QSH_WRAPPER, too slow for a person's terminal";
    }
};
class Terminal : public TerminalSession, public testing::WithParamInterface<row> {};

TEST_P(Terminal, Keys)
{
    term t;
    t.play(t.open(GetParam().env, GetParam().first), GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Rows, Terminal, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<row> &p) { return p.param.name; });

bool process_gone(pid_t pid)
{
    std::string stat = try_read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
    return kill(pid, 0) != 0 || stat.find(") Z ") != std::string::npos;
}

TEST_F(TerminalSession, CtrlCEndsQshAndItsBackgroundCommand)
{
    term t;
    std::string pane = t.open();
    t.send(pane, {"sleep 300 &{Enter}"});
    view v;
    ASSERT_TRUE(t.expect(pane, {"", "{P}sleep 300 &\n#\n{P}@"}, &v));
    pid_t pid = std::stoi(v.text[1]);
    t.send(pane, {"{C-c}"});
    ASSERT_TRUE(t.wait(
        pane, [&](const view &w) { return !w.status.empty(); }, &v));
    EXPECT_EQ(v.status, "130\n");
    EXPECT_EQ(v.after, v.before);
    EXPECT_TRUE(t.wait(pane, [&](const view &) { return process_gone(pid); }));
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(TerminalSession, HistoryKeptAcrossSessions)
{
    term t;
    ASSERT_TRUE(
        t.play(t.open(), {{"echo one{Enter}", "{P}echo one\none\n{P}@"}, {"{C-d}", "", "", 'e'}}));
    std::string file = t.dir / "home/.local/state/qsh/history";
    EXPECT_EQ(try_read_file(file).value_or("(none)"), "echo one\n");
    EXPECT_EQ(mode_of(file), 0600u);
    for (const char *d : {"/.local", "/.local/state", "/.local/state/qsh"})
        EXPECT_EQ(mode_of(t.dir / "home" + d), 0700u) << d;
    t.play(t.open(), {{"{Up}", "{P}echo one@"}, {"{Enter}", "{P}echo one\none\n{P}@"}});
}

TEST_F(TerminalSession, TwoSessionsAtOnceKeepBothLines)
{
    term t;
    std::vector<std::string> env = {"QSH_HISTFILE=" + t.dir / "hist"};
    std::string a = t.open(env), b = t.open(env);
    ASSERT_TRUE(t.play(a, {{"echo from_a{Enter}", "...\nfrom_a\n{P}@"}}));
    ASSERT_TRUE(t.play(b, {{"echo from_b{Enter}", "...\nfrom_b\n{P}@"}}));
    ASSERT_TRUE(t.play(a, {{"echo again_a{Enter}", "...\nagain_a\n{P}@"}}));
    EXPECT_EQ(try_read_file(t.dir / "hist").value_or("(none)"),
              "echo from_a\necho from_b\necho again_a\n");
    t.play(
        t.open(env),
        {{"{Up}", "{P}echo again_a@"}, {"{Up}", "{P}echo from_b@"}, {"{Up}", "{P}echo from_a@"}});
}

}  // namespace

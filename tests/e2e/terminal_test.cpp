// SPDX-License-Identifier: BSD-2-Clause
// qsh at a real terminal: tmux runs it in a window of 80 x 24, keys are sent
// as a person types or pastes them, and the screen, the cursor, the colours
// and the files are checked. A session checks several things in turn. Every
// test has a tmux server of its own, with its socket in the test's temporary
// directory, killed at the end of the test whatever happened. Waits poll the
// screen until it shows what is expected, with a timeout meant for a loaded
// machine.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "run.h"

namespace {

size_t utf8_len(unsigned char c)
{
    return c < 0xc0 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
}

// One step of a session: keys sent, then what the window must show (which
// differs from what the step before left, so that it cannot hold before the
// keys are read).
struct step {
    std::string keys;  // text, and tmux key names in braces: {Left} {C-w} {M-f} {Enter}
    // The lines expected, one per \n: {P} is the prompt, @ the cursor; a line
    // longer than the window goes on over further rows. They start at the top
    // of the window (the rows below blank) or, with a cursor, at its row; a
    // first line "..." leaves the rows above unchecked (and without a cursor
    // ends them at the last row written).
    std::string screen = "";
    std::string mask = "";  // colours of the cursor's row after the prompt: . r y c
    bool paste = false;     // the keys are pasted as one piece
};

// The rows that lines fill in a window of 80 columns, where a CJK ideograph
// (lead byte 0xe4 to 0xe9) takes two; the cursor's place goes to *cx, *cy.
std::vector<std::string> lay_out(const std::string &lines, int *cx, int *cy)
{
    std::vector<std::string> rows;
    for (const std::string &l : split_lines(lines)) {
        std::string row;
        size_t col = 0;
        auto push = [&] {
            rows.push_back(row.erase(row.find_last_not_of(' ') + 1));
            row.clear(), col = 0;
        };
        for (size_t i = 0, n; i < l.size(); i += n) {
            auto c = static_cast<unsigned char>(l[i]);
            size_t w = c == '@' ? 0 : c >= 0xe4 && c <= 0xe9 ? 2 : 1;
            n = utf8_len(c);
            if (col + w > 80 || (c == '@' && col == 80))
                push();
            if (c == '@')
                *cx = static_cast<int>(col), *cy = static_cast<int>(rows.size());
            else
                row += l.substr(i, n), col += w;
        }
        push();
    }
    return rows;
}

// A tmux server of the test's own and the directories qsh runs with:
// work/ (its working directory, with a few files to complete), home/, and
// bin/ (first in PATH, with one program).
struct term {
    temp_dir dir;
    std::string prompt = dir / "work> ";
    bool started = false;

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
    // environment, under sh, which then says how qsh ended and whether the
    // terminal's settings are as before (sh survives a SIGINT sent to the
    // process group, qsh does not inherit its trap). Returns the pane once
    // the prompt shows.
    std::string open(const std::vector<std::string> &env = {})
    {
        std::vector<std::string> a = {"new-window", "-d"};
        if (!started)
            a = {"new-session", "-d", "-x", "80", "-y", "24"};
        a.insert(a.end(), {"-P", "-F", "#{pane_id}", "-c", dir / "work", "--", "env", "-i",
                           "TERM=tmux-256color", "HOME=" + dir / "home",
                           "PATH=" + dir / "bin" + ":/usr/bin:/bin"});
        a.insert(a.end(), env.begin(), env.end());
        a.insert(a.end(), {"/bin/sh", "-c",
                           "trap : INT; s=$(stty -g); \"$0\"; e=$?; [ \"$(stty -g)\" = \"$s\" ] "
                           "&& m=kept || m=changed; echo \"ended $e, terminal $m\"; read x",
                           qsh_bin()});
        started = true;
        std::string pane = run(a);
        pane.resize(pane.find('\n'));
        play(pane, {{"", "{P}@"}});
        return pane;
    }

    void send(const std::string &pane, const step &st)
    {
        if (st.paste) {
            run({"load-buffer", "-"}, st.keys);
            run({"paste-buffer", "-t", pane});
            return;
        }
        std::vector<std::string> names = {"send-keys", "-t", pane};
        for (size_t i = 0, j; i < st.keys.size(); i = j) {
            if (st.keys[i] == '{') {
                j = st.keys.find('}', i) + 1;
                names.push_back(st.keys.substr(i + 1, j - i - 2));
                continue;
            }
            j = std::min(st.keys.find('{', i), st.keys.size());
            if (names.size() > 3)
                run(names), names.resize(3);
            run({"send-keys", "-t", pane, "-l", st.keys.substr(i, j - i)});
        }
        if (names.size() > 3)
            run(names);
    }

    // The window's rows, as characters and as a colour letter per character
    // (from the SGR sequences of capture-pane -e), and the cursor.
    void look(const std::string &pane, std::vector<std::string> *text,
              std::vector<std::string> *mask, int *cx, int *cy)
    {
        std::vector<std::string> rows = split_lines(
            run({"capture-pane", "-p", "-e", "-t", pane, ";", "display", "-p", "-t", pane,
                 "#{cursor_x} #{cursor_y}"}));
        if (rows.empty())  // the window is gone
            return;
        sscanf(rows.back().c_str(), "%d %d", cx, cy);
        rows.pop_back();
        for (const std::string &raw : rows) {
            std::string chars, colours;
            char fg = '.';
            for (size_t i = 0, n; i < raw.size(); i += n) {
                if (raw[i] != '\033') {
                    n = utf8_len(raw[i]);
                    chars += raw.substr(i, n), colours += fg;
                    continue;
                }
                n = std::min(raw.find('m', i), raw.size() - 1) + 1 - i;  // ESC [ ... m
                std::istringstream ps(raw.substr(i + 2, n - 3) + ";");
                for (std::string p; std::getline(ps, p, ';');) {  // qsh sets no other colours
                    int c = atoi(p.c_str());
                    fg = c == 0 || c == 39 ? '.' : c >= 30 && c <= 37 ? "krgybmcw"[c - 30] : fg;
                }
            }
            size_t keep = chars.find_last_not_of(' ') + 1;
            text->push_back(chars.substr(0, keep));
            mask->push_back(colours.substr(0, colours.size() - (chars.size() - keep)));
        }
    }

    // Why the window does not show what a step expects ("" when it does).
    std::string mismatch(const std::string &pane, const step &st)
    {
        std::vector<std::string> text, mask;
        int vx = 0, vy = 0, cx = -1, cy = -1;
        look(pane, &text, &mask, &vx, &vy);
        if (text.empty() || vy < 0 || vy >= static_cast<int>(text.size()))
            return "no window";
        bool partial = st.screen.rfind("...\n", 0) == 0;
        std::string lines = st.screen.substr(partial ? 4 : 0);
        for (size_t at; (at = lines.find("{P}")) != std::string::npos;)
            lines.replace(at, 3, prompt);
        std::vector<std::string> rows = lay_out(lines, &cx, &cy);
        int n = static_cast<int>(rows.size()), h = static_cast<int>(text.size()), last = h;
        while (last > 0 && text[last - 1].empty())
            last--;
        int top = cy >= 0 ? vy - cy : partial ? last - n : 0;
        if (top + n > h)
            return "rows below the window";
        for (int r = partial ? std::max(top, 0) : 0; r < h; r++)
            if (text[r] != (r >= top && r < top + n ? rows[r - top] : ""))
                return "row " + std::to_string(r) + ": " + text[r];
        if (cy >= 0 && vx != cx)
            return "cursor column " + std::to_string(vx);
        std::string colours = mask[vy].substr(std::min(prompt.size(), mask[vy].size()));
        return st.mask.empty() || colours == st.mask ? "" : "colours " + colours;
    }

    // Polls until done() says "" (what is wrong otherwise), for at most 20 s;
    // returns its last answer.
    template <class F> std::string wait(F done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::string wrong;
        while (!(wrong = done()).empty() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return wrong;
    }

    // Sends each step's keys and waits for what it expects; stops at the
    // first step that fails.
    bool play(const std::string &pane, const std::vector<step> &steps)
    {
        for (const step &st : steps) {
            send(pane, st);
            std::string wrong = wait([&] { return mismatch(pane, st); });
            if (!wrong.empty()) {
                ADD_FAILURE() << wrong << ", after keys '" << escape_bytes(st.keys.substr(0, 80))
                              << "'; expected:\n"
                              << st.screen.substr(0, 400) << "\nscreen:\n"
                              << run({"capture-pane", "-p", "-t", pane});
                return false;
            }
        }
        return true;
    }
};

// A session: qsh started with extra environment entries, and its steps.
struct row {
    const char *name;
    std::vector<std::string> env;
    std::vector<step> steps;
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
        {"EditingKeys",
         {},
         {{"echo wxrld{Left}{Left}{Left}{BSpace}o{Enter}", "{P}echo world\nworld\n{P}@"},
          {"xecho hello wrold junk{Home}{DC}{End}{C-Left}{C-Left}{Right}{Right}{C-t}{End}{M-b}"
           "{C-d}{C-k}{Enter}",
           "...\n{P}echo hello world\nhello world\n{P}@"},
          {"echo one two{C-w}{C-a}{M-f} {C-y}{Enter}", "...\n{P}echo two one\ntwo one\n{P}@"},
          {"echo two one{C-a}{M-f}{M-d}{C-e}{C-y}{Enter}", "...\n{P}echo one two\none two\n{P}@"},
          {"echo aébc{Left}{Left}{BSpace}ü", "...\n{P}echo aü@bc"},
          {"{Enter}", "...\n{P}echo aübc\naübc\n{P}@"},
          {"echo 漢字x{Left}{Left}{BSpace}仮", "...\n{P}echo 仮@字x"},
          {"{Enter}", "...\n{P}echo 仮字x\n仮字x\n{P}@"},
          {"echo b{C-l}", "{P}echo b@"},
          {"{C-u}{C-d}", "...\n{P}\nended 0, terminal kept\n@"}}},
        {"LongLines",
         {},
         {{"echo " + x5000 + " end{Enter}", "{P}echo " + x5000 + " end\n" + x5000 + " end\n{P}@"},
          {"{C-l}echo" + words + to_middle + "X", "{P}echo" + mid},
          {"{Enter}", "{P}echo" + edited + "\n" + edited.substr(1) + "\n{P}@"}}},
        {"Completion",
         {},
         {{"cat uni{Tab}", "{P}cat unique.txt @"},
          {"{Enter}", "{P}cat unique.txt\nunique.txt text\n{P}@"},
          {"cat pre{Tab}", "...\n{P}cat pre_@"},
          {"{Tab}", "...\n{P}cat pre_\npre_one  pre_two\n{P}cat pre_@"},
          {"o{Tab}", "...\n{P}cat pre_one @"},
          {"{Enter}", "...\n{P}cat pre_one\npre_one text\n{P}@"},
          {"cat a{Tab}", "...\n{P}cat a\\ b.txt @"},
          {"{Enter}", "...\n{P}cat a\\ b.txt\na b.txt text\n{P}@"},
          {"qsh_pro{Tab}", "...\n{P}qsh_probe_x @"},
          {"{Enter}", "...\n{P}qsh_probe_x\nprobe ran\n{P}@"}}},
        {"Colours",
         {},
         {{"echo a ; | b", "{P}echo a ; | b@", ".......c.r.."},
          {"{C-u}nosuchprog_q arg", "{P}nosuchprog_q arg@", "rrrrrrrrrrrr...."},
          {"{C-u}qsh_pro", "{P}qsh_pro@", "......."},  // not red while it is typed
          {" x", "{P}qsh_pro x@", "rrrrrrr.."},
          {"{C-u}echo 'a b' \"c\" d\\e", "{P}echo 'a b' \"c\" d\\e@", ".....yyyyy.yyy..yy"},
          {"{C-u}echo a |{Enter}", "{P}echo a |\n{P}@"},
          {"; b", "{P}echo a |\n{P}; b@", "r.."}}},
        {"PasteAndCommandsReadingTheTerminal",
         {"NO_COLOR=1"},
         {{"nosuchprog_q | x", "{P}nosuchprog_q | x@", "................"},
          {"{C-u}", "{P}@"},
          // A Tab in a paste is inserted, not completed.
          {"echo\tone\necho two\necho three\n",
           "{P}echo^Ione\none\n{P}echo two\ntwo\n{P}echo three\nthree\n{P}@", "", true},
          {"head -n 1\nhello\n", "...\n{P}head -n 1\nhello\n{P}@", "", true},
          // Once the command runs, the terminal is in its usual mode again.
          {"sh -c 'echo ready; exec cat'{Enter}", "...\nready\n@"},
          {"hello{Enter}", "...\nready\nhello\nhello\n@"},
          {"{C-d}", "...\nhello\nhello\n{P}@"},
          {"printf x{Enter}", "...\n{P}printf x\nx\n{P}@"},
          // A program that leaves the terminal non-blocking does not end qsh.
          {"python3 -c 'import os; os.set_blocking(0, False)'{Enter}",
           "...\n{P}python3 -c 'import os; os.set_blocking(0, False)'\n{P}@"},
          {"echo still{Enter}", "...\n{P}echo still\nstill\n{P}@"}}},
        // The terminal's mode is looked at before each line: with echo off,
        // qsh reads as it does without the editor.
        {"EchoOffAsBefore",
         {},
         {{"stty -echo{Enter}", "{P}stty -echo\n{P}@"},
          {"echo hi{Enter}", "{P}stty -echo\n{P}hi\n{P}@"},
          {"stty echo{Enter}", "{P}stty -echo\n{P}hi\n{P}\n{P}@"},
          {"echo b{Left}a{Enter}", "...\n{P}echo ab\nab\n{P}@"},
          {"{C-d}", "...\n{P}\nended 0, terminal kept\n@"}}},
        {"DumbTerminalAsBefore",
         {"TERM=dumb"},
         {{"echo a{C-a}x{Enter}", "{P}echo a^Ax\nax\n{P}@"},
          {"{C-d}", "...\n{P}\nended 0, terminal kept\n@"}}},
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
    t.play(t.open(GetParam().env), GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Rows, Terminal, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<row> &p) { return p.param.name; });

// Ctrl-C at the prompt ends qsh (status 130) and the command it left in the
// background, and the terminal has the settings it had before.
TEST_F(TerminalSession, CtrlCEndsQshAndItsBackgroundCommand)
{
    term t;
    std::string pane = t.open(), pid_file = t.dir / "work/pid";
    t.send(pane, {"sh -c 'echo $$ > pid; exec sleep 300' &{Enter}"});
    ASSERT_EQ(t.wait([&] {
        return try_read_file(pid_file).value_or("").find('\n') != std::string::npos ? "" : "no pid";
    }),
              "");
    pid_t pid = std::stoi(read_file(pid_file));
    t.play(pane, {{"{C-c}", "...\n{P}ended 130, terminal kept\n@"}});
    EXPECT_EQ(t.wait([&] {
        std::string stat = try_read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
        return kill(pid, 0) != 0 || stat.find(") Z ") != std::string::npos ? "" : "still running";
    }),
              "");
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Two sessions at once, the first ended, then a third: every line kept but
// the one starting with a blank, a refused one included, and recalled.
TEST_F(TerminalSession, HistoryKeptAcrossAndBetweenSessions)
{
    term t;
    std::string a = t.open(), b = t.open();
    ASSERT_TRUE(t.play(a, {{"echo from_a{Enter}", "...\nfrom_a\n{P}@"}}));
    ASSERT_TRUE(t.play(b, {{"echo from_b{Enter}", "...\nfrom_b\n{P}@"}}));
    ASSERT_TRUE(t.play(a, {{"echo a ; | b{Enter}", "...\nError: '|' is unexpected.\n{P}@"},
                           {" echo hidden{Enter}", "...\nhidden\n{P}@"},
                           {"{C-d}", "...\n{P}\nended 0, terminal kept\n@"}}));
    std::string file = t.dir / "home/.local/state/qsh/history";
    EXPECT_EQ(try_read_file(file).value_or("(none)"), "echo from_a\necho from_b\necho a ; | b\n");
    EXPECT_EQ(mode_of(file), 0600u);
    for (const char *d : {"/.local", "/.local/state", "/.local/state/qsh"})
        EXPECT_EQ(mode_of(t.dir / "home" + d), 0700u) << d;
    // Up, Down and Ctrl-P each checked on a screen that the key before did
    // not leave.
    t.play(t.open(), {{"{Up}", "{P}echo a ; | b@"},
                      {"{Up}", "{P}echo from_b@"},
                      {"{Up}", "{P}echo from_a@"},
                      {"{Down}", "{P}echo from_b@"},
                      {"{C-p}", "{P}echo from_a@"},
                      {"{Enter}", "{P}echo from_a\nfrom_a\n{P}@"},
                      {"{C-r}echo f", "...\n(reverse-i-search)'echo f': echo from_a"},
                      {"{C-r}", "...\n(reverse-i-search)'echo f': echo from_b"},
                      {"{Enter}", "...\n{P}echo from_b\nfrom_b\n{P}@"}});
}

}  // namespace

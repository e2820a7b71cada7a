// SPDX-License-Identifier: BSD-2-Clause
// What the line editor knows of qsh's language: colours, the word before the
// cursor and its completion, and the history with its file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "edit.h"
#include "support.h"

namespace {

// A directory with programs on PATH (prog, progx, .hidden; noexec cannot
// run; sub is a directory) and, as the current directory, files to complete.
struct lang_dirs {
    temp_dir bin, cwd;
    std::string old_path = getenv("PATH") ? getenv("PATH") : "";
    char old_cwd[4096];
    lang_dirs()
    {
        write_file(bin / "prog", "", 0755);
        write_file(bin / "progx", "", 0755);
        write_file(bin / ".hidden", "", 0755);
        write_file(bin / "noexec", "", 0644);
        mkdir((bin / "sub").c_str(), 0755);
        for (const char *f :
             {"a b.txt", "it's", ".hidden", "data1", "data10", "data2", "bad\nname",
              "q;b|c&d<e>f\\g\th\" x", "say \"hi\"", "w\"b c;\\", "u\xc3\xa9", "u\xc3\xa8"})
            write_file(cwd / f, "");
        write_file(cwd / "run.sh", "", 0755);
        mkdir((cwd / "dir").c_str(), 0755);
        write_file(cwd / "dir/inner", "");
        setenv("PATH", (bin.path + ":/nonexistent").c_str(), 1);
        EXPECT_TRUE(getcwd(old_cwd, sizeof old_cwd) && chdir(cwd.path.c_str()) == 0);
    }
    ~lang_dirs()
    {
        setenv("PATH", old_path.c_str(), 1);
        EXPECT_EQ(chdir(old_cwd), 0);
    }
};

TEST(EditColour, Table)
{
    lang_dirs dirs;
    // . plain, o operator, q quoted, e misplaced operator, u unknown command.
    const struct {
        const char *before, *line;
        int cursor;  // in the line; -1: at its end
        const char *colour;
    } rows[] = {
        {"", "prog a|progx b", -1, "......o......."},
        {"", "prog 'a b' \"c\"", -1, ".....qqqqq.qqq"},
        {"", "prog a\\ b\\;", -1, "......qq.qq"},
        {"", "prog >>f <g 2>x", -1, ".....oo..o...o."},
        {"", "prog > nope", -1, ".....o....."},
        {"", "nope x;noexec", 0, "uuuu..ouuuuuu"},
        {"", "sub", 0, "uuu"},
        {"", "pro", -1, "..."},
        {"", "pro x", 3, "....."},
        {"", "pro x", -1, "uuu.."},
        {"", "progx", -1, "....."},
        {"", "prog && nope", -1, ".....oo.uuuu"},
        {"", "'prog' \"pr\"og", -1, "qqqqqq.qqqq.."},
        {"", "'nope'", 0, "uuuuuu"},
        {"", "prog | | prog", -1, ".....o.e....."},
        {"", "; prog 'a;b' ; x", 0, "e......qqqqq.o.u"},
        {"", "prog 'abc", -1, ".....qqqq"},
        {"", "prog a\\", -1, "......q"},
        {"prog |", " ; x", -1, ".e.u"},
        {"prog &&", "&& x", -1, "ee.u"},
        {"prog 'a", "b' | x", 0, "qq.o.u"},
        {"", "./run.sh x | ./data | ./ru", -1, "...........o.uuuuuu.o....."},
        {"", "./zz", -1, "uuuu"},
        {"", "dir/", -1, "...."},
    };
    const char letter[] = {'.', 'o', 'q', 'e', 'u'};
    for (const auto &r : rows) {
        std::string text = std::string(r.before) + r.line;
        size_t from = strlen(r.before);
        size_t cursor = r.cursor < 0 ? text.size() : from + static_cast<size_t>(r.cursor);
        std::vector<unsigned char> colour(text.size() - from, 99);
        edit_cmds cmds = {};
        edit_colour_line(text.data(), text.size(), from, cursor, &cmds, colour.data());
        std::string got;
        for (unsigned char c : colour)
            got += c < sizeof letter ? letter[c] : '?';
        EXPECT_EQ(got, r.colour) << "[" << r.before << "][" << r.line << "]";
        edit_cmds_free(&cmds);
    }
}

TEST(EditComplete, Table)
{
    lang_dirs dirs;
    const struct {
        const char *text, *insert, *matches;  // matches joined by |
    } rows[] = {
        {"cat a", "\\ b.txt ", "a b.txt"},
        {"cat 'a", " b.txt' ", "a b.txt"},
        {"cat i", "t\\'s ", "it's"},
        {"cat 'i", "t'\\''s' ", "it's"},
        {"cat d", "", "data1|data10|data2|dir/"},
        {"cat da", "ta", "data1|data10|data2"},
        {"cat di", "r/", "dir/"},
        {"cat \"di", "r/", "dir/"},
        {"cat .", "hidden ", ".hidden"},
        {"cat ", "",
         "a b.txt|data1|data10|data2|dir/|it's|q;b|c&d<e>f\\g\th\" x|run.sh|say \"hi\"|"
         "u\xc3\xa8|u\xc3\xa9|w\"b c;\\"},
        {"cat q\\;", "b\\|c\\&d\\<e\\>f\\\\g\\\th\\\"\\ x ", "q;b|c&d<e>f\\g\th\" x"},
        {"cat \"s", "ay \"\\\"\"hi\"\\\"\"\" ", "say \"hi\""},
        {"cat 'w", "\"b c;\\' ", "w\"b c;\\"},
        {"cat u", "", "u\xc3\xa8|u\xc3\xa9"},  // not half of a character
        {"cat dir/", "inner ", "inner"},
        {"cat > da", "ta", "data1|data10|data2"},
        {"./", "", "dir/|run.sh"},
        {"pro", "g", "prog|progx"},
        {"", "prog", "prog|progx"},
        {"x | .h", "idden ", ".hidden"},
        {"x | progx", " ", "progx"},
        {"nope", "", ""},
        {"noex", "", ""},
        {"cat zz", "", ""},
        {"cat a\\", "", ""},  // the backslash escapes what comes next
        {"cat a\\ ", "b.txt ", "a b.txt"},
        {"cat \"it", "'s\" ", "it's"},
        {"cat 'a'\" b", ".txt\" ", "a b.txt"},
        {"x >f da", "ta", "data1|data10|data2"},
        {"x|pro", "g", "prog|progx"},
        {"x | | pro", "g", "prog|progx"},
        {"x; 'p'ro", "g", "prog|progx"},
    };
    for (const auto &r : rows) {
        edit_cmds cmds = {};
        edit_completion c;
        edit_complete(r.text, strlen(r.text), strlen(r.text), &cmds, &c);
        std::string matches;
        for (size_t i = 0; i < c.count; i++)
            matches += std::string(i ? "|" : "") + c.match[i];
        EXPECT_STREQ(c.insert, r.insert) << r.text;
        EXPECT_EQ(matches, r.matches) << r.text;
        edit_completion_free(&c);
        edit_cmds_free(&cmds);
    }
}

TEST(EditHistory, PathAndAddRules)
{
    const struct {
        const char *histfile, *xdg, *home, *path;
    } rows[] = {
        {"/h/f", "/x", "/home", "/h/f"},
        {"", "/x", "/home", nullptr},
        {nullptr, "/x", "/home", "/x/qsh/history"},
        {nullptr, "rel", "/home", "/home/.local/state/qsh/history"},
        {nullptr, "", "/home", "/home/.local/state/qsh/history"},
        {nullptr, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, nullptr},
    };
    for (const auto &r : rows) {
        char *p = edit_history_path(r.histfile, r.xdg, r.home);
        EXPECT_STREQ(p, r.path);
        free(p);
    }
    edit_history h = {};
    std::string added;
    for (const char *text : {"ls", "ls", "", " ls", "\tls", "pwd", "ls"})
        added += edit_history_add(&h, text) ? "+" : "-";
    EXPECT_EQ(added, "+----++");
    for (int i = 0; i < 1000; i++)
        edit_history_add(&h, ("e" + std::to_string(i)).c_str());
    ASSERT_EQ(h.count, edit_history_keep);
    EXPECT_STREQ(h.entry[0], "e0");
    edit_history_free(&h);
    // The file holds one entry per line: a continued line is not appended.
    temp_dir dir;
    std::string f = dir / "h";
    EXPECT_EQ(edit_history_append(f.c_str(), "echo a |\nwc") + edit_history_append(f.c_str(), "ls"),
              0);
    EXPECT_EQ(read_file(f), "ls\n");
}

std::string numbered(const char *prefix, int from, int to)
{
    std::string s;
    for (int i = from; i < to; i++)
        s += prefix + std::to_string(i) + "\n";
    return s;
}

// The entries loaded from a file (their count, the first and the last, all
// of them when there are few), and the file afterwards, which keeps its mode.
TEST(EditHistory, LoadAndTrim)
{
    temp_dir dir;
    std::string f = dir / "h", bin = random_bytes(3000, 7, std::string("\n\0 \t", 4));
    std::string odd = "ok1\n" + std::string(100000, 'x') + "\na" + std::string(1, '\0') + "b\n";
    const struct {
        std::string text, entries, after;  // after: "" when the file is left alone
    } rows[] = {
        // More than twice 1,000 lines: the last 1,000 stay.
        {numbered("c", 0, 2500), "1000 c1500 c2499", numbered("c", 1500, 2500)},
        {numbered("c", 0, 1500), "1000 c500 c1499", ""},
        // A line of 100 KB and one with a NUL skipped, binary bytes kept.
        {odd + bin + "\nok2", "3 ok1 " + bin + " ok2", ""},
        // Only the last MiB is read, and the file trimmed to it.
        {std::string(3 << 20, 'y') + "\nlast\n", "1 last", "last\n"},
    };
    for (const auto &r : rows) {
        write_file(f, r.text, 0644);
        edit_history h = {};
        EXPECT_EQ(edit_history_load(&h, f.c_str()), 0);
        std::string got = std::to_string(h.count);
        for (size_t i = 0; i < h.count; i++)
            got += i == 0 || i + 1 == h.count || h.count <= 3 ? " " + std::string(h.entry[i]) : "";
        EXPECT_TRUE(got == r.entries) << escape_bytes(got.substr(0, 200));
        edit_history_free(&h);
        EXPECT_EQ(read_file(f), r.after.empty() ? r.text : r.after);
        struct stat st;
        EXPECT_TRUE(stat(f.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644);
    }
}

// A file that cannot be made or read is reported once per run: in a child,
// whose standard error goes to a file.
TEST(EditHistory, UnusableFileReportedOnce)
{
    temp_dir dir;
    write_file(dir / "file", "");
    std::string bad = dir / "file/history", err = dir / "err";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        edit_history h = {};
        int r = dup2(fd, 2) < 0
                    ? 0
                    : edit_history_append(bad.c_str(), "ls") + edit_history_load(&h, bad.c_str()) +
                          edit_history_append(bad.c_str(), "pwd");
        _exit(r == -3 ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(err), "qsh: history: " + bad + ": Not a directory\n");
}

// Two sessions append while a third trims the file: every line is kept,
// whole and once.
TEST(EditHistory, AppendsDuringATrimAreKept)
{
    temp_dir dir;
    std::string f = dir / "h";
    write_file(f, numbered("old", 0, 2500), 0600);
    std::vector<pid_t> kids;
    for (const char *who : {"A", "B"}) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 300; i++)
                if (edit_history_append(f.c_str(), (who + std::to_string(i)).c_str()) != 0)
                    _exit(1);
            _exit(0);
        }
        kids.push_back(pid);
    }
    edit_history h = {};
    EXPECT_EQ(edit_history_load(&h, f.c_str()), 0);
    edit_history_free(&h);
    for (pid_t pid : kids) {
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    std::multiset<std::string> got;
    std::vector<std::string> lines = split_lines(read_file(f));
    for (const std::string &line : lines)
        if (line.rfind("old", 0) != 0)
            got.insert(line);
    std::vector<std::string> want = split_lines(numbered("A", 0, 300) + numbered("B", 0, 300));
    EXPECT_EQ(got, std::multiset<std::string>(want.begin(), want.end()));
    EXPECT_LE(lines.size(), 1600u);  // trimmed
}

}  // namespace

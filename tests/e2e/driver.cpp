// SPDX-License-Identifier: BSD-2-Clause
// Runs the end-to-end cases in tests/e2e/cases/*.cases: one gtest test per
// case and mode, named <file stem>.<case name>/<mode>, with the case name
// reduced to letters, digits and underscores. The case-file format is
// described in tests/e2e/cases/README.md; the parser below follows it and
// rejects anything else with the file and line of the mistake.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

namespace {

struct case_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct expected_text {
    std::string text;
    bool re = false;
};

struct e2e_case {
    std::string file;  // path of the .cases file
    int line = 0;      // line of the "===" header
    std::string name;
    std::vector<std::string> args;
    std::vector<qsh_mode> modes{qsh_mode::pipe, qsh_mode::file};
    std::vector<std::string> env;
    mode_t umask = 022;
    int timeout = 20;
    std::vector<std::pair<std::string, std::string>> given;
    std::vector<std::string> executable;  // given files to be made executable
    std::string input;
    expected_text out, err;
    int status = 0;
    int signal = 0;  // expected terminating signal, 0 for a normal exit
    std::vector<std::pair<std::string, expected_text>> expect;
    std::vector<std::string> absent;
};

const char *mode_name(qsh_mode m)
{
    switch (m) {
    case qsh_mode::pipe:
        return "pipe";
    case qsh_mode::file:
        return "file";
    case qsh_mode::tty:
        return "tty";
    }
    return "?";
}

std::vector<std::string> split_blanks(const std::string &s)
{
    std::vector<std::string> r;
    std::istringstream in(s);
    std::string w;
    while (in >> w)
        r.push_back(w);
    return r;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string decode_escapes(const std::string &s, const std::string &where)
{
    std::string r;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') {
            r += s[i];
            continue;
        }
        char c = i + 1 < s.size() ? s[i + 1] : '\0';
        i++;
        switch (c) {
        case 'n':
            r += '\n';
            break;
        case 't':
            r += '\t';
            break;
        case 'r':
            r += '\r';
            break;
        case '\\':
            r += '\\';
            break;
        case '0':
            r += '\0';
            break;
        case 'x': {
            int h = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
            int l = i + 2 < s.size() ? hex_digit(s[i + 2]) : -1;
            if (h < 0 || l < 0)
                throw case_error(where + ": \\x needs two hex digits");
            r += static_cast<char>(h * 16 + l);
            i += 2;
            break;
        }
        default:
            throw case_error(where + ": unknown escape \\" + std::string(1, c));
        }
    }
    return r;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

std::string regex_escape(const std::string &s)
{
    std::string r;
    for (char c : s) {
        if (std::string("\\^$.|?*+()[]{}/").find(c) != std::string::npos)
            r += '\\';
        r += c;
    }
    return r;
}

// Splits text into lines, each keeping its newline.
std::vector<std::string> lines_of(const std::string &s)
{
    std::vector<std::string> r;
    size_t b = 0;
    while (b < s.size()) {
        size_t e = s.find('\n', b);
        e = e == std::string::npos ? s.size() : e + 1;
        r.push_back(s.substr(b, e - b));
        b = e;
    }
    return r;
}

// One "--- kind [NAME] [flags]" section while it is being read.
struct section {
    std::string kind, name;
    bool noeol = false, esc = false, re = false, exec = false, blank = false;
    std::string body;
    int line = 0;
};

bool is_blank_line(const std::string &line)
{
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// A "--- rows" body: lines "in TEXT", "out TEXT" and "err TEXT", in any
// order, each adding TEXT and a newline to standard input, the expected
// standard output or the expected standard error. TEXT starts after the
// blanks that follow the keyword.
void parse_rows(e2e_case &c, const section &s)
{
    int lineno = s.line;
    for (std::string line : lines_of(s.body)) {
        std::string where = c.file + ":" + std::to_string(++lineno);
        if (line.back() == '\n')
            line.pop_back();
        size_t end = std::min(line.find_first_of(" \t"), line.size());
        std::string keyword = line.substr(0, end);
        size_t text_at = std::min(line.find_first_not_of(" \t", end), line.size());
        std::string text = line.substr(text_at);
        if (s.esc)
            text = decode_escapes(text, where);
        if (keyword == "in")
            c.input += text + "\n";
        else if (keyword == "out")
            c.out.text += text + "\n";
        else if (keyword == "err")
            c.err.text += text + "\n";
        else
            throw case_error(where + ": a row line starts with in, out or err");
    }
}

void finish_section(e2e_case &c, section &s, std::map<std::string, int> &seen)
{
    std::string where = c.file + ":" + std::to_string(s.line);
    auto lines = lines_of(s.body);
    if (!s.blank && !lines.empty() && is_blank_line(lines.back()))
        throw case_error(c.file + ":" + std::to_string(s.line + static_cast<int>(lines.size())) +
                         ": the section ends with a blank line (remove it, write it with esc, "
                         "or give the flag blank)");
    std::string body = s.body;
    if (s.noeol && !body.empty() && body.back() == '\n')
        body.pop_back();
    if (s.kind == "args") {
        if (!c.args.empty())
            throw case_error(where + ": arguments given twice");
        for (std::string arg : lines_of(body)) {
            if (arg.back() == '\n')
                arg.pop_back();
            c.args.push_back(s.esc ? decode_escapes(arg, where) : arg);
        }
        return;
    }
    if (s.noeol && s.kind == "rows")
        throw case_error(where + ": flag noeol is not for rows");
    if (s.esc && s.kind != "rows")
        body = decode_escapes(body, where);
    if (s.re && s.kind != "stdout" && s.kind != "stderr")
        throw case_error(where + ": flag re is for stdout and stderr only");
    std::string key = s.name.empty() ? s.kind : s.kind + " " + s.name;
    if (seen[key]++)
        throw case_error(where + ": section " + key + " given twice");
    // Rows give all three streams.
    for (const char *stream : {"stdin", "stdout", "stderr"})
        if ((s.kind == "rows" && seen.count(stream)) || (s.kind == stream && seen.count("rows")))
            throw case_error(where + ": rows and a " + stream + " section exclude each other");
    if (s.kind == "rows") {
        parse_rows(c, s);
    } else if (s.kind == "given") {
        c.given.emplace_back(s.name, body);
        if (s.exec)
            c.executable.push_back(s.name);
    } else if (s.kind == "stdin") {
        c.input = body;
    } else if (s.kind == "stdout") {
        c.out = {body, s.re};
    } else if (s.kind == "stderr") {
        c.err = {body, s.re};
    } else if (s.kind == "expect") {
        c.expect.emplace_back(s.name, expected_text{body, false});
    } else if (s.kind == "absent") {
        if (!trim(replace_all(body, "\n", "")).empty())
            throw case_error(where + ": absent takes no body");
        c.absent.push_back(s.name);
    } else if (s.kind == "status") {
        auto w = split_blanks(body);
        try {
            size_t used = 0;
            if (w.size() == 2 && w[0] == "signal") {
                c.signal = std::stoi(w[1], &used);
                c.status = -1;
                if (used != w[1].size() || c.signal <= 0)
                    throw case_error("");
            } else if (w.size() == 1) {
                c.status = std::stoi(w[0], &used);
                if (used != w[0].size())
                    throw case_error("");
            } else {
                throw case_error("");
            }
        } catch (const std::exception &) {
            throw case_error(where + ": status must be a number or \"signal N\"");
        }
    }
}

void parse_header(e2e_case &c, const std::string &line, const std::string &where)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        throw case_error(where +
                         ": expected a header line (args:, modes:, env:, umask:, timeout:)");
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    if (key == "args") {
        if (!c.args.empty())
            throw case_error(where + ": arguments given twice");
        c.args = split_blanks(value);
    } else if (key == "modes") {
        c.modes.clear();
        for (const auto &m : split_blanks(value)) {
            if (m == "pipe")
                c.modes.push_back(qsh_mode::pipe);
            else if (m == "file")
                c.modes.push_back(qsh_mode::file);
            else if (m == "tty")
                c.modes.push_back(qsh_mode::tty);
            else
                throw case_error(where + ": unknown mode " + m);
        }
        if (c.modes.empty())
            throw case_error(where + ": no mode given");
    } else if (key == "env") {
        for (const auto &e : split_blanks(value)) {
            if (e.find('=') == std::string::npos || e[0] == '=')
                throw case_error(where + ": env entries are NAME=VALUE");
            c.env.push_back(e);
        }
    } else if (key == "umask" || key == "timeout") {
        std::string v = trim(value);
        size_t used = 0;
        long n = -1;
        try {
            n = std::stol(v, &used, key == "umask" ? 8 : 10);
        } catch (const std::exception &) {
        }
        if (v.empty() || used != v.size() || n < 0 || (key == "umask" && n > 0777) ||
            (key == "timeout" && (n < 1 || n > 3600)))
            throw case_error(where + ": bad " + key + " value");
        if (key == "umask")
            c.umask = static_cast<mode_t>(n);
        else
            c.timeout = static_cast<int>(n);
    } else {
        throw case_error(where + ": unknown header " + key);
    }
}

section parse_section_header(const std::string &line, int lineno, const std::string &file)
{
    std::string where = file + ":" + std::to_string(lineno);
    section s;
    s.line = lineno;
    auto w = split_blanks(line.substr(3));
    if (w.empty())
        throw case_error(where + ": section without a kind");
    s.kind = w[0];
    static const std::vector<std::string> kinds = {"args",   "given",  "stdin",  "stdout", "stderr",
                                                   "status", "expect", "absent", "rows"};
    if (std::find(kinds.begin(), kinds.end(), s.kind) == kinds.end())
        throw case_error(where + ": unknown section " + s.kind);
    size_t i = 1;
    if (s.kind == "given" || s.kind == "expect" || s.kind == "absent") {
        if (w.size() < 2)
            throw case_error(where + ": section " + s.kind + " needs a file name");
        s.name = w[1];
        if (s.name.find("..") != std::string::npos || s.name[0] == '/')
            throw case_error(where + ": file names stay inside the working directory");
        i = 2;
    }
    for (; i < w.size(); i++) {
        if (w[i] == "noeol")
            s.noeol = true;
        else if (w[i] == "esc")
            s.esc = true;
        else if (w[i] == "re")
            s.re = true;
        else if (w[i] == "blank")
            s.blank = true;
        else if (w[i] == "exec" && s.kind == "given")
            s.exec = true;
        else
            throw case_error(where + ": unknown flag " + w[i]);
    }
    return s;
}

std::vector<e2e_case> parse_cases(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw case_error(path + ": cannot be read");
    std::vector<e2e_case> cases;
    std::optional<section> sec;
    std::map<std::string, int> seen;
    std::string line;
    int lineno = 0;
    auto close_section = [&] {
        if (sec)
            finish_section(cases.back(), *sec, seen);
        sec.reset();
    };
    while (std::getline(in, line)) {
        lineno++;
        bool had_newline = !in.eof();
        std::string where = path + ":" + std::to_string(lineno);
        if (line.rfind("===", 0) == 0) {
            close_section();
            e2e_case c;
            c.file = path;
            c.line = lineno;
            c.name = trim(line.substr(3));
            if (c.name.empty())
                throw case_error(where + ": case without a name");
            cases.push_back(std::move(c));
            seen.clear();
        } else if (line.rfind("---", 0) == 0) {
            if (cases.empty())
                throw case_error(where + ": section before the first case");
            close_section();
            sec = parse_section_header(line, lineno, path);
        } else if (sec) {
            sec->body += line;
            if (had_newline)
                sec->body += '\n';
        } else if (trim(line).empty() || line[0] == '#') {
            continue;
        } else if (cases.empty()) {
            throw case_error(where + ": text before the first case");
        } else {
            parse_header(cases.back(), line, where);
        }
    }
    close_section();
    return cases;
}

// A test name from a case name: letters and digits are kept, operator
// characters become words (so "a | b" and "a & b" stay apart), anything else
// separates words.
std::string sanitize(const std::string &s)
{
    static const std::map<char, const char *> words = {{'|', "pipe"}, {'&', "amp"}, {';', "semi"},
                                                       {'<', "lt"},   {'>', "gt"},  {'\\', "bs"}};
    std::string r;
    auto separate = [&r] {
        if (!r.empty() && r.back() != '_')
            r += '_';
    };
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        auto w = words.find(c);
        if (ok) {
            r += c;
        } else if (w != words.end()) {
            separate();
            r += w->second;
            r += '_';
        } else {
            separate();
        }
    }
    while (!r.empty() && r.back() == '_')
        r.pop_back();
    return r.empty() ? "unnamed" : r;
}

// A line diff of expected against actual, every line escaped so that
// control characters and the presence of the final newline are visible.
std::string render_diff(const std::string &want, const std::string &got)
{
    const size_t max_lines = 400;
    auto a = lines_of(want), b = lines_of(got);
    std::ostringstream o;
    if (a.size() > max_lines || b.size() > max_lines) {
        size_t i = 0;
        while (i < a.size() && i < b.size() && a[i] == b[i])
            i++;
        o << "  (" << a.size() << " expected lines, " << b.size() << " actual lines, "
          << want.size() << " and " << got.size() << " bytes; first difference at line " << i + 1
          << ")\n";
        if (i < a.size())
            o << "  - " << escape_bytes(a[i].substr(0, 200)) << "\n";
        if (i < b.size())
            o << "  + " << escape_bytes(b[i].substr(0, 200)) << "\n";
        return o.str();
    }
    // Longest common subsequence of lines.
    std::vector<std::vector<int>> l(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            l[i][j] = a[i] == b[j] ? l[i + 1][j + 1] + 1 : std::max(l[i + 1][j], l[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            o << "    " << escape_bytes(a[i++]) << "\n";
            j++;
        } else if (i < a.size() && (j == b.size() || l[i + 1][j] >= l[i][j + 1])) {
            o << "  - " << escape_bytes(a[i++]) << "\n";
        } else {
            o << "  + " << escape_bytes(b[j++]) << "\n";
        }
    }
    return o.str();
}

std::string show_text(const std::string &s)
{
    if (s.size() > 2000)
        return escape_bytes(s.substr(0, 2000)) + "... (" + std::to_string(s.size()) + " bytes)";
    return escape_bytes(s);
}

// Compares one output stream; an empty string means it matches.
std::string compare_text(const char *what, const expected_text &want, const std::string &got,
                         const std::string &cwd)
{
    if (want.re) {
        std::string pattern = replace_all(want.text, "{CWD}", regex_escape(cwd));
        bool ok = false;
        try {
            ok = std::regex_match(got, std::regex(pattern, std::regex::ECMAScript));
        } catch (const std::regex_error &e) {
            return std::string(what) + ": bad regular expression: " + e.what() + "\n";
        }
        if (ok)
            return "";
        return std::string(what) +
               " does not match the pattern\n  pattern: " + escape_bytes(pattern) +
               "\n  actual:  " + show_text(got) + "\n";
    }
    std::string text = replace_all(want.text, "{CWD}", cwd);
    if (text == got)
        return "";
    return std::string(what) + " differs (- expected, + actual):\n" + render_diff(text, got) +
           "  expected: \"" + show_text(text) + "\"\n  actual:   \"" + show_text(got) + "\"\n";
}

class e2e_case_test : public testing::Test {
public:
    e2e_case_test(std::shared_ptr<const e2e_case> c, qsh_mode m) : c_(std::move(c)), mode_(m) {}

    void TestBody() override
    {
        const e2e_case &c = *c_;
        std::string label = c.file + ":" + std::to_string(c.line) + ": case \"" + c.name +
                            "\", mode " + mode_name(mode_);
        temp_dir work;
        const std::string &dir = work.path;
        auto with_qsh = [](const std::string &text) {
            return replace_all(text, "{QSH}", qsh_exec_path());
        };
        for (const auto &[name, body] : c.given) {
            std::filesystem::path p = std::filesystem::path(dir) / name;
            std::filesystem::create_directories(p.parent_path());
            bool exec = std::find(c.executable.begin(), c.executable.end(), name) !=
                        c.executable.end();
            write_file(p.string(), with_qsh(body), exec ? 0755 : 0644);
        }
        qsh_run_opts o;
        for (const auto &arg : c.args)
            o.args.push_back(with_qsh(arg));
        o.input = with_qsh(c.input);
        o.mode = mode_;
        o.cwd = dir;
        o.env = c.env;
        o.umask = c.umask;
        o.timeout_sec = c.timeout;
        qsh_result r = run_qsh(o);
        ASSERT_EQ(r.error, "") << label << ": the runner failed";
        ASSERT_FALSE(r.timed_out) << label << ": qsh hung and was killed after " << c.timeout
                                  << " s\n  stdout so far: \"" << show_text(r.out)
                                  << "\"\n  stderr so far: \"" << show_text(r.err) << "\"";
        std::string fails;
        fails += compare_text("stdout", c.out, r.out, dir);
        fails += compare_text("stderr", c.err, r.err, dir);
        if (c.signal) {
            if (r.signal != c.signal)
                fails += "expected death by signal " + std::to_string(c.signal) + ", got " +
                         (r.signal ? "signal " + std::to_string(r.signal)
                                   : "exit status " + std::to_string(r.status)) +
                         "\n";
        } else if (r.signal || r.status != c.status) {
            fails += "exit status: expected " + std::to_string(c.status) + ", got " +
                     (r.signal ? "death by signal " + std::to_string(r.signal)
                               : std::to_string(r.status)) +
                     "\n";
        }
        for (const auto &[name, want] : c.expect) {
            std::optional<std::string> got = try_read_file(dir + "/" + name);
            if (!got)
                fails += "file " + name + " does not exist or cannot be read\n";
            else
                fails += compare_text(("file " + name).c_str(), want, *got, dir);
        }
        for (const auto &name : c.absent) {
            struct stat st;
            if (lstat((dir + "/" + name).c_str(), &st) == 0)
                fails += "file " + name + " exists but must not\n";
        }
        if (!fails.empty())
            ADD_FAILURE_AT(c.file.c_str(), c.line) << label << "\n" << fails;
    }

private:
    std::shared_ptr<const e2e_case> c_;
    qsh_mode mode_;
};

class e2e_parse_failure : public testing::Test {
public:
    explicit e2e_parse_failure(std::string msg) : msg_(std::move(msg)) {}
    void TestBody() override { FAIL() << msg_; }

private:
    std::string msg_;
};

// Registers the tests while the program starts, before gtest lists or runs them.
const int registered = [] {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(QSH_CASES_DIR, ec))
        if (e.path().extension() == ".cases")
            files.push_back(e.path());
    if (files.empty()) {
        std::string msg = std::string("no case files found in ") + QSH_CASES_DIR +
                          (ec ? ": " + ec.message() : "");
        testing::RegisterTest("cases", "directory_holds_case_files", nullptr, nullptr, __FILE__,
                              __LINE__,
                              [msg]() -> testing::Test * { return new e2e_parse_failure(msg); });
    }
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        std::string suite = sanitize(f.stem().string());
        std::string path = f.string();
        try {
            auto cases = parse_cases(path);
            std::map<std::string, int> names;
            for (const auto &c : cases) {
                std::string name = sanitize(c.name);
                if (names.count(name))
                    throw case_error(path + ":" + std::to_string(c.line) + ": case name \"" +
                                     c.name + "\" clashes with the case at line " +
                                     std::to_string(names[name]));
                names[name] = c.line;
            }
            for (const auto &c : cases) {
                auto shared = std::make_shared<const e2e_case>(c);
                for (qsh_mode m : c.modes) {
                    std::string name = sanitize(c.name) + "/" + mode_name(m);
                    testing::RegisterTest(
                        suite.c_str(), name.c_str(), nullptr, nullptr, path.c_str(), c.line,
                        [shared, m]() -> testing::Test * { return new e2e_case_test(shared, m); });
                }
            }
        } catch (const case_error &e) {
            std::string msg = e.what();
            testing::RegisterTest(
                suite.c_str(), "case_file_is_valid", nullptr, nullptr, path.c_str(), 1,
                [msg]() -> testing::Test * { return new e2e_parse_failure(msg); });
        }
    }
    return static_cast<int>(files.size());
}();

// The parser itself, on small texts written to a temporary file.
std::vector<e2e_case> parse_text(const std::string &text)
{
    temp_dir dir;
    write_file(dir / "t.cases", text);
    return parse_cases(dir / "t.cases");
}

TEST(CaseFormat, SectionsFlagsAndDefaults)
{
    auto cs = parse_text(
        "# comment\n\n=== first one\nargs: -s  x\n\n# comment in the header\n"
        "env: A=1 B=x=y\numask: 077\ntimeout: 5\nmodes: tty pipe\n"
        "--- given sub/f noeol\nab\n--- stdin esc noeol\nx\\t\\x04\\\\\\0\n"
        "--- stdout re\n[0-9]+\n--- stderr\n\n# kept\n--- status\n  3 \n"
        "--- expect out esc\n\\n\n--- absent gone\n"
        "=== args\n--- args esc\n-c\na b\\nc\n--- given s exec\n#!x\n"
        "=== rows\n--- rows esc\nin  a |\nin\tb\nout [a] [|] [b]\nin  ; x\n"
        "err Error: ';' is unexpected.\nout\nin \\x20x\\t\n--- args blank\n-s\n\n"
        "=== second\n--- status\nsignal 9\n"
        "--- stdout\nlast line without newline");
    ASSERT_EQ(cs.size(), 4u);
    const e2e_case &a = cs[0];
    EXPECT_EQ(a.name, "first one");
    EXPECT_EQ(a.args, (std::vector<std::string>{"-s", "x"}));
    EXPECT_EQ(a.env, (std::vector<std::string>{"A=1", "B=x=y"}));
    EXPECT_EQ(a.umask, 077u);
    EXPECT_EQ(a.timeout, 5);
    EXPECT_EQ(a.modes, (std::vector<qsh_mode>{qsh_mode::tty, qsh_mode::pipe}));
    ASSERT_EQ(a.given.size(), 1u);
    EXPECT_EQ(a.given[0].first, "sub/f");
    EXPECT_EQ(a.given[0].second, "ab");
    EXPECT_EQ(a.input, std::string("x\t\x04\\\0", 5));
    EXPECT_EQ(a.out.text, "[0-9]+\n");
    EXPECT_TRUE(a.out.re);
    EXPECT_EQ(a.err.text, "\n# kept\n");
    EXPECT_FALSE(a.err.re);
    EXPECT_EQ(a.status, 3);
    EXPECT_EQ(a.signal, 0);
    ASSERT_EQ(a.expect.size(), 1u);
    EXPECT_EQ(a.expect[0].second.text, "\n\n");
    EXPECT_EQ(a.absent, (std::vector<std::string>{"gone"}));
    EXPECT_EQ(cs[1].args, (std::vector<std::string>{"-c", "a b\nc"}));
    EXPECT_EQ(cs[1].executable, (std::vector<std::string>{"s"}));
    const e2e_case &r = cs[2];
    EXPECT_EQ(r.input, "a |\nb\n; x\n x\t\n");
    EXPECT_EQ(r.out.text, "[a] [|] [b]\n\n");
    EXPECT_EQ(r.err.text, "Error: ';' is unexpected.\n");
    EXPECT_EQ(r.args, (std::vector<std::string>{"-s", ""}));
    const e2e_case &b = cs[3];
    EXPECT_EQ(b.modes, (std::vector<qsh_mode>{qsh_mode::pipe, qsh_mode::file}));
    EXPECT_EQ(b.umask, 022u);
    EXPECT_EQ(b.timeout, 20);
    EXPECT_EQ(b.signal, 9);
    EXPECT_EQ(b.out.text, "last line without newline");
    EXPECT_EQ(b.input, "");
}

TEST(CaseFormat, MistakesAreReportedWithTheirLine)
{
    struct row {
        const char *text;
        const char *message;
    } rows[] = {
        {"--- stdin\nx\n", "t.cases:1: section before the first case"},
        {"stray\n", "t.cases:1: text before the first case"},
        {"===\n", "t.cases:1: case without a name"},
        {"=== a\nmodes: pipe serial\n", "t.cases:2: unknown mode serial"},
        {"=== a\nmodes:\n", "t.cases:2: no mode given"},
        {"=== a\numask: 9\n", "t.cases:2: bad umask value"},
        {"=== a\ntimeout: 0\n", "t.cases:2: bad timeout value"},
        {"=== a\nenv: X\n", "t.cases:2: env entries are NAME=VALUE"},
        {"=== a\nfoo: 1\n", "t.cases:2: unknown header foo"},
        {"=== a\nno colon\n", "t.cases:2: expected a header line"},
        {"=== a\n--- output\n", "t.cases:2: unknown section output"},
        {"=== a\n--- stdout eol\n", "t.cases:2: unknown flag eol"},
        {"=== a\n--- stdin re\nx\n", "t.cases:2: flag re is for stdout and stderr only"},
        {"=== a\n--- given\n", "t.cases:2: section given needs a file name"},
        {"=== a\n--- expect ../x\n", "t.cases:2: file names stay inside"},
        {"=== a\n--- absent f\nbody\n", "t.cases:2: absent takes no body"},
        {"=== a\n--- status\nx\n", "t.cases:2: status must be a number"},
        {"=== a\n--- status\nsignal\n", "t.cases:2: status must be a number"},
        {"=== a\n--- stdin esc\n\\q\n", "t.cases:2: unknown escape \\q"},
        {"=== a\n--- stdin esc\n\\x4\n", "t.cases:2: \\x needs two hex digits"},
        {"=== a\n--- stdout\n--- stdout\n", "t.cases:3: section stdout given twice"},
        {"=== a\nargs: -s\n--- args\n-c\n", "t.cases:3: arguments given twice"},
        {"=== a\n--- stdout exec\n", "t.cases:2: unknown flag exec"},
        {"=== a\n--- stdout\nx\n\n", "t.cases:4: the section ends with a blank line"},
        {"=== a\n--- stdin\n \t\n=== b\n", "t.cases:3: the section ends with a blank line"},
        {"=== a\n--- args\n-s\n\n", "t.cases:4: the section ends with a blank line"},
        {"=== a\n--- rows\nin x\nfoo y\n", "t.cases:4: a row line starts with in, out or err"},
        {"=== a\n--- rows\ninx\n", "t.cases:3: a row line starts with in, out or err"},
        {"=== a\n--- stdout\n--- rows\n", "t.cases:3: rows and a stdout section exclude"},
        {"=== a\n--- rows\n--- stdin\n", "t.cases:3: rows and a stdin section exclude"},
        {"=== a\n--- rows noeol\n", "t.cases:2: flag noeol is not for rows"},
    };
    for (const row &r : rows) {
        try {
            parse_text(r.text);
            ADD_FAILURE() << "accepted: " << escape_bytes(r.text);
        } catch (const case_error &e) {
            EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos)
                << "for " << escape_bytes(r.text) << " got: " << e.what();
        }
    }
}

TEST(CaseFormat, ComparisonAndDiff)
{
    EXPECT_EQ(compare_text("stdout", {"/d> x\n", false}, "/d> x\n", "/d"), "");
    EXPECT_EQ(compare_text("stdout", {"{CWD}> \n", false}, "/a.b> \n", "/a.b"), "");
    // In a pattern the directory is literal text: its dot matches only a dot.
    EXPECT_EQ(compare_text("stdout", {"{CWD}> [0-9]+\n", true}, "/a.b> 12\n", "/a.b"), "");
    EXPECT_NE(compare_text("stdout", {"{CWD}> [0-9]+\n", true}, "/axb> 12\n", "/a.b"), "");
    EXPECT_NE(compare_text("stdout", {"[0-9]+\n", true}, "12\n3\n", ""), "");
    EXPECT_NE(compare_text("stdout", {"a\n", false}, "a", ""), "");
    std::string msg = compare_text("stderr", {"same\nold\x01\n", false}, "same\nnew\n", "");
    EXPECT_NE(msg.find("    same\\n\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("  - old\\x01\\n\n"), std::string::npos) << msg;
    EXPECT_NE(msg.find("  + new\\n\n"), std::string::npos) << msg;
    EXPECT_NE(compare_text("stdout", {"(", true}, "(", "").find("bad regular expression"),
              std::string::npos);
}

TEST(CaseFormat, TestNames)
{
    EXPECT_EQ(sanitize("ls | wc joined as ||"), "ls_pipe_wc_joined_as_pipe_pipe");
    EXPECT_EQ(sanitize("'-s' given second"), "s_given_second");
    EXPECT_EQ(sanitize("a>>b&c;d<e\\"), "a_gt_gt_b_amp_c_semi_d_lt_e_bs");
    EXPECT_EQ(sanitize("'' \"\""), "unnamed");
}

}  // namespace

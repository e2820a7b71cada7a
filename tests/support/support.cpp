// SPDX-License-Identifier: BSD-2-Clause
#include "support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

std::string sys_error(const std::string &what)
{
    return what + ": " + strerror(errno);
}

}  // namespace

std::string make_temp_dir()
{
    const char *tmp = getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/qsh-test.XXXXXX";
    if (!mkdtemp(path.data()))
        throw std::runtime_error(sys_error("mkdtemp"));
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real))
        throw std::runtime_error(sys_error("realpath"));
    return real;
}

void remove_tree(const std::string &path)
{
    // Permissions first, so that remove_all can enter and empty every directory.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             path, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path, ec);
}

std::string escape_bytes(const std::string &s)
{
    static const char hex[] = "0123456789abcdef";
    std::string r;
    r.reserve(s.size());
    for (unsigned char c : s) {
        switch (c) {
        case '\n':
            r += "\\n";
            break;
        case '\t':
            r += "\\t";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\\':
            r += "\\\\";
            break;
        case '\0':
            r += "\\0";
            break;
        default:
            if (c < 0x20 || c > 0x7e) {
                r += "\\x";
                r += hex[c >> 4];
                r += hex[c & 15];
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r;
}

std::optional<std::string> try_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string read_file(const std::string &path)
{
    std::optional<std::string> text = try_read_file(path);
    if (!text)
        throw std::runtime_error("cannot read " + path);
    return *text;
}

void write_file(const std::string &path, const std::string &text, mode_t mode)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error(sys_error("chmod " + path));
}

std::string read_all(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            return out;
    }
}

int count_open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

std::vector<std::string> split_lines(const std::string &s)
{
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool is_number(const std::string &s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_pid(const std::string &s)
{
    return is_number(s) && s[0] != '0' && s.size() < 11;
}

std::string random_bytes(size_t n, uint64_t seed, const std::string &excluded)
{
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = gen();
        for (size_t k = 0; k < 8 && i + k < n; k++, v >>= 8)
            s[i + k] = static_cast<char>(v & 0xff);
    }
    for (char &c : s)
        if (excluded.find(c) != std::string::npos)
            c = 'x';
    return s;
}

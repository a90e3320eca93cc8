#include "tools/ctl.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ctl {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs argv (argv[0] the program path) in dir with stdin from in_path and
// stdout/stderr to the two files; waits up to timeout.  The exit status,
// 128 + signal, or nullopt after killing a process that did not end.
std::optional<int> run_process(const std::vector<std::string> &args, const std::string &dir,
                               const std::string &in_path, const std::string &out_path,
                               const std::string &err_path)
{
    std::vector<std::string> argv_s = args;
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int in = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0)
        throw std::runtime_error("run_process: cannot open capture files in " + dir);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in);
    ::close(out);
    ::close(err);
    if (pid < 0)
        throw std::runtime_error("run_process: fork failed");
    const auto deadline = std::chrono::steady_clock::now() + harness::kWait;
    for (;;) {
        int st;
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

}  // namespace

std::string marloctl_bin()
{
    if (const char *env = std::getenv("MARLOCTL_BIN"); env && *env)
        return env;
    return (fs::path(harness::marlo_bin()).parent_path() / "marloctl").string();
}

CtlRun run_marloctl(const std::vector<std::string> &args, const harness::TempDir &tmp)
{
    std::vector<std::string> argv{marloctl_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = tmp.path("marloctl.out");
    const std::string err = tmp.path("marloctl.err");
    CtlRun r;
    r.status = run_process(argv, tmp.dir(), "/dev/null", out, err);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

Store::Store(std::string root) : root_(std::move(root)) { fs::create_directories(root_); }

void Store::dir(const std::string &rel) const { fs::create_directories(root_ + "/" + rel); }

void Store::file(const std::string &rel, const std::string &content) const
{
    const fs::path p = root_ + "/" + rel;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("Store::file: " + p.string());
}

void Store::link(const std::string &rel, const std::string &target) const
{
    const fs::path p = root_ + "/" + rel;
    fs::create_directories(p.parent_path());
    fs::create_symlink(target, p);
}

void Store::remove(const std::string &rel) const { fs::remove_all(root_ + "/" + rel); }

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Index of the first line of the section whose title starts with title, or
// -1.  A section ends at an empty line.
long section_start(const std::vector<std::string> &lines, const std::string &title)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind(title, 0) == 0 &&
            (lines[i].size() == title.size() || lines[i][title.size()] == ' '))
            return long(i);
    return -1;
}

}  // namespace

std::vector<std::string> table_rows(const std::string &out, const std::string &title)
{
    const auto lines = lines_of(out);
    const long start = section_start(lines, title);
    std::vector<std::string> rows;
    if (start < 0 || size_t(start) + 1 >= lines.size() || lines[start + 1] == "(none)")
        return rows;
    for (size_t i = size_t(start) + 2; i < lines.size() && !lines[i].empty(); i++)
        rows.push_back(lines[i]);
    return rows;
}

std::string table_header(const std::string &out, const std::string &title)
{
    const auto lines = lines_of(out);
    const long start = section_start(lines, title);
    if (start < 0 || size_t(start) + 1 >= lines.size() || lines[start + 1] == "(none)")
        return "";
    return lines[start + 1];
}

std::vector<std::string> cells(const std::string &row)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < row.size()) {
        size_t gap = row.find("  ", pos);
        if (gap == std::string::npos) {
            out.push_back(row.substr(pos));
            break;
        }
        out.push_back(row.substr(pos, gap - pos));
        pos = row.find_first_not_of(' ', gap);
        if (pos == std::string::npos)
            break;
    }
    return out;
}

std::vector<std::string> problem_lines(const std::string &out)
{
    const auto lines = lines_of(out);
    const long start = section_start(lines, "Problems");
    std::vector<std::string> rows;
    if (start < 0)
        return rows;
    for (size_t i = size_t(start) + 1; i < lines.size() && !lines[i].empty(); i++)
        rows.push_back(lines[i]);
    return rows;
}

namespace {

// A strict JSON parser (RFC 8259).
class JsonParser {
public:
    explicit JsonParser(const std::string &t) : t_(t) {}

    std::optional<std::string> parse(Json *out)
    {
        ws();
        if (!value(out))
            return err_;
        ws();
        if (i_ != t_.size()) {
            fail("text after the value");
            return err_;
        }
        return std::nullopt;
    }

private:
    bool fail(const std::string &what)
    {
        if (err_.empty())
            err_ = what + " at offset " + std::to_string(i_);
        return false;
    }
    bool at(char c) const { return i_ < t_.size() && t_[i_] == c; }
    bool digit() const { return i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9'; }
    void ws()
    {
        while (at(' ') || at('\t') || at('\n') || at('\r'))
            i_++;
    }
    bool lit(const char *word, Json *out, Json::Type type, bool b)
    {
        size_t n = std::strlen(word);
        if (t_.compare(i_, n, word) != 0)
            return fail("bad literal");
        i_ += n;
        out->type = type;
        out->b = b;
        return true;
    }
    bool value(Json *out)
    {
        if (++depth_ > 200)
            return fail("nested too deep");
        bool ok;
        if (i_ >= t_.size())
            ok = fail("unexpected end");
        else if (at('{'))
            ok = object(out);
        else if (at('['))
            ok = array(out);
        else if (at('"'))
            ok = string(out);
        else if (at('t'))
            ok = lit("true", out, Json::Type::Bool, true);
        else if (at('f'))
            ok = lit("false", out, Json::Type::Bool, false);
        else if (at('n'))
            ok = lit("null", out, Json::Type::Null, false);
        else
            ok = number(out);
        depth_--;
        return ok;
    }
    bool object(Json *out)
    {
        out->type = Json::Type::Object;
        i_++;
        ws();
        if (at('}')) {
            i_++;
            return true;
        }
        for (;;) {
            ws();
            Json key, val;
            if (!at('"'))
                return fail("expected a key");
            if (!string(&key))
                return false;
            ws();
            if (!at(':'))
                return fail("expected ':'");
            i_++;
            ws();
            if (!value(&val))
                return false;
            out->fields.emplace_back(key.text, std::move(val));
            ws();
            if (at(',')) {
                i_++;
                continue;
            }
            if (at('}')) {
                i_++;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }
    bool array(Json *out)
    {
        out->type = Json::Type::Array;
        i_++;
        ws();
        if (at(']')) {
            i_++;
            return true;
        }
        for (;;) {
            ws();
            Json val;
            if (!value(&val))
                return false;
            out->items.push_back(std::move(val));
            ws();
            if (at(',')) {
                i_++;
                continue;
            }
            if (at(']')) {
                i_++;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }
    static void put_utf8(std::string &s, unsigned cp)
    {
        if (cp < 0x80) {
            s += char(cp);
        } else if (cp < 0x800) {
            s += char(0xc0 | (cp >> 6));
            s += char(0x80 | (cp & 0x3f));
        } else {
            s += char(0xe0 | (cp >> 12));
            s += char(0x80 | ((cp >> 6) & 0x3f));
            s += char(0x80 | (cp & 0x3f));
        }
    }
    bool string(Json *out)
    {
        out->type = Json::Type::String;
        i_++;
        while (i_ < t_.size()) {
            const unsigned char c = static_cast<unsigned char>(t_[i_]);
            if (c == '"') {
                i_++;
                return true;
            }
            if (c < 0x20)
                return fail("raw control character in a string");
            if (c == '\\') {
                if (++i_ >= t_.size())
                    break;
                const char e = t_[i_];
                if (e == 'u') {
                    if (i_ + 4 >= t_.size())
                        return fail("bad \\u escape");
                    const std::string hex = t_.substr(i_ + 1, 4);
                    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                        return fail("bad \\u escape");
                    put_utf8(out->text, unsigned(std::stoul(hex, nullptr, 16)));
                    i_ += 5;
                    continue;
                }
                const char *from = "\"\\/bfnrt";
                const char *to = "\"\\/\b\f\n\r\t";
                const char *p = e != '\0' ? std::strchr(from, e) : nullptr;
                if (p == nullptr)
                    return fail("bad escape");
                out->text += to[p - from];
                i_++;
                continue;
            }
            if (c >= 0x80) {
                size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
                if (len == 0 || c > 0xf4 || i_ + len > t_.size())
                    return fail("invalid UTF-8");
                for (size_t k = 1; k < len; k++)
                    if ((static_cast<unsigned char>(t_[i_ + k]) & 0xc0) != 0x80)
                        return fail("invalid UTF-8");
                out->text.append(t_, i_, len);
                i_ += len;
                continue;
            }
            out->text += char(c);
            i_++;
        }
        return fail("unterminated string");
    }
    bool number(Json *out)
    {
        const size_t start = i_;
        if (at('-'))
            i_++;
        if (at('0')) {
            i_++;
        } else if (digit()) {
            while (digit())
                i_++;
        } else {
            return fail("unexpected character");
        }
        if (at('.')) {
            i_++;
            if (!digit())
                return fail("bad number");
            while (digit())
                i_++;
        }
        if (at('e') || at('E')) {
            i_++;
            if (at('+') || at('-'))
                i_++;
            if (!digit())
                return fail("bad number");
            while (digit())
                i_++;
        }
        out->type = Json::Type::Number;
        out->text = t_.substr(start, i_ - start);
        return true;
    }

    const std::string &t_;
    size_t i_ = 0;
    int depth_ = 0;
    std::string err_;
};

const Json &null_json()
{
    static const Json null;
    return null;
}

}  // namespace

const Json &Json::operator[](const std::string &key) const
{
    for (const auto &[k, v] : fields)
        if (k == key)
            return v;
    return null_json();
}

const Json &Json::operator[](size_t index) const
{
    return index < items.size() ? items[index] : null_json();
}

std::optional<std::string> parse_json(const std::string &text, Json *out)
{
    return JsonParser(text).parse(out);
}

std::string which(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');) {
        const std::string p = d + "/" + program;
        if (!d.empty() && ::access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

ToolRun run_with_input(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input, const harness::TempDir &tmp)
{
    const std::string in = tmp.write_file("tool.in", input);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun r;
    auto st = run_process(argv, tmp.dir(), in, tmp.path("tool.out"), tmp.path("tool.err"));
    r.status = st.value_or(-1);
    r.err = read_file(tmp.path("tool.err"));
    return r;
}

}  // namespace ctl

#include "store_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "daemon/config.h"

void StoreTest::SetUp()
{
    char tmpl[] = "/tmp/marlo-store-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
    base_ = tmpl;
    work_ = base_ + "/DB";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0) << strerror(errno);
    cfg_work_directory = work_;
    cfg_node_lock_timeout_ms = 750;
    cfg_datastore_lock_timeout_ms = 750;
    cfg_vdisk_lock_timeout_ms = 750;
}

void StoreTest::TearDown()
{
    if (!base_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
}

void capture_log() { testing::internal::CaptureStderr(); }

std::string captured_log() { return testing::internal::GetCapturedStderr(); }

int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        n++;
    return n;
}

std::optional<std::string> file_content(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    EXPECT_TRUE(out.good()) << "could not write " << path;
}

void make_link(const std::string &target, const std::string &path)
{
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string link_target(const std::string &path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, size_t(n));
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

void walk(const std::string &dir, const std::string &prefix, std::vector<std::string> &out)
{
    for (const std::string &name : list_dir(dir)) {
        std::string full = dir + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            out.push_back(prefix + name + " -> " + link_target(full));
        } else if (S_ISDIR(st.st_mode)) {
            out.push_back(prefix + name + "/");
            walk(full, prefix + name + "/", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

}  // namespace

std::vector<std::string> list_tree(const std::string &dir)
{
    std::vector<std::string> out;
    walk(dir, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

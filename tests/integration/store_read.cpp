#include "store_read.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace store_read {

namespace fs = std::filesystem;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool present(const std::string &path) { return fs::exists(fs::symlink_status(path)); }

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

}  // namespace store_read

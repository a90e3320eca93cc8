// Writes the seed corpora of the fuzz targets:
//
//     marlo_fuzz_corpus OUTDIR     -> OUTDIR/receive/*, OUTDIR/ctrl/*,
//     OUTDIR/config/*
//
// The datagrams come from the daemon's own builders (seeds.h).  Exit status
// 0, or 1 when a file cannot be written.
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "seeds.h"

namespace {

int write_all(const std::string &dir, const std::vector<Seed> &seeds)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "mkdir(%s): %s\n", dir.c_str(), std::strerror(errno));
        return -1;
    }
    for (const Seed &s : seeds) {
        std::string path = dir + "/" + s.name;
        FILE *fp = std::fopen(path.c_str(), "wbe");
        if (!fp || std::fwrite(s.bytes.data(), 1, s.bytes.size(), fp) != s.bytes.size() ||
            std::fclose(fp) != 0) {
            std::fprintf(stderr, "write(%s): %s\n", path.c_str(), std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 1;
    }
    setlogmask(1 << 8);  // the builders' trace lines are not wanted here
    std::string out = argv[1];
    if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "mkdir(%s): %s\n", out.c_str(), std::strerror(errno));
        return 1;
    }
    if (write_all(out + "/receive", receive_seeds()) < 0 ||
        write_all(out + "/ctrl", ctrl_seeds()) < 0 ||
        write_all(out + "/config", config_seeds()) < 0)
        return 1;
    return 0;
}

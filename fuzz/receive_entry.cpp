// The receive target: one datagram through the loop's receive path after
// recvfrom (apply_datagram), in a buffer of exactly its length so that any
// read past the datagram is a sanitizer report.  A datagram whose last byte
// is 0xf8 to 0xff is applied with only 0 to 7 descriptors to spare, so the
// store's steps fail part-way as they do when CTRL connections have used up
// the descriptors; no input may leave a descriptor open.  The store keeps what
// earlier inputs wrote, so updates and removals are reached; every
// $MARLO_FUZZ_CLEAR_EVERY inputs (default 64) it is emptied and rebuilt from
// the first seed datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "controller/auth.h"
#include "controller/receive.h"
#include "entries.h"
#include "fuzz_store.h"
#include "object/model.h"
#include "proto/records.h"
#include "seeds.h"

namespace {

// Seeds that build up the store (nodes, datastore, vdisks, snapshots); the
// later ones update and remove.
constexpr size_t kBaselineSeeds = 9;

VDiskTree vdt;  // the loop's scratch tree, as in the controller
long clear_every = 64;
long runs = 0;

void apply(const char *data, size_t size)
{
    // The loop receives into a 65536-byte buffer; a datagram is never longer.
    if (size > MSG_BUF_LEN)
        size = MSG_BUF_LEN;
    std::unique_ptr<char[]> buf(new char[size ? size : 1]);
    std::memcpy(buf.get(), data, size);
    struct sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    from.sin_family = AF_INET;
    from.sin_port = htons(8000);
    from.sin_addr.s_addr = htonl(0xC0000207);  // 192.0.2.7
    int rc = apply_datagram(buf.get(), ssize_t(size), &from, vdt);
    if (rc != RX_HANDLED && rc != RX_DROPPED) {
        std::fprintf(stderr, "apply_datagram: unexpected result %d\n", rc);
        std::abort();
    }
    if (!vdt.empty()) {
        std::fprintf(stderr, "apply_datagram: scratch tree not emptied\n");
        std::abort();
    }
}

void rebuild_store()
{
    fuzz_store_clear();
    std::vector<Seed> seeds = receive_seeds();
    for (size_t i = 0; i < kBaselineSeeds && i < seeds.size(); i++)
        apply(seeds[i].bytes.data(), seeds[i].bytes.size());
}

}  // namespace

void fuzz_receive_init(bool strict_tmp)
{
    fuzz_store_setup(strict_tmp);
    // Every datagram is checked as a signing daemon checks it (and applied
    // whatever the outcome), so the trailer's parser is fuzzed with the rest.
    const std::string keys = fuzz_store_work() + "/auth_keys";
    FILE *fp = std::fopen(keys.c_str(), "we");
    std::string error;
    cfg_auth_mode = AUTH_SIGN;
    cfg_auth_keys = keys;
    if (fp == nullptr || std::fputs(FUZZ_KEY_LINE, fp) < 0 || std::fclose(fp) != 0 ||
        chmod(keys.c_str(), 0600) != 0 || auth_setup(&error) != 0 || unlink(keys.c_str()) != 0) {
        std::fprintf(stderr, "fuzz_receive_init: key file %s: %s\n", keys.c_str(), error.c_str());
        std::abort();
    }
    if (const char *env = std::getenv("MARLO_FUZZ_CLEAR_EVERY"))
        clear_every = std::strtol(env, nullptr, 10);
    rebuild_store();
    fuzz_store_check();
}

void fuzz_receive_one(const uint8_t *data, size_t size)
{
    fuzz_store_settings();
    cfg_auth_mode = AUTH_SIGN;
    if (clear_every > 0 && ++runs % clear_every == 0)
        rebuild_store();
    const int fds = fuzz_open_fds();
    if (size > 0 && data[size - 1] >= 0xf8) {
        FdPressure pressure(data[size - 1] & 7);
        apply(reinterpret_cast<const char *>(data), size);
    } else {
        apply(reinterpret_cast<const char *>(data), size);
    }
    if (fuzz_open_fds() != fds) {
        std::fprintf(stderr, "apply_datagram: %d descriptors open before, %d after\n", fds,
                     fuzz_open_fds());
        std::abort();
    }
    fuzz_store_check();
}

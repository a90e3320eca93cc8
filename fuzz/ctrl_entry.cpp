// The control target: one read of a CTRL connection, handed over as the
// loop hands it (at most 1023 bytes and a zero byte in the connection's
// buffer).  The parse is checked on a copy first: every pointer it returns
// lies inside the text, the line holds no newline and a node argument of a
// vdisk command no blank.  Then handle_ctrl_cmd carries the command out
// against a store that holds local nodes 101 and 102 with their datastore
// and vdisks, so loading and building run on what the store holds.  No
// message leaves the process: there are no targets to send to.  A text
// whose last byte is 0xf8 to 0xff is handled with only 0 to 7 descriptors to
// spare (the byte lies after the newline, where nothing reads); no command
// may leave a descriptor open.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "controller/ctrl.h"
#include "controller/ctrl_cmd.h"
#include "controller/state.h"
#include "daemon/check.h"
#include "entries.h"
#include "fuzz_store.h"
#include "proto/records.h"
#include "seeds.h"

namespace {

std::unique_ptr<CtrlConn> conn;
std::unique_ptr<char[]> msgbuf;

[[noreturn]] void broken(const char *what, const char *text)
{
    std::fprintf(stderr, "ctrl_cmd_parse: %s for text `%s'\n", what, text);
    std::abort();
}

bool inside(const char *p, const char *text, size_t len) { return p >= text && p <= text + len; }

// Parses a copy of text (len bytes before its zero byte) and checks what
// the parser returned.
void check_parse(const char *text, size_t len)
{
    char copy[sizeof conn->buf];
    std::memcpy(copy, text, len + 1);
    CtrlCmd cmd;
    int rc = ctrl_cmd_parse(copy, &cmd);
    if (rc < CTRL_MISSING_VDISK || rc > CTRL_OK)
        broken("result out of range", text);
    if (cmd.line != copy)
        broken("line does not start the text", text);
    const bool has_nl = std::memchr(text, '\n', len) != nullptr;
    if ((rc == CTRL_MALFORMED) == has_nl)
        broken("newline and result disagree", text);
    if (rc == CTRL_MALFORMED)
        return;
    if (std::strchr(cmd.line, '\n') != nullptr)
        broken("newline left in the line", text);
    for (const char *arg : {cmd.nodeuuid, cmd.vdiskuuid})
        if (*arg != '\0' && !inside(arg, copy, len))
            broken("argument outside the text", text);
    if (rc == CTRL_OK && (cmd.kind == CTRL_SINGLE_VDISK_PING || cmd.kind == CTRL_VDISK_DELETED) &&
        std::strchr(cmd.nodeuuid, ' ') != nullptr)
        broken("blank inside the node argument", text);
}

}  // namespace

void fuzz_ctrl_init(bool strict_tmp)
{
    fuzz_store_setup(strict_tmp);
    MARLO_ASSERT(CtrlConnAlloc(conn) == 0);
    std::snprintf(conn->addr, sizeof conn->addr, "127.0.0.1");
    conn->port = 40000;
    msgbuf.reset(new char[MSG_BUF_LEN]);

    // The local nodes and what they announce come from applying the seed
    // datagrams, as if the nodes' own storage programs had written them.
    local_nodes->clear();
    for (uint32_t id : {101u, 102u}) {
        std::unique_ptr<Node> node;
        MARLO_ASSERT(NodeAlloc(node) == 0);
        node->nodeid = id;
        std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "%u", id);
        local_nodes->push_back(std::move(node));
    }
    fuzz_receive_init(strict_tmp);
}

void fuzz_ctrl_one(const uint8_t *data, size_t size)
{
    fuzz_store_settings();
    size_t len = size < sizeof conn->buf - 1 ? size : sizeof conn->buf - 1;
    std::memcpy(conn->buf, data, len);
    conn->buf[len] = '\0';
    // What a read delivers is handed over up to its first zero byte.
    check_parse(conn->buf, std::strlen(conn->buf));
    const int fds = fuzz_open_fds();
    if (len > 0 && uint8_t(conn->buf[len - 1]) >= 0xf8) {
        FdPressure pressure(conn->buf[len - 1] & 7);
        handle_ctrl_cmd(conn.get(), msgbuf.get(), MSG_BUF_LEN, -1);
    } else {
        handle_ctrl_cmd(conn.get(), msgbuf.get(), MSG_BUF_LEN, -1);
    }
    if (fuzz_open_fds() != fds) {
        std::fprintf(stderr, "handle_ctrl_cmd: %d descriptors open before, %d after\n", fds,
                     fuzz_open_fds());
        std::abort();
    }
    fuzz_store_check();
}

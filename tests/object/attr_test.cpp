// Attribute files and lock files.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "daemon/config.h"
#include "io/io.h"
#include "object/attr.h"
#include "store_fixture.h"

namespace {

class AttrTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        dir_.reset(open(work().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir_);
    }
    int dir() const { return dir_.get(); }

private:
    UniqueFd dir_;
};

TEST_F(AttrTest, StoreReplacesWholeContent)
{
    EXPECT_EQ(AttrStore(dir(), "k", "%s\n", "a-long-first-value"), 19);
    EXPECT_EQ(AttrStore(dir(), "k", "%u\n", 7u), 2);
    EXPECT_EQ(file_content(at("k")), "7\n");
}

TEST_F(AttrTest, StoreWritesListsBeyondOneValue)
{
    std::string list;
    for (int i = 0; i < 200; i++)
        list += std::to_string(1000 + i) + "\n";
    EXPECT_EQ(AttrStore(dir(), "list", "%s", list.c_str()), int(list.size()));
    EXPECT_EQ(file_content(at("list")), list);
}

const std::string kMissing = "<missing>";
// Planted in place of a file: a FIFO, a directory, links to a file and to a
// FIFO outside the store (base/outside, base/outfifo).
const std::string kFifo = "<fifo>", kDir = "<dir>", kLinkFile = "<link-file>",
                  kLinkFifo = "<link-fifo>";

// Makes `path` hold `content`, or plants what a sentinel names.  The outside
// targets live beside the work directory.
void plant(const std::string &path, const std::string &outside, const std::string &content)
{
    std::filesystem::remove_all(path);
    if (content == kFifo)
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    else if (content == kDir)
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    else if (content == kLinkFile)
        make_link(outside + "/outside", path);
    else if (content == kLinkFifo)
        make_link(outside + "/outfifo", path);
    else if (content != kMissing)
        write_file(path, content);
}

struct AttrLoadCase {
    const char *what;
    std::string content;  // kMissing: no file
    int result;
    unsigned value;       // checked when result is 1
    const char *log;      // expected in the log ("" : no error line at all)
};

TEST_F(AttrTest, AttrLoadTable)
{
    const AttrLoadCase cases[] = {
        {"number", "42\n", 1, 42, ""},
        {"text after the number", "42 abc\n", 1, 42, ""},
        {"newline only", "\n", -1, 0, ""},
        {"not a number", "abc\n", 0, 0, ""},
        {"empty file", "", -1, 0, "error: AttrLoad(): Empty file k"},
        {"255 bytes", std::string(253, '0') + "9\n", 1, 9, ""},
        {"256 bytes", std::string(254, '0') + "9\n", -1, 0, "error: AttrLoad(): Oversized file k"},
        // One read of 256 bytes sees a long file as oversized, without
        // reading (or writing) past the value buffer.
        {"4 KiB", std::string(4095, '1') + "\n", -1, 0, "error: AttrLoad(): Oversized file k"},
        {"no newline", "42", -1, 0, "error: AttrLoad(): Malformed file k"},
        {"missing", kMissing, -1, 0, "openat(k)"},
        // Never read through a link, never an empty value from a FIFO.
        {"link to a file outside", kLinkFile, -1, 0, "openat(k): Too many levels"},
        {"link to a FIFO outside", kLinkFifo, -1, 0, "openat(k): Too many levels"},
        {"FIFO", kFifo, -1, 0, "error: AttrLoad(): k is no regular file"},
        {"directory", kDir, -1, 0, "read(k): Is a directory"},
    };
    const std::string base = work() + "/..";
    write_file(base + "/outside", "7\n");
    ASSERT_EQ(mkfifo((base + "/outfifo").c_str(), 0600), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        plant(at("k"), base, c.content);
        unsigned v = 12345;
        capture_log();
        EXPECT_EQ(AttrLoad(dir(), "k", "%u", &v), c.result);
        std::string log = captured_log();
        if (c.result == 1) {
            EXPECT_EQ(v, c.value);
        }
        if (*c.log)
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("error"), std::string::npos) << log;
    }
    EXPECT_EQ(file_content(base + "/outside"), "7\n");
}

struct StringLoadCase {
    const char *what;
    std::string content;
    int dst_len;
    int result;
    std::string dst;  // expected first dst_len bytes ("" : untouched)
    const char *log;
};

TEST_F(AttrTest, StringLoadTable)
{
    const std::string v254(254, 'v');
    const StringLoadCase cases[] = {
        {"value", "abc\n", 8, 3, std::string("abc\0\0\0\0\0", 8), ""},
        {"newline only clears", "\n", 4, 0, std::string(4, '\0'), ""},
        {"empty file leaves dst", "", 4, 0, "", ""},
        {"full width, no NUL", "ABCDEFGHIJKLMN\n", 14, 14, "ABCDEFGHIJKLMN", ""},
        {"one too long", "ABCDEFGHIJKLMNO\n", 14, -1, "",
         "error: StringLoad(): String too long in k: ABCDEFGHIJKLMNO"},
        {"255 bytes", v254 + "\n", 255, 254, v254 + '\0', ""},
        {"256 bytes", v254 + "v\n", 255, -1, "", "error: StringLoad(): Oversized file k"},
        {"no newline", "abc", 8, -1, "", "error: StringLoad(): Malformed file k"},
        {"missing", kMissing, 8, -1, "", "openat(k)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(at("k").c_str());
        if (c.content != kMissing)
            write_file(at("k"), c.content);
        // One guard byte past dst_len shows writes beyond the capacity.
        std::string dst(size_t(c.dst_len) + 1, '#');
        capture_log();
        EXPECT_EQ(StringLoad(dir(), "k", dst.data(), c.dst_len), c.result);
        std::string log = captured_log();
        std::string expect = c.dst.empty() ? std::string(size_t(c.dst_len), '#') : c.dst;
        EXPECT_EQ(dst.substr(0, size_t(c.dst_len)), expect);
        EXPECT_EQ(dst.back(), '#');
        if (*c.log)
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("error"), std::string::npos) << log;
    }
}

// A link at the name is removed (never its target) and the file written
// anew; a FIFO or a directory there fails the write and stays.
TEST_F(AttrTest, StoreNeverWritesThroughALinkOrIntoAFifo)
{
    const std::string base = work() + "/..";
    write_file(base + "/outside", "7\n");
    ASSERT_EQ(mkfifo((base + "/outfifo").c_str(), 0600), 0);
    for (const std::string &kind : {kLinkFile, kLinkFifo, kFifo, kDir}) {
        SCOPED_TRACE(kind);
        plant(at("k"), base, kind);
        const bool link = kind == kLinkFile || kind == kLinkFifo;
        EXPECT_EQ(AttrStore(dir(), "k", "%u\n", 5u), link ? 2 : -1);
        if (link)
            EXPECT_EQ(file_content(at("k")), "5\n");
        else
            EXPECT_TRUE(exists(at("k")));
    }
    EXPECT_EQ(file_content(base + "/outside"), "7\n");
}

// The record of this run's pid is renamed into place: a FIFO or a link at
// its name is replaced (never opened or followed), a directory is an error
// line and the start goes on without a record.
TEST_F(AttrTest, LockHolderIsRenamedOverWhateverStandsThere)
{
    const std::string base = work() + "/..";
    write_file(base + "/outside", "7\n");
    ASSERT_EQ(mkfifo((base + "/outfifo").c_str(), 0600), 0);
    const std::string pid = std::to_string(getpid()) + "\n";
    for (const std::string &kind : {kFifo, kLinkFile, kLinkFifo, kDir}) {
        SCOPED_TRACE(kind);
        plant(at("lock_holder"), base, kind);
        capture_log();
        EXPECT_EQ(lock_holder_update(base.c_str()), 0);
        const std::string log = captured_log();
        if (kind == kDir)
            EXPECT_NE(log.find("error: lock_holder_update(): rename("), std::string::npos) << log;
        else
            EXPECT_EQ(file_content(at("lock_holder")), pid);
        EXPECT_FALSE(exists(at("lock_holder.new")));
    }
    EXPECT_EQ(file_content(base + "/outside"), "7\n");
}

TEST_F(AttrTest, FileLoadSizes)
{
    const std::string big(100000, 'x');
    for (const std::string &content : {std::string(), std::string("a\nb\n"), big}) {
        SCOPED_TRACE(content.size());
        write_file(at("f"), content);
        UniqueFd fd(open(at("f").c_str(), O_RDONLY | O_CLOEXEC));
        char *buf = nullptr;
        long n = FileLoad(fd.get(), &buf);
        EXPECT_EQ(n, long(content.size()));
        // Larger than the caller's limit: nothing read or allocated.
        char *none = nullptr;
        if (!content.empty()) {
            EXPECT_EQ(FileLoad(fd.get(), &none, long(content.size()) - 1), FILE_OVERSIZED);
        }
        EXPECT_EQ(none, nullptr);
        if (content.empty()) {
            EXPECT_EQ(buf, nullptr);
        } else {
            ASSERT_NE(buf, nullptr);
            EXPECT_EQ(std::string(buf), content);  // NUL-terminated
            free(buf);
        }
    }
}

TEST_F(AttrTest, FileLoadReadFailureLeavesNoBuffer)
{
    write_file(at("f"), "data\n");
    UniqueFd fd(open(at("f").c_str(), O_WRONLY | O_CLOEXEC));  // seekable, not readable
    char *buf = nullptr;
    capture_log();
    EXPECT_LT(FileLoad(fd.get(), &buf), 0);
    std::string log = captured_log();
    EXPECT_EQ(buf, nullptr);
    EXPECT_NE(log.find("read(5): Bad file descriptor"), std::string::npos) << log;
}

// ---- Lock files --------------------------------------------------------

TEST(PathLock, TakesWritesPidAndReleases)
{
    const char *path = "/tmp/LOCKTEST-take";
    capture_log();
    EXPECT_EQ(PathLock(path, 750), 0);
    EXPECT_EQ(file_content(path), std::to_string(getpid()) + "\n");
    PathUnlock(path);
    std::string log = captured_log();
    EXPECT_FALSE(exists(path));
    EXPECT_NE(log.find("info: PathLock(): Lock /tmp/LOCKTEST-take"), std::string::npos) << log;
    EXPECT_NE(log.find("info: PathUnlock(): Unlock /tmp/LOCKTEST-take"), std::string::npos) << log;
}

struct ContentionCase {
    int timeout_ms;
    std::vector<int> sleeps;  // the contention notices, in order
    bool timed_out_line;
};

TEST(PathLock, BacksOffThenTimesOut)
{
    const char *path = "/tmp/LOCKTEST-held";
    write_file(path, "1\n");  // held by somebody else
    const ContentionCase cases[] = {
        {0, {}, false},
        {30, {}, true},
        {750, {50, 100, 200, 400}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeout_ms);
        capture_log();
        const int64_t timeouts = lock_timeouts;
        EXPECT_EQ(PathLock(path, c.timeout_ms), -1);
        std::string log = captured_log();
        EXPECT_EQ(lock_timeouts - timeouts, c.timed_out_line ? 1 : 0);
        EXPECT_EQ(count_of(log, "Lock /tmp/LOCKTEST-held"), 1) << log;
        EXPECT_EQ(count_of(log, "notice: PathLock(): Contention on /tmp/LOCKTEST-held, sleep "),
                  int(c.sleeps.size()))
            << log;
        size_t pos = 0;
        for (int ms : c.sleeps) {
            std::string line = "Contention on /tmp/LOCKTEST-held, sleep " + std::to_string(ms) + "ms";
            pos = log.find(line, pos);
            ASSERT_NE(pos, std::string::npos) << line << " in order, in " << log;
        }
        size_t timed = log.find("notice: PathLock(): Timed out locking /tmp/LOCKTEST-held");
        EXPECT_EQ(timed != std::string::npos, c.timed_out_line) << log;
        if (c.timed_out_line) {
            EXPECT_GT(timed, pos);
        }
        EXPECT_EQ(file_content(path), "1\n");  // the holder's file is untouched
    }
    unlink(path);
}

TEST(PathLock, OpenFailureIsMinusTwo)
{
    capture_log();
    EXPECT_EQ(PathLock("/tmp/no-such-dir/LOCK", 750), -2);
    std::string log = captured_log();
    EXPECT_NE(log.find("error: PathLock(): open(/tmp/no-such-dir/LOCK): No such file or directory"),
              std::string::npos)
        << log;
}

TEST(PathLock, AnythingButOwnLeftoverIsWaitedOut)
{
    // Takeover is for this process's own lock file only; nothing hangs.
    alarm(20);
    const char *path = "/tmp/LOCKTEST-odd", *own = "/tmp/LOCKTEST-odd-own";
    write_file(own, std::to_string(getpid()) + "\n");
    const std::function<int()> plants[] = {[&] { return mkfifo(path, 0666); },
        [&] { return mkdir(path, 0755); }, [&] { return symlink(own, path); },
        [&] { return write_file(path, "4194304\n"), 0; }};  // above any pid_max: gone
    for (const auto &plant : plants) {
        ASSERT_EQ(plant(), 0);
        capture_log();
        EXPECT_EQ(PathLock(path, 30), -1);
        EXPECT_EQ(count_of(captured_log(), "Timed out locking /tmp/LOCKTEST-odd"), 1);
        EXPECT_TRUE(exists(path));
        remove(path);  // a file, a link or an empty directory
    }
    alarm(0);
    unlink(own);
}

TEST(PathLock, UnlockOfFreeLockWarns)
{
    capture_log();
    PathUnlock("/tmp/LOCKTEST-free");
    std::string log = captured_log();
    EXPECT_NE(log.find("warn: PathUnlock(): unlink(/tmp/LOCKTEST-free): No such file or directory"),
              std::string::npos)
        << log;
}

TEST(PathLock, OwnLeftoverIsTakenOverAndStaleOnesReclaimed)
{
    // A lock file of this process's own pid: an unlock of its own that failed.
    const char *own = "/tmp/LOCKTEST-own";
    write_file(own, std::to_string(getpid()) + "\n");
    capture_log();
    EXPECT_EQ(PathLock(own, 750), 0);
    std::string log = captured_log();
    EXPECT_NE(log.find("notice: PathLock(): Taking over /tmp/LOCKTEST-own"), std::string::npos)
        << log;
    EXPECT_EQ(count_of(log, "Contention"), 0) << log;
    PathUnlock(own);

    // Start-up: only the lock files of the dead pid go, whatever their family.
    char dir[] = "/tmp/marlo-reclaim-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    for (const char *name : {"NODE-1", "DS-a", "VDISK-b", "OTHER-1"})
        write_file(d + "/" + name, "4194304\n");  // above any pid_max
    write_file(d + "/NODE-2", "4243\n");
    write_file(d + "/NODE-3", "");
    capture_log();
    EXPECT_EQ(lock_files_reclaim(dir, 4194304), 3);
    log = captured_log();
    EXPECT_NE(log.find("notice: lock_files_reclaim(): Removed " + d + "/VDISK-b, a lock left by pid 4194304"),
              std::string::npos)
        << log;
    // A live child keeps its file; one dated before it started (pid reuse) goes.
    const pid_t live = fork();
    if (live == 0)
        _exit(pause());
    usleep(20000);
    write_file(d + "/NODE-live", std::to_string(live) + "\n");
    write_file(d + "/DS-reused", std::to_string(live) + "\n");
    const struct timespec before[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (d + "/DS-reused").c_str(), before, 0), 0);
    EXPECT_EQ(lock_files_reclaim(dir, live), 1);
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    // A zombie (ended, not yet reaped by its parent) holds no lock.
    const pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, id_t(zombie), &info, WEXITED | WNOWAIT), 0);
    write_file(d + "/NODE-zombie", std::to_string(zombie) + "\n");
    EXPECT_EQ(lock_files_reclaim(dir, zombie), 1);
    EXPECT_FALSE(exists(d + "/NODE-zombie"));
    waitpid(zombie, nullptr, 0);
    for (const char *gone : {"NODE-1", "DS-a", "VDISK-b", "DS-reused"})
        EXPECT_FALSE(exists(d + "/" + gone)) << gone;
    for (const char *kept : {"OTHER-1", "NODE-2", "NODE-3", "NODE-live"}) {
        EXPECT_TRUE(exists(d + "/" + kept)) << kept;
        unlink((d + "/" + kept).c_str());
    }
    rmdir(dir);
}

// Runs PathLock(path) in a child prepared by `prepare` and returns its result.
int lock_in_child(const char *path, const std::function<bool()> &prepare)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (!prepare())
            _exit(100);
        _exit(-PathLock(path, 750));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 1000;
    return -WEXITSTATUS(status);
}

TEST(PathLock, FailedPidWriteRemovesTheLockFile)
{
    const char *path = "/tmp/LOCKTEST-fsize";
    // No file may grow past 0 bytes: the pid write fails with EFBIG.
    int r = lock_in_child(path, [] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = 0;
        return setrlimit(RLIMIT_FSIZE, &rl) == 0;
    });
    EXPECT_EQ(r, -3);
    EXPECT_FALSE(exists(path));
    // ... so the object can be locked again.
    EXPECT_EQ(PathLock(path, 0), 0);
    PathUnlock(path);
}

#if defined(__x86_64__)
// In the calling process, makes the kernel fail system call nr with err --
// when arg2_bits is not 0, only calls whose third argument has one of those
// bits set.  true when the filter is in place.
bool fail_syscall(int nr, int err, uint32_t arg2_bits = 0)
{
    std::vector<struct sock_filter> f = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
    };
    if (arg2_bits == 0) {
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(nr), 0, 1));
    } else {
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(nr), 0, 3));
        f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])));
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, arg2_bits, 0, 1));
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t(err) & SECCOMP_RET_DATA)));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    struct sock_fprog prog = {static_cast<unsigned short>(f.size()), f.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}
#endif

TEST(PathLock, FailedFsyncRemovesTheLockFile)
{
#if defined(__x86_64__)
    const char *path = "/tmp/LOCKTEST-fsync";
    capture_log();
    int r = lock_in_child(path, [] { return fail_syscall(__NR_fsync, EIO); });
    std::string log = captured_log();
    EXPECT_EQ(r, -4);
    EXPECT_NE(log.find("warn: PathLock(): fsync(/tmp/LOCKTEST-fsync): Input/output error"),
              std::string::npos)
        << log;
    EXPECT_FALSE(exists(path));
#else
    GTEST_SKIP() << "fsync fault injection is written for x86_64";
#endif
}

TEST(PathLock, WithoutUnnamedFilesTheLockIsCreatedUnderItsName)
{
#if defined(__x86_64__)
    // Some file systems (older overlay mounts) refuse O_TMPFILE.
    const char *path = "/tmp/LOCKTEST-plain";
    int r = lock_in_child(path, [] {
        return fail_syscall(__NR_openat, EOPNOTSUPP, __O_TMPFILE) &&
               PathLock("/tmp/LOCKTEST-plain-probe", 0) == 0 &&
               file_content("/tmp/LOCKTEST-plain-probe") == std::to_string(getpid()) + "\n";
    });
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(exists(path));  // the child never unlocked
    unlink(path);
    unlink("/tmp/LOCKTEST-plain-probe");
    // Without /proc and CAP_DAC_READ_SEARCH linkat fails with ENOENT: the same,
    // and an error line comes only when the create by name fails too.
    for (const int err : {0, EACCES}) {
        capture_log();
        r = lock_in_child(path, [err] {
            return fail_syscall(__NR_linkat, ENOENT) && (!err || fail_syscall(__NR_openat, err, O_EXCL));
        });
        EXPECT_EQ(r, err ? -2 : 0);
        EXPECT_EQ(exists(path), !err);
        EXPECT_EQ(count_of(captured_log(), "error: PathLock(): open(" + std::string(path)), !!err);
        unlink(path);
    }
#else
    GTEST_SKIP() << "O_TMPFILE fault injection is written for x86_64";
#endif
}

// The family wrappers read their timeouts; the fixture resets them.
using LockFamilies = StoreTest;

TEST_F(LockFamilies, NumericAndTextFormsShareOneFile)
{
    cfg_node_lock_timeout_ms = 0;
    cfg_datastore_lock_timeout_ms = 0;

    ASSERT_EQ(NodeLock(7), 0);
    EXPECT_TRUE(exists("/tmp/NODE-7"));
    NodeUnlockStr("7");
    EXPECT_FALSE(exists("/tmp/NODE-7"));
    ASSERT_EQ(NodeLockStr("7"), 0);
    EXPECT_TRUE(exists("/tmp/NODE-7"));
    NodeUnlock(7);
    EXPECT_FALSE(exists("/tmp/NODE-7"));

    DatastoreEntry dse{};
    set_field(dse.uuid, "ABCDEFGHIJKLMN");  // 14 characters, no NUL
    set_field(dse.name, "follows the uuid");
    ASSERT_EQ(DatastoreLock(&dse), 0);
    EXPECT_TRUE(exists("/tmp/DS-ABCDEFGHIJKLMN"));
    DatastoreUnlockStr("ABCDEFGHIJKLMN");
    EXPECT_FALSE(exists("/tmp/DS-ABCDEFGHIJKLMN"));
    ASSERT_EQ(DatastoreLockStr("ABCDEFGHIJKLMN"), 0);
    EXPECT_TRUE(exists("/tmp/DS-ABCDEFGHIJKLMN"));
    DatastoreUnlock(&dse);
    EXPECT_FALSE(exists("/tmp/DS-ABCDEFGHIJKLMN"));
}

TEST_F(LockFamilies, LockPathBeyond255CharactersFailsSilently)
{
    const std::string name(250, 'n');  // "/tmp/DS-" + 250 = 258 characters
    capture_log();
    EXPECT_EQ(DatastoreLockStr(name.c_str()), -1);
    EXPECT_EQ(NodeLockStr(name.c_str()), -1);
    EXPECT_EQ(captured_log(), "");
}

TEST_F(LockFamilies, RefusedNamesTouchNothing)
{
    cfg_node_lock_timeout_ms = 0;
    cfg_datastore_lock_timeout_ms = 0;
    // Directories that an unchecked name would reach into: "a/b" ends in
    // /tmp/NODE-a/b, "../../x" in /tmp/x (through /tmp/NODE-..).
    for (const char *d : {"/tmp/NODE-a", "/tmp/DS-a", "/tmp/NODE-..", "/tmp/DS-.."})
        ASSERT_EQ(mkdir(d, 0755), 0) << d;
    write_file("/tmp/NODE-a/b", "keep\n");
    write_file("/tmp/DS-a/b", "keep\n");
    write_file("/tmp/x", "keep\n");
    const std::vector<std::string> before = list_tree("/tmp");

    for (const char *name : {"", ".", "..", "a/b", "../../x"}) {
        SCOPED_TRACE(name);
        DatastoreEntry dse{};
        set_field(dse.uuid, name);
        capture_log();
        EXPECT_EQ(NodeLockStr(name), -1);
        NodeUnlockStr(name);
        EXPECT_EQ(DatastoreLockStr(name), -1);
        DatastoreUnlockStr(name);
        EXPECT_EQ(DatastoreLock(&dse), -1);
        DatastoreUnlock(&dse);
        std::string log = captured_log();
        EXPECT_EQ(count_of(log, "Refusing"), 6) << log;
        EXPECT_NE(log.find("error: NodeLockStr(): Refusing node name `" + std::string(name) + "'"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("Lock /tmp"), std::string::npos) << log;
        EXPECT_EQ(list_tree("/tmp"), before);
    }
}

}  // namespace

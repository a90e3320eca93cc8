// The configuration reader: accepted and refused lines, ranges, names, and
// the dump line.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "daemon/config.h"

namespace {

// Every setting as text, integers in decimal: what the reader stored.
std::map<std::string, std::string> snapshot()
{
    return {
        {"syslog_ident", cfg_syslog_ident},
        {"syslog_facility", std::to_string(cfg_syslog_facility)},
        {"syslog_priority", std::to_string(cfg_syslog_priority)},
        {"pid_file", cfg_pid_file},
        {"work_directory", cfg_work_directory},
        {"local_nodes", cfg_local_nodes},
        {"unicast_mode", std::to_string(cfg_unicast_mode)},
        {"unicast_hosts", cfg_unicast_hosts},
        {"bind_interface", cfg_bind_interface},
        {"bind_port", std::to_string(cfg_bind_port)},
        {"ctrl_address", cfg_ctrl_address},
        {"ctrl_port", std::to_string(cfg_ctrl_port)},
        {"multicast_address", cfg_multicast_address},
        {"node_lock_timeout_ms", std::to_string(cfg_node_lock_timeout_ms)},
        {"datastore_lock_timeout_ms", std::to_string(cfg_datastore_lock_timeout_ms)},
        {"vdisk_lock_timeout_ms", std::to_string(cfg_vdisk_lock_timeout_ms)},
        {"fence_check", cfg_fence_check},
        {"ping_interval", std::to_string(cfg_ping_interval)},
        {"heartbeat_interval", std::to_string(cfg_heartbeat_interval)},
        {"stats_interval", std::to_string(cfg_stats_interval)},
    };
}

class Config : public testing::Test {
protected:
    void SetUp() override
    {
        config_module_setup();
        defaults_ = snapshot();
    }
    void TearDown() override { config_module_teardown(); }

    // Feeds text to the reader as a file.  0 or -1; error_ holds the message.
    int read(const std::string &text)
    {
        FILE *fp = std::tmpfile();
        EXPECT_NE(fp, nullptr);
        std::fwrite(text.data(), 1, text.size(), fp);
        std::rewind(fp);
        error_.clear();
        int rc = config_read(fp, &error_);
        std::fclose(fp);
        return rc;
    }

    // The dump line as written to the log (after the identity prefix).
    static std::string dump()
    {
        testing::internal::CaptureStderr();
        config_dump();
        std::string out = testing::internal::GetCapturedStderr();
        size_t at = out.find("syslog_ident=");
        return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
    }

    std::map<std::string, std::string> defaults_;
    std::string error_;
};

const std::string kDefaultDump =
    "syslog_ident=marlo syslog_facility=daemon syslog_priority=info pid_file=/var/run/marlo.pid "
    "work_directory=/varnholt/DB local_nodes=/varnholt/local_nodes unicast_mode=0 "
    "unicast_hosts=/varnholt/unicast_hosts bind_interface=eth0 bind_port=8000 "
    "ctrl_address=127.0.0.1 ctrl_port=31337 multicast_address=224.123.123.123 "
    "node_lock_timeout_ms=750 datastore_lock_timeout_ms=750 vdisk_lock_timeout_ms=750 "
    "fence_check=/usr/harrowgate/fencecheck ping_interval=90 heartbeat_interval=30 "
    "stats_interval=60";

TEST_F(Config, DefaultsAndDumpLine) { EXPECT_EQ(dump(), kDefaultDump); }

TEST_F(Config, CommentsAndBlankLinesKeepDefaults)
{
    const char *files[] = {
        "",
        "\n",
        "# bind_port=1\n",
        ";bind_port=1\n",
        " \t \n",
        "#\n;\n\n\t\n",
    };
    for (const char *f : files) {
        EXPECT_EQ(read(f), 0) << f << error_;
        EXPECT_EQ(snapshot(), defaults_) << f;
    }
}

TEST_F(Config, AcceptedLinesStoreTheirValue)
{
    const std::string s1022 = "fence_check=" + std::string(1010, 'f');
    struct Case {
        std::string line;  // without newline
        std::string key;
        std::string value;  // as snapshot() shows it
    };
    const Case cases[] = {
        {"bind_port=8080", "bind_port", "8080"},
        {"  bind_port =  8081  ", "bind_port", "8081"},
        {"\tbind_port\t=\t8082\t", "bind_port", "8082"},
        {"bind_port=+42", "bind_port", "42"},
        {"bind_port=80abc", "bind_port", "80"},
        {"bind_port=1", "bind_port", "1"},
        {"ctrl_port=65535", "ctrl_port", "65535"},
        {"unicast_mode=yes", "unicast_mode", "0"},  // no digits: 0, multicast
        {"unicast_mode=7", "unicast_mode", "7"},
        {"ping_interval=0", "ping_interval", "0"},
        {"heartbeat_interval=3600", "heartbeat_interval", "3600"},
        {"stats_interval=86400", "stats_interval", "86400"},
        {"node_lock_timeout_ms=60000", "node_lock_timeout_ms", "60000"},
        {"datastore_lock_timeout_ms=0", "datastore_lock_timeout_ms", "0"},
        {"vdisk_lock_timeout_ms=10", "vdisk_lock_timeout_ms", "10"},
        {"fence_check=\"/opt/fence check\"", "fence_check", "/opt/fence check"},
        {"fence_check=\"\"", "fence_check", ""},
        {"fence_check = \"a\"  ", "fence_check", "a"},
        {"fence_check=\"abc", "fence_check", "\"abc"},  // unclosed quote stays
        {"pid_file=a=b#c", "pid_file", "a=b#c"},
        {"bind_interface=abcdefghijklmno", "bind_interface", "abcdefghijklmno"},
        {"syslog_facility=LOCAL3", "syslog_facility", std::to_string(LOG_LOCAL3)},
        {"syslog_facility=security", "syslog_facility", std::to_string(LOG_AUTH)},
        {"syslog_facility=mark", "syslog_facility", "192"},
        {"syslog_priority=Warning", "syslog_priority", std::to_string(LOG_WARNING)},
        {"syslog_priority=none", "syslog_priority", "16"},
        {"syslog_ident=\"my daemon\"", "syslog_ident", "my daemon"},
        {s1022, "fence_check", std::string(1010, 'f')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(read(c.line + "\n"), 0) << error_;
        auto want = defaults_;
        want[c.key] = c.value;
        EXPECT_EQ(snapshot(), want);
        config_module_teardown();
        config_module_setup();
    }
}

TEST_F(Config, RefusedLinesGiveExactMessage)
{
    const std::string e = "error: config_load(): ";
    struct Case {
        std::string text;  // whole file
        std::string message;
    };
    const Case cases[] = {
        {"bind_port=0\n", e + "Incorrect bind_port value: 0\n"},
        {"bind_port=65536\n", e + "Incorrect bind_port value: 65536\n"},
        {"bind_port=http\n", e + "Incorrect bind_port value: 0\n"},
        {"ctrl_port=-1\n", e + "Incorrect ctrl_port value: -1\n"},
        {"unicast_mode=-1\n", e + "Incorrect unicast_mode value: -1\n"},
        {"ping_interval=-1\n", e + "Incorrect ping_interval value: -1\n"},
        {"heartbeat_interval=3601\n", e + "Incorrect heartbeat_interval value: 3601\n"},
        {"stats_interval=86401\n", e + "Incorrect stats_interval value: 86401\n"},
        {"node_lock_timeout_ms=60001\n", e + "Incorrect node_lock_timeout_ms value: 60001\n"},
        {"datastore_lock_timeout_ms=-5\n", e + "Incorrect datastore_lock_timeout_ms value: -5\n"},
        {"vdisk_lock_timeout_ms=-2147483648\n",
         e + "Incorrect vdisk_lock_timeout_ms value: -2147483648\n"},
        // Beyond the int range: refused, never wrapped into range.
        {"bind_port=4294967297\n", e + "Incorrect bind_port value: 2147483647\n"},
        {"ping_interval=-4294967296\n", e + "Incorrect ping_interval value: -2147483648\n"},
        {"syslog_facility=local8\n", e + "Incorrect syslog_facility value: `local8'\n"},
        {"syslog_priority=verbose\n", e + "Incorrect syslog_priority value: `verbose'\n"},
        {"auth_mode=on\n", e + "Incorrect auth_mode value: `on'\n"},
        {"auth_window=0\n", e + "Incorrect auth_window value: 0\n"},
        {"bind_interface=abcdefghijklmnop\n",
         e + "Incorrect bind_interface value: `abcdefghijklmnop'\n"},
        {"Bind_port=1\n", e + "Unknown config option `Bind_port'\n"},
        {"bind.port=1\n", e + "Unknown config option `bind.port'\n"},
        {"bind_port=\n", e + "Broken config line `bind_port='\n"},
        {"fence_check=a b\n", e + "Broken config line `fence_check=a b'\n"},
        {" # not a comment\n", e + "Broken config line ` # not a comment'\n"},
        {"= value\n", e + "Broken config line `= value'\n"},
        {"bind_port=1", e + "Config line too long\n"},
        {"fence_check=" + std::string(1011, 'f') + "\n", e + "Config line too long\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(read(c.text), -1);
        EXPECT_EQ(error_, c.message);
    }
}

TEST_F(Config, LinesApplyInOrderUpToTheFirstError)
{
    EXPECT_EQ(read("bind_port=1\nbind_port=2\nctrl_port=3\nbogus=1\nctrl_port=4\n"), -1);
    EXPECT_EQ(cfg_bind_port, 2);  // the last of repeated keys wins
    EXPECT_EQ(cfg_ctrl_port, 3);  // nothing after the bad line applied
}

TEST_F(Config, DumpShowsFirstNameOfEachValue)
{
    ASSERT_EQ(read("syslog_facility=LOCAL3\nsyslog_priority=warning\nunicast_mode=1\n"
                   "fence_check=\"/x y\"\n"),
              0)
        << error_;
    std::string d = dump();
    EXPECT_NE(d.find("syslog_facility=local3 syslog_priority=warn "), std::string::npos) << d;
    EXPECT_NE(d.find(" unicast_mode=1 "), std::string::npos) << d;
    EXPECT_NE(d.find(" fence_check=/x y "), std::string::npos) << d;

    const std::pair<std::string, std::string> aliases[] = {
        {"syslog_facility=security", "syslog_facility=auth "},
        {"syslog_priority=error", "syslog_priority=err "},
        {"syslog_priority=panic", "syslog_priority=emerg "},
        {"auth_mode=SIGN", "auth_mode=sign "},
    };
    for (const auto &[line, shown] : aliases) {
        ASSERT_EQ(read(line + "\n"), 0) << error_;
        d = dump();
        EXPECT_NE(d.find(shown), std::string::npos) << d;
    }
}

TEST_F(Config, LoadExitsWithMessageOnError)
{
    char path[] = "/tmp/marlo-config-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x y\n", 4), 4);
    close(fd);
    opt_config = path;
    EXPECT_EXIT(config_load(), testing::ExitedWithCode(1),
                "^error: config_load\\(\\): Broken config line `x y'\n$");
    unlink(path);
    opt_config = "/nonexistent/marlo.conf";
    EXPECT_EXIT(config_load(), testing::ExitedWithCode(1),
                "^error: config_load\\(\\): fopen\\(/nonexistent/marlo.conf\\): No such file or "
                "directory\n$");
}

}  // namespace

// The list readers on real files: what each file yields, what is logged, and
// that any error keeps the list in force.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "controller/peers.h"
#include "controller/state.h"
#include "daemon/config.h"

namespace {

enum class Source { Text, Missing, Directory };
enum class Which { Nodes, Hosts };

struct ListCase {
    const char *name;
    Which which;
    Source source;
    std::string text;               // file contents for Source::Text
    std::vector<std::string> want;  // the list afterwards; empty: the old list stays
    std::string log;                // a line the load logs
};

const std::vector<std::string> kOldNodes = {"99"};
const std::vector<std::string> kOldHosts = {"10.9.9.9"};

class ListFiles : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/marlo-peers-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        cfg_local_nodes = dir_ + "/local_nodes";
        cfg_unicast_hosts = dir_ + "/unicast_hosts";
        cfg_bind_port = 9000;
        ASSERT_EQ(controller_module_setup(), 0);
    }
    void TearDown() override
    {
        controller_module_teardown();
        std::filesystem::remove_all(dir_);
    }

    static void write(const std::string &path, const std::string &text)
    {
        std::filesystem::remove_all(path);
        std::ofstream(path, std::ios::binary) << text;
    }

    // Loads the file of `which` and dumps the list in force; returns the log.
    static std::string load_and_dump(Which which)
    {
        testing::internal::CaptureStderr();
        if (which == Which::Nodes) {
            load_local_nodes();
            dump_local_nodes();
        } else {
            load_unicast_hosts();
            dump_unicast_hosts();
        }
        return testing::internal::GetCapturedStderr();
    }

    // The list in force as text: node uuids or host addresses.  Checks the
    // fields derived from the text on the way.
    static std::vector<std::string> entries(Which which)
    {
        std::vector<std::string> out;
        if (which == Which::Nodes) {
            for (const auto &node : *local_nodes) {
                EXPECT_EQ(std::to_string(node->nodeid), node->nodeuuid);
                out.push_back(node->nodeuuid);
            }
        } else {
            for (const auto &host : *unicast_hosts) {
                EXPECT_EQ(host->sa.sin_family, AF_INET);
                EXPECT_EQ(ntohs(host->sa.sin_port), 9000);
                EXPECT_EQ(host->sa.sin_addr.s_addr, inet_addr(host->ipaddr));
                out.push_back(host->ipaddr);
            }
        }
        return out;
    }

    // The "[i/n] entry" lines a dump of `list` logs, in order.
    static std::string dump_lines(Which which, const std::vector<std::string> &list)
    {
        std::string out;
        for (size_t i = 0; i < list.size(); i++)
            out += (which == Which::Nodes ? "dump_local_nodes(): [" : "dump_unicast_hosts(): [") +
                   std::to_string(i + 1) + "/" + std::to_string(list.size()) + "] " + list[i] +
                   "\n";
        return out;
    }

    static std::string grep_dump(const std::string &log)
    {
        std::string out;
        size_t pos = 0;
        for (size_t nl; (nl = log.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            std::string line = log.substr(pos, nl - pos + 1);
            size_t at = line.find("dump_");
            if (at != std::string::npos)
                out += line.substr(at);
        }
        return out;
    }

    std::string dir_;
};

TEST_F(ListFiles, EachFileYieldsItsListOrKeepsTheOldOne)
{
    const std::string line254 = "5 " + std::string(252, 'x');
    const std::string line255 = "5 " + std::string(253, 'x');
    const std::vector<ListCase> cases = {
        {"ids in file order", Which::Nodes, Source::Text, "3\n1\n2\n", {"3", "1", "2"},
         "LOCAL_NODE: 1 (1)"},
        {"leading zeros, decimal", Which::Nodes, Source::Text, "007\n010\n", {"7", "10"},
         "LOCAL_NODE: 7 (007)"},
        {"text after the id", Which::Nodes, Source::Text, "12 trailing\n", {"12"},
         "LOCAL_NODE: 12 (12 trailing)"},
        {"comments, empty lines, leading blanks", Which::Nodes, Source::Text,
         "# rack 4\n\n \t42\n", {"42"}, "LOCAL_NODE: 42 ( \t42)"},
        {"largest id", Which::Nodes, Source::Text, "4294967295\n", {"4294967295"},
         "LOCAL_NODE: 4294967295"},
        {"254 characters", Which::Nodes, Source::Text, line254 + "\n", {"5"}, "LOCAL_NODE: 5"},
        {"id 0 after a good line", Which::Nodes, Source::Text, "1\n0\n", {}, "Malformed file"},
        {"letters", Which::Nodes, Source::Text, "abc\n", {}, "Malformed file"},
        {"blanks only", Which::Nodes, Source::Text, "   \n", {}, "Malformed file"},
        {"last line without newline", Which::Nodes, Source::Text, "1\n2", {}, "Malformed file"},
        {"255 characters", Which::Nodes, Source::Text, line255 + "\n1\n", {}, "Malformed file"},
        {"id beyond 32 bits", Which::Nodes, Source::Text, "4294967297\n", {}, "Malformed file"},
        {"signed id", Which::Nodes, Source::Text, "-1\n", {}, "Malformed file"},
        {"missing nodes file", Which::Nodes, Source::Missing, "", {},
         "fopen(" + cfg_local_nodes + "): No such file or directory"},
        {"unreadable nodes file", Which::Nodes, Source::Directory, "", {},
         "Error reading " + cfg_local_nodes},

        {"addresses in file order", Which::Hosts, Source::Text, "127.0.0.2\n10.1.2.3\n",
         {"127.0.0.2", "10.1.2.3"}, "UNICAST_HOST: 127.0.0.2:9000 (127.0.0.2)"},
        {"15-character address, comments", Which::Hosts, Source::Text,
         "# all\n\n255.255.255.255\n", {"255.255.255.255"}, "UNICAST_HOST: 255.255.255.255"},
        {"16 characters or more: the whole line", Which::Hosts, Source::Text,
         "127.0.0.2\n127.000.000.0002 # spare\n", {},
         "Malformed unicast address: 127.000.000.0002 # spare"},
        {"bad address of at most 15 characters", Which::Hosts, Source::Text, "300.1.2.3\n", {},
         "Malformed unicast address: 300.1.2.3"},
        {"hosts line without newline", Which::Hosts, Source::Text, "127.0.0.2", {},
         "Malformed file " + cfg_unicast_hosts},
        {"missing hosts file", Which::Hosts, Source::Missing, "", {},
         "fopen(" + cfg_unicast_hosts + "): No such file or directory"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string &path = c.which == Which::Nodes ? cfg_local_nodes : cfg_unicast_hosts;
        const auto &old = c.which == Which::Nodes ? kOldNodes : kOldHosts;
        write(path, old[0] + "\n");
        load_and_dump(c.which);
        ASSERT_EQ(entries(c.which), old);

        if (c.source == Source::Text)
            write(path, c.text);
        else if (c.source == Source::Missing)
            std::filesystem::remove(path);
        else {  // a directory opens for reading, but reading it fails
            std::filesystem::remove(path);
            std::filesystem::create_directory(path);
        }
        std::string log = load_and_dump(c.which);

        const auto &want = c.want.empty() ? old : c.want;
        EXPECT_EQ(entries(c.which), want);
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        EXPECT_EQ(grep_dump(log), dump_lines(c.which, want)) << log;
        std::filesystem::remove_all(path);
    }
}

TEST_F(ListFiles, ReloadingOneFileRebuildsOnlyItsOwnList)
{
    write(cfg_local_nodes, "3\n");
    write(cfg_unicast_hosts, "127.0.0.2\n");
    load_and_dump(Which::Nodes);
    load_and_dump(Which::Hosts);
    const Node *node = local_nodes->front().get();

    write(cfg_unicast_hosts, "127.0.0.4\n");
    load_and_dump(Which::Hosts);
    EXPECT_EQ(entries(Which::Hosts), std::vector<std::string>{"127.0.0.4"});
    EXPECT_EQ(local_nodes->front().get(), node);
}

TEST_F(ListFiles, MulticastListSplitsAtCommasAndBlanks)
{
    struct {
        const char *setting;
        int result;
        std::vector<std::string> groups;  // in multicast_groups afterwards
        const char *log;
    } cases[] = {
        {"224.1.2.3, 224.1.2.4", 0, {"224.1.2.3", "224.1.2.4"}, "MULTICAST_GROUP: 224.1.2.4:9000"},
        {",,224.1.2.3,,, 224.1.2.4 ,", 0, {"224.1.2.3", "224.1.2.4"}, "(224.1.2.3)"},
        {"", 0, {}, ""},
        {"224.1.2.3,300.1.1.1,224.1.2.4", -1, {"224.1.2.3"},
         "Malformed multicast address: 300.1.1.1"},
        {"224.1.2.3 2240.100.200.300", -1, {"224.1.2.3"},
         "Malformed multicast address: 2240.100.200.300"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting);
        HostListFlush(*multicast_groups);
        cfg_multicast_address = c.setting;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_mcast_groups(), c.result);
        std::string log = testing::internal::GetCapturedStderr();
        std::vector<std::string> got;
        for (const auto &g : *multicast_groups) {
            EXPECT_EQ(ntohs(g->sa.sin_port), 9000);
            got.push_back(g->ipaddr);
        }
        EXPECT_EQ(got, c.groups);
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
}

}  // namespace

// A small cluster written into a store by the real daemon, for the tests of
// the operator tool's check, repair and metrics:
//
//     Rig rig;
//     rig.start();      // a daemon that announces nothing by itself
//     rig.announce();   // the cluster's announcements, applied
//     rig.stop();
//     CtlRun r = rig.ctl({"check"});
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "integration/store_seed.h"
#include "integration/udp.h"
#include "tools/ctl.h"

namespace ctl {

// The cluster every test starts from, as the daemon writes it from the
// nodes' announcements: nodes 201 and 202 in datastore dsA; vdisk vdA on
// both, with frontends; its snapshot snA on 201; node 203, outside vdA's
// member list, announcing vdA too (so it has a member directory there).
struct Cluster {
    seed::NodeSpec n201{.id = 201}, n202{.id = 202}, n203{.id = 203};
    seed::DatastoreSpec dsA{.uuid = "dsA", .name = "poolA"};
    seed::VDiskSpec vdA{.uuid = "vdA",
                        .description = "d",
                        .membership = {201, 202},
                        .memberinfo = {{.node = 201, .gen = 2, .frontends = {"10.0.0.1"}},
                                       {.node = 202, .gen = 2, .frontends = {"10.0.0.2"}},
                                       {.node = 203, .gen = 2}}};
    seed::VDiskSpec snA{.uuid = "snA",
                        .snapshot = 1,
                        .parent = "vdA",
                        .snaptime = "15-03-05_07.08.09",
                        .membership = {201},
                        .memberinfo = {{.node = 201, .gen = 2, .frontends = {"10.0.0.9"}}}};
};

// A daemon on loopback that announces nothing by itself; the store it
// writes is the test's.
struct Rig {
    harness::TempDir tmp;
    harness::Settings cfg = harness::test_settings(tmp);
    std::string conf;
    std::unique_ptr<harness::Daemon> d;
    Cluster c;
    harness::UdpPeer a{"127.0.0.3"}, b{"127.0.0.4"}, e{"127.0.0.5"};

    Rig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        conf = harness::write_config(tmp.path("marlo.conf"), cfg);
    }
    std::string db() const { return tmp.path("DB"); }
    void start()
    {
        d = std::make_unique<harness::Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
        ASSERT_TRUE(d->wait_for_line("Waiting...")) << d->text();
    }
    void stop()
    {
        d->signal(SIGTERM);
        EXPECT_EQ(d->wait_exit(), 0);
    }
    void inject(harness::UdpPeer &peer, const std::vector<std::string> &datagrams)
    {
        const int port = std::stoi(cfg.at("bind_port"));
        for (const std::string &dg : datagrams)
            ASSERT_TRUE(peer.send_to("127.0.0.1", port, dg));
        ASSERT_TRUE(harness::settle(*d, peer, port)) << d->text();
    }
    // The cluster's announcements, each node's in the order it sends them.
    void announce()
    {
        using namespace seed;
        inject(a, {ds_ping_msg(c.n201, &c.dsA), aux_ping_msg(c.n201),
                   ping_msg(c.n201, {&c.snA, &c.vdA})});
        inject(b, {ds_ping_msg(c.n202, &c.dsA), aux_ping_msg(c.n202), ping_msg(c.n202, {&c.vdA})});
        inject(e, {aux_ping_msg(c.n203), ping_msg(c.n203, {&c.vdA})});
        // snA came before its parent: its next entry records it there.
        inject(a, {ping_msg(c.n201, {&c.snA, &c.vdA})});
    }
    CtlRun ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-C", conf});
        return run_marloctl(args, tmp);
    }
};

}  // namespace ctl

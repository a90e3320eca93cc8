// The replay table at its bound, through auth_receive in require mode:
// AUTH_PAIRS_MAX live senders fill it; a new sender is then refused while a
// live one is still taken (and its replay refused); once the oldest senders'
// times have left the window, a new sender is taken again.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "controller/auth.h"
#include "io/misc.h"
#include "proto/records.h"

TEST(Auth, ATableFullOfLiveSendersTakesNoNewOneUntilTheOldestLeaveTheWindow)
{
    char dir[] = "/tmp/marlo-auth-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string keys = std::string(dir) + "/auth_keys";
    std::ofstream(keys) << "5 " << std::string(64, 'a') << "\n";
    ASSERT_EQ(chmod(keys.c_str(), 0600), 0);
    if (!config_module_initialized)
        config_module_setup();
    cfg_auth_mode = AUTH_REQUIRE;
    cfg_auth_keys = keys;
    cfg_auth_window = 30;
    std::string error;
    ASSERT_EQ(auth_setup(&error), 0) << error;
    AuthKey key{5, {}};
    std::fill(std::begin(key.key), std::end(key.key), 0xaa);

    // A heartbeat of node uid signed with counter c at time t: whether taken.
    auto taken = [&](uint32_t uid, uint64_t c, int64_t t) {
        Hdr h{};
        h.uid = uid;
        h.type = MSG_HEARTBEAT;
        std::string msg(reinterpret_cast<const char *>(&h), HDR_LEN);
        AuthTrailer tr;
        trailer_sign(key, c, t, msg.data(), msg.size(), &tr);
        msg.append(reinterpret_cast<const char *>(&tr), sizeof tr);
        return auth_receive(msg.data(), ssize_t(msg.size()), "192.0.2.1", 8000) >= 0;
    };
    // The first half signed 27 s ago: they leave the 30-s window within 4 s
    // (and not before 2 s, which the filling takes at most).
    const time_t start = time(nullptr);
    uint32_t refused = 0;
    for (uint32_t uid = 1; uid <= AUTH_PAIRS_MAX; uid++)
        refused += !taken(uid, 1, uid <= AUTH_PAIRS_MAX / 2 ? start - 27 : start);
    EXPECT_EQ(refused, 0u);

    const uint32_t newcomer = AUTH_PAIRS_MAX + 1;
    EXPECT_FALSE(taken(newcomer, 1, time(nullptr))) << "a new sender while the table is full";
    EXPECT_TRUE(taken(AUTH_PAIRS_MAX, 2, time(nullptr))) << "a live sender's next datagram";
    EXPECT_FALSE(taken(AUTH_PAIRS_MAX, 2, time(nullptr))) << "its replay";
    while (time(nullptr) < start + 4)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(taken(newcomer, 1, time(nullptr))) << "a new sender once the oldest left";
    EXPECT_FALSE(taken(newcomer, 1, time(nullptr))) << "its replay";

    auth_teardown();
    cfg_auth_mode = AUTH_OFF;
    rm_fr(dir);
}

// Announcing the local nodes: the ping and heartbeat cycles and the transmit
// step that delivers one message to every target.
#pragma once

#include <cstddef>

// One ping cycle over all local nodes (DS_PING, AUX_PING and PING per node),
// built in `buf` (`buflen` bytes) and sent on the UDP socket `so`.
void send_pings(char *buf, size_t buflen, int so);
// One heartbeat cycle over all local nodes, as send_pings.
void send_heartbeats(char *buf, size_t buflen, int so);
// Sends the first `msglen` bytes of `buf` on `so` to every target (the
// unicast hosts in unicast mode, the multicast groups otherwise), counting
// every complete send under ALL and under statistics slot `idx` (1 to 6).
// 0 when every send was complete; -1 when at least one failed or was short.
int xmit_msg(const char *buf, size_t msglen, int so, int idx);

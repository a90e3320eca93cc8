// Builders: lay out one message for a local node in the caller's buffer.
// Each clears all buflen bytes first, copies the records byte for byte, logs
// one "APPEND" debug line per record and allocates nothing.  0 with the length
// in *msglen, or -1 when the message would not fit buflen (nothing usable is
// left in the buffer then).
#pragma once

#include <cstddef>

struct Node;
struct VDisk;

int build_vdisk_ping(const Node *node, char *buf, size_t buflen, size_t *msglen);
int build_single_vdisk_ping(const Node *node, const VDisk *vdisk, char *buf, size_t buflen,
                            size_t *msglen);
int build_ds_ping(const Node *node, char *buf, size_t buflen, size_t *msglen);
int build_aux_ping(const Node *node, char *buf, size_t buflen, size_t *msglen);
int build_heartbeat(const Node *node, char *buf, size_t buflen, size_t *msglen);
int build_vdisk_deleted(const Node *node, const char *vdiskuuid, char *buf, size_t buflen,
                        size_t *msglen);

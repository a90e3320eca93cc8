// Node records: Node/{nodeid}/ under the work directory.  The caller holds the
// node's lock around every operation.  All return 0 or -1.
#pragma once

#include <cstdint>

#include "object/model.h"
#include "proto/records.h"

// Creates the node's directories if missing and rewrites its 17 attributes.
int NodeCreate(const Hdr *hdr, const char *ipaddr);
// Writes the six statistics attributes (node must exist; silent -1 if not).
int NodeUpdate_AuxPing(const Hdr *hdr, const AuxPingData *aux);
// Writes datastoremember.
int NodeUpdate_RefDatastore(const Hdr *hdr, const DatastoreEntry *dse);
// Removes datastoremember (a missing one is fine).
int NodeUpdate_UnrefDatastore(const Hdr *hdr);
// Writes lastping (node must exist; silent -1 if not).
int NodeUpdate_HEARTBEAT(const Hdr *hdr);
// Fills np->hdr and np->aux from disk for np->nodeid.
int NodeLoad(Node *np);
// Copies datastoremember into dsuuid[0..ds_len), always NUL-terminated.
// 0; -1 silently when the node has none; -2 (logged) when the node's
// directory or its datastoremember cannot be read, so that a caller can tell
// "in no datastore" from "membership unknown".  With `damaged`, a -2 also
// says whether the file was read and is damaged (too long, no newline), not
// one that cannot be read.
int NodeLoad_DSMember(const char *nodeuuid, char *dsuuid, int ds_len, bool *damaged = nullptr);
// Adds one VDisk (uuid only) per link in Node/{nodeid}/vdisks/ to the empty tree.
int NodeLoad_VDisks(uint32_t nodeid, VDiskTree &tree);

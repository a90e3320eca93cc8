// Message type names and the debug dumps of received records.
#pragma once

#include "proto/records.h"

// The 36 type names, indexed by Hdr::type; the last ("UNKNOWN") names every
// code from 35 to 255 (35 carries AUX_PING).
inline constexpr int MSG_TYPES_COUNT = 36;
extern const char *const Msg_Types[MSG_TYPES_COUNT];

// Name of hdr->type.
const char *msg_type(const Hdr *hdr);

// One debug line per field of one record.
void hdr_dump(const Hdr *hdr);
void dse_dump(const DatastoreEntry *dse);
void vde_dump(const VDiskEntry *vde);
void mbe_dump(const MemberEntry *mbe);
void fee_dump(const FrontendEntry *fee);

// Snapshot links at their parents, and the removal of a member and of a vdisk.
#pragma once

#include "object/model.h"
#include "proto/records.h"

// The parent's vdisk lock; vdisk must be a snapshot (asserted).
int ParentLock(const VDisk *vdisk);
void ParentUnlock(const VDisk *vdisk);
// Records / removes VDisk/{parent}/snapshots/{uuid}.  Caller holds the parent lock.
int ParentUpdate_RefSnapshot(const VDisk *vdisk);
int ParentUpdate_UnrefSnapshot(const VDisk *vdisk);
// Node hdr->uid no longer serves the vdisk (loaded by VDiskLoad with no node);
// the last member removes it with its links, taking the parent's lock and the
// datastore lock before anything is removed.  Caller holds the vdisk lock.  0
// or negative.
int VDiskGone(const Hdr *hdr, const VDisk *vdisk);
// For a vdisk that does not load: finishes a removal that was cut short (the
// vdisk directory gone but the node's link, or the directory left without
// memberinfo/).  A vdisk that still has members is left alone (-1).  Caller
// holds the vdisk lock.  0 or negative.
int VDiskGone_Leftover(const Hdr *hdr, VDisk *vdisk);
// Removes Datastore/{dsuuid}/vdisks/{vdiskuuid}.  Caller holds the datastore
// lock.  0 or -1.
int DatastoreUpdate_UnrefVDisk(const char *dsuuid, const char *vdiskuuid);

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
// Node hdr->uid no longer serves the vdisk; the last member removes it.
// Caller holds the vdisk lock.  0 or negative.
int VDiskGone(const Hdr *hdr, const VDisk *vdisk);
// Removes the datastore's link to the vdisk, under the datastore lock.
int DatastoreUpdate_UnrefVDisk(const char *vdiskuuid);

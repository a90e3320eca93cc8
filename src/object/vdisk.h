// VDisk records: VDisk/{vdiskuuid}/ under the work directory.
#pragma once

#include "object/model.h"
#include "proto/records.h"

// The vdisk lock "/tmp/VDISK-%s" (vdiskuuid), timeout vdisk_lock_timeout_ms.
int VDiskLock(const VDisk *vdisk);
void VDiskUnlock(const VDisk *vdisk);

// Applies one received vdisk entry (create, or update by membership
// generation, running the fence check when it rises).  Caller holds the
// vdisk lock.  0 (also when the entry changes nothing) or -1.
int VDiskCreate(const Hdr *hdr, VDisk *vdisk);
// The update branch of VDiskCreate; `rebuild` when the vdisk was found
// without memberinfo/ (made anew just now).
int VDiskUpdate(const Hdr *hdr, VDisk *vdisk, const char *vdiskpath, const char *nodeuuid,
                int vdiskfd, int mbtopfd, bool rebuild = false);
// Runs the fence-check program with "uuid=..." and "member=..." and an empty
// environment, and waits for it; each line of its standard output and error
// is logged, and so is an exit status other than 0 or a signal, which changes
// nothing else.  0 or -1.
int FenceCheck(const VDisk *vdisk, const char *nodeuuid);
// Fence-check programs run since the daemon started, and those of them that
// exited with a status other than 0, were killed by a signal or never ran.
extern int64_t fence_check_runs;
extern int64_t fence_check_failures;
// Fills vdisk->vde, parentuuid, members and frontends from disk; with node
// nullptr only the vdisk-level files.  Caller holds the vdisk lock.  0 or -1.
int VDiskLoad(const Node *node, VDisk *vdisk);
// Whether the vdisk is to be made sure of (its attributes no update needs,
// its link pair with its datastore): true unless an update found it sound
// since the daemon started and nothing doubted it since.
bool VDiskDoubted(const char *vdiskuuid);
// Doubts the vdisk (its load failed, it was removed): its next entry makes
// sure of it again.
void VDiskDoubt(const char *vdiskuuid);
// Reads the member's frontend file into the empty list.  0 or -1.
int FrontendsLoad(FrontendList *frontends, int *frontends_count, const char *vdiskpath,
                  const char *nodeuuid, int mbfd);

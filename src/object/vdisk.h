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
// is logged (at most FENCE_CHECK_MAX_LINES per run, also those a process it
// left behind writes later), and so is an exit status other than 0 or a
// signal, which changes nothing else.  0 when the program ran and was
// waited for (a stop requested meanwhile waits for it too); -1 when it could
// not be (pipes, fork, wait) or the daemon stops (not started).
int FenceCheck(const VDisk *vdisk, const char *nodeuuid);
inline constexpr unsigned long FENCE_CHECK_MAX_LINES = 100;
// Fence-check programs run since the daemon started, and those of them that
// exited with a status other than 0, were killed by a signal or never ran;
// checks run again because a record said they were owed.
extern int64_t fence_check_runs;
extern int64_t fence_check_failures;
extern int64_t fence_checks_rerun;
// At the daemon's start: runs each check that a vdisk's `fence_owed`
// record says is owed (one cut short when the daemon was killed or stopped),
// under the vdisk's lock, with a notice.  One that cannot run now is left
// for the next entry of that vdisk.  The number run, or -1 when VDisk/
// cannot be read.
int VDiskFenceOwedScan();
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

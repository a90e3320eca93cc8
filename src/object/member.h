// Member info, the membership file, and the links between vdisk, node and
// datastore.  Called with the vdisk lock held; lock order vdisk, node,
// datastore, never two inner locks at once.  All return 0 or -1.
#pragma once

#include "object/model.h"

int MemberinfoCreate(VDisk *vdisk, const char *vdiskpath, int vdiskfd, const char *nodeuuid,
                     int mbfd);
int NodeUpdate_RefVDisk(const char *nodeuuid, const char *vdiskuuid);
int DatastoreUpdate_RefVDisk(const char *dsuuid, const char *vdiskuuid);
int MemberinfoDelete(const VDisk *vdisk, const char *nodeuuid);
int NodeUpdate_UnrefVDisk(const char *nodeuuid, const char *vdiskuuid);
int MembershipStore(VDisk *vdisk, const char *vdiskpath, int vdiskfd);
// The members that have a directory in memberinfo/ (opened as mbtopfd),
// named by their directories, except `except` (may be nullptr), into the
// empty list: the previous members of a vdisk whose `membership` is empty or
// cannot be read.  0, or -1 when memberinfo/ cannot be read (logged; the
// list is then empty).
int MemberinfoMembers(MemberList *members, const char *vdiskpath, int mbtopfd, const char *except);
int MembershipLoad(MemberList *members, int *members_count, const char *vdiskpath, int vdiskfd);

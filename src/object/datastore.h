// Datastore records: Datastore/{dsuuid}/ under the work directory.  The caller
// holds the datastore's lock.  All return 0 or -1.
#pragma once

#include "proto/records.h"

// Creates or refreshes the datastore and links hdr->uid as a member.
int DatastoreCreate(const Hdr *hdr, const DatastoreEntry *dse);
// Removes the member link; the last member removes the whole datastore.
int DatastoreUpdate_UnrefNode(const char *dsuuid, const char *nodeuuid);
// Fills *dse from disk.
int DatastoreLoad(const char *dsuuid, DatastoreEntry *dse);

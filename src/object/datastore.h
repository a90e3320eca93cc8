// Datastore records: Datastore/{dsuuid}/ under the work directory.  The caller
// holds the datastore's lock.  All return 0 or -1.
#pragma once

#include "proto/records.h"

// Creates or refreshes the datastore and links hdr->uid as a member;
// *linked (when given) is set to true when the member link was made now,
// that is when the datastore did not list the node before.
int DatastoreCreate(const Hdr *hdr, const DatastoreEntry *dse, bool *linked = nullptr);
// Removes the member link; the last member removes the whole datastore.
int DatastoreUpdate_UnrefNode(const char *dsuuid, const char *nodeuuid);
// Takes node `nodeuuid` out of the member list of every datastore but
// `keep`, each under its own lock (taken here, one at a time; the caller
// holds none): for a node that records no datastore, whose own word is that
// it belongs to `keep`.  0, or -1 at the first failure.
int DatastoreUpdate_UnrefNodeElsewhere(const char *keep, const char *nodeuuid);
// Fills *dse from disk.
int DatastoreLoad(const char *dsuuid, DatastoreEntry *dse);

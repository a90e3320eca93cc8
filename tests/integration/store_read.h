// Reading back what a daemon left in its object store (or any file tree),
// for checks in tests:
//
//     using namespace store_read;
//     EXPECT_EQ(slurp(work + "/Node/12/vendor"), "Varn\n");
//     EXPECT_TRUE(present(work + "/Node/12/vdisks/vd01"));   // a link counts as itself
//     EXPECT_EQ(listing(work + "/VDisk"), (std::set<std::string>{"vd01"}));
//
// A missing file reads as "", a missing directory as no names.
#pragma once

#include <set>
#include <string>

namespace store_read {

// The whole content of the file at path; "" when it cannot be read.
std::string slurp(const std::string &path);

// Whether an entry exists at path, without following a final link (a
// dangling link is present).
bool present(const std::string &path);

// The entry names in directory dir; empty when it does not exist.
std::set<std::string> listing(const std::string &dir);

}  // namespace store_read

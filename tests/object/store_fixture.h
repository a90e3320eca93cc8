// Shared fixture for object-store tests.
//
// Every test derived from StoreTest gets a fresh directory base() and the
// work directory work() = base() + "/DB", which exists but is empty; work()
// is set into cfg_work_directory and the three lock timeouts are set to their
// default of 750 ms (a test may change them; SetUp restores them).  TearDown
// removes base() with everything below it.
//
// The test main moves the process into a private /tmp, so lock files made
// here meet no other test program; within one program, use node ids and
// uuids no other test uses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "daemon/config.h"  // tests set cfg_work_directory and the lock timeouts

class StoreTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string &base() const { return base_; }
    const std::string &work() const { return work_; }
    // work() + "/" + rel.
    std::string at(const std::string &rel) const { return work_ + "/" + rel; }

private:
    std::string base_;
    std::string work_;
};

// Log capture: everything logged (and written to stderr) between the two
// calls.  Lines look like "marlo-test[pid]: error: AttrLoad(): Empty file x".
void capture_log();
std::string captured_log();
// Number of (non-overlapping) occurrences of needle in text.
int count_of(const std::string &text, const std::string &needle);

// The whole content of the file, or nullopt when it cannot be read.
std::optional<std::string> file_content(const std::string &path);
// Creates or replaces the file with exactly `content` (mode 0644).
void write_file(const std::string &path, const std::string &content);
// Creates a symbolic link path -> target.
void make_link(const std::string &target, const std::string &path);
// True when anything (a dangling link included) exists at path.
bool exists(const std::string &path);
// The link's target, or "" when path is not a symbolic link.
std::string link_target(const std::string &path);
// Names in the directory, sorted, without "." and ".."; empty when missing.
std::vector<std::string> list_dir(const std::string &path);
// Every entry below dir, sorted, as a path relative to dir: directories end
// in "/", symbolic links read "name -> target".  Empty when dir is missing.
std::vector<std::string> list_tree(const std::string &dir);

// Copies text into a fixed-width record field the way the wire carries it:
// NUL-filled, no terminator when the text fills the field.
template <size_t N>
void set_field(char (&field)[N], const char *text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

// Test tools for the operator tool: running marloctl, laying out object
// databases by hand, picking table rows out of its output.
//
//     TempDir tmp;
//     std::string conf = write_config(tmp.path("marlo.conf"), test_settings(tmp));
//     seed::write_node(tmp.path("DB"), {.id = 5});
//     Store db(tmp.path("DB"));
//     db.file("Node/5/ipaddr", "");              // caught half-written
//     CtlRun r = run_marloctl({"-C", conf, "status"}, tmp);
//     EXPECT_EQ(r.status, 0);
//     auto rows = table_rows(r.out, "Nodes");
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "integration/harness.h"

namespace ctl {

// Path of the marloctl binary: $MARLOCTL_BIN when set, else "marloctl"
// beside the daemon binary (harness::marlo_bin(), which CTest names through
// $MARLO_BIN): both are built at the root of the build tree.
std::string marloctl_bin();

// One finished run of marloctl.
struct CtlRun {
    std::optional<int> status;  // exit status; 128 + signal when killed; nullopt: hung
    std::string out;            // standard output
    std::string err;            // standard error
};

// Runs marloctl with args in tmp.dir() and waits for it (killing it after a
// generous time-out, which then shows as a missing status).
CtlRun run_marloctl(const std::vector<std::string> &args, const harness::TempDir &tmp);

// Changes an object database by hand below root (created on demand): the
// damage a test inflicts on a store laid out with store_seed.h.
class Store {
public:
    explicit Store(std::string root);
    const std::string &root() const { return root_; }
    // Creates root/rel with its parent directories.
    void dir(const std::string &rel) const;
    // Writes root/rel (parents created) with exactly content.
    void file(const std::string &rel, const std::string &content) const;
    // Creates the symbolic link root/rel -> target (parents created).
    void link(const std::string &rel, const std::string &target) const;
    // Removes root/rel and everything below it.
    void remove(const std::string &rel) const;

private:
    std::string root_;
};

// The rows of the table under the section title `title` (the header line
// and "(none)" excluded), each as printed.  Empty when there is no such
// section.
std::vector<std::string> table_rows(const std::string &out, const std::string &title);
// The header line of that table ("" when absent).
std::string table_header(const std::string &out, const std::string &title);
// The cells of a row: fields separated by two or more blanks.
std::vector<std::string> cells(const std::string &row);
// The lines under "Problems".
std::vector<std::string> problem_lines(const std::string &out);

// A parsed JSON value.  Looking up a missing key or index yields a null
// value, so a chain of lookups never throws.
struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool b = false;
    std::string text;  // String: the decoded value; Number: as written
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> fields;

    const Json &operator[](const std::string &key) const;
    const Json &operator[](size_t index) const;
    bool is_null() const { return type == Type::Null; }
    long long num() const { return std::stoll(text); }
};
// Parses text as one JSON document, strictly (RFC 8259: nothing but white
// space around the value, strings of valid UTF-8 without raw control
// characters).  nullopt with *out set, else what is wrong and where.
std::optional<std::string> parse_json(const std::string &text, Json *out);
// Path of a program in $PATH ("" when not installed).
std::string which(const std::string &program);
// Runs program with args, text on its standard input; exit status and
// standard error.
struct ToolRun {
    int status = -1;
    std::string err;
};
ToolRun run_with_input(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input, const harness::TempDir &tmp);

}  // namespace ctl

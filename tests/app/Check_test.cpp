// The report of tarnwk --check (CheckHosts): small documents and the exact lines their report
// holds, each row for one thing the report must tell right.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uOptimize.h"

namespace {

// The report's lines, from the first that equals lines[0], must read lines exactly.
void ExpectLines(const std::string& report, const std::vector<std::string>& lines) {
  std::vector<std::string> all;
  for (size_t at = 0; at < report.size();) {
    const size_t end = report.find('\n', at);
    all.push_back(report.substr(at, end - at));
    at = end == std::string::npos ? report.size() : end + 1;
  }
  size_t first = 0;
  while (first < all.size() && all[first] != lines.front())
    ++first;
  ASSERT_LT(first, all.size()) << "no line \"" << lines.front() << "\" in\n" << report;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_LT(first + i, all.size()) << report;
    EXPECT_EQ(all[first + i], lines[i]) << report;
  }
}

} // namespace

TEST(Check, ReportLines) {
  const std::string longLine = "not an entry " + std::string(60, 'x');
  struct Row {
    const char* Name;
    std::string Text;
    std::vector<std::string> Lines;
    bool Dedupe = false;
  };
  const Row rows[] = {
      {"sizes before and after, the kept commented-out entry",
       "# list\r\n0.0.0.0 a\r\n0.0.0.0 b\r\n#0.0.0.0 c\r\n",
       {"Lines: 4 -> 2", "Bytes: 42 -> 25",
        "Entries: 2 lines, 2 names, 1 IPv4 and 0 IPv6 addresses", "Commented-out entries kept: 1"}},
      {"each kind of dropped line, with its line and text",
       "# a comment\n\n" + longLine + "\n0.0.0.0 we*b ok\n127.0.0.1 localhost LocalHost x\n",
       {"Dropped:", "  invalid lines: 1",
        "    line 3: not an entry " + std::string(47, 'x') + "...",
        "  names with forbidden characters: 1", "    line 4: 0.0.0.0 we*b ok",
        "  localhost names: 2", "    line 5: 127.0.0.1 localhost LocalHost x",
        "  comment and blank lines: 2", "    line 1: # a comment", "    line 2:"}},
      {"a repeat, its letters in another case",
       "0.0.0.0 a.example\n# x\n0.0.0.0 b.example A.Example\n",
       {"Repeated names (again under the same address): 1",
        "    line 3: A.Example under 0.0.0.0, first on line 1",
        "Names under more than one address: 0"}},
      {"a repeat under another text of the same address",
       "::1 a\n0:0::1 a\n",
       {"Repeated names (again under the same address): 1",
        "    line 2: a under ::1, first on line 1"}},
      {"--dedupe: the repeats go, the result is smaller",
       "0.0.0.0 a\n0.0.0.0 A\n0.0.0.0 b a\n",
       {"Lines: 3 -> 1", "Bytes: 32 -> 12"},
       true},
      {"--dedupe tells that they went",
       "0.0.0.0 a\n0.0.0.0 A\n",
       {"Repeated names (again under the same address): 1, removed"},
       true},
      {"two addresses, the resolution unchanged",
       "10.0.0.1 x\n10.0.0.2 x\n",
       {"Names under more than one address: 1",
        "    x (IPv4): 10.0.0.1 (line 1), 10.0.0.2 (line 2)",
        "Names the merge makes resolve to another address: 0"}},
      {"the merge changes where a name resolves; line numbers count dropped lines",
       "# list\n\n10.0.0.1 a\n10.0.0.2 X\n10.0.0.1 x\n",
       {"Names under more than one address: 1",
        "    X (IPv4): 10.0.0.2 (line 4), 10.0.0.1 (line 5)",
        "Names the merge makes resolve to another address: 1",
        "    X (IPv4): 10.0.0.2 (line 4) -> 10.0.0.1 (line 5)"}},
      {"distinct addresses by family",
       "10.0.0.1 a\nfd00::1 x\n10.0.0.1 x\nfd00::2 y\n::1 a\nfd00::2 x\n",
       {"Entries: 6 lines, 6 names, 1 IPv4 and 3 IPv6 addresses", "Commented-out entries kept: 0"}},
      {"a text the resolver reads otherwise: no repeat, nothing moved, nothing removed",
       "..1.2.3.4 a\n1.2.3.4 a\n5.6.7.8 b\n..5.6.7.8 c\n5.6.7.8 c\n",
       {"Lines: 5 -> 4", "Bytes: 54 -> 46",
        "Entries: 3 lines, 3 names, 2 IPv4 and 0 IPv6 addresses"},
       true},
      {"either family asked: the first line of either decides",
       "10.0.0.1 a\nfd00::1 x\n10.0.0.1 x\n",
       {"Names under more than one address: 0",
        "Names the merge makes resolve to another address: 1",
        "    x (either family): fd00::1 (line 2) -> 10.0.0.1 (line 3)"}},
      {"IPv4 asked: a mapped IPv6 line answers as IPv4, the IPv6 loopback as 127.0.0.1",
       "10.0.0.1 a\n::ffff:10.0.0.2 x\n10.0.0.1 x\n127.0.0.1 b\n::1 y\n127.0.0.1 y\n",
       {"Names the merge makes resolve to another address: 3",
        "    x (IPv4): ::ffff:10.0.0.2 (line 2) -> 10.0.0.1 (line 3)",
        "    x (either family): ::ffff:10.0.0.2 (line 2) -> 10.0.0.1 (line 3)",
        "    y (either family): ::1 (line 5) -> 127.0.0.1 (line 6)"}},
      {"a name that is an address text is never looked up",
       "10.0.0.1 a\n10.0.0.2 1.2.3.4 127.1\n10.0.0.1 1.2.3.4 127.1\n",
       {"Names under more than one address: 0",
        "Names the merge makes resolve to another address: 0"}},
      {"lines kept apart, lone CRs",
       "0 a.test\n0.0.0.0 b.test\n127.0.0.01 c\r1.2.3.4 d\n",
       {"Commented-out entries kept: 0", "Kept apart: the system reads no address in 2 lines",
        "    line 1: 0 a.test", "    line 3: 127.0.0.01 c?1.2.3.4 d",
        "CRs inside lines, read as blanks (as glibc reads them): 1", "Dropped:"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TOptimizeOptions options;
    options.Silent = true;
    options.Dedupe = row.Dedupe;
    options.LineBreak = TLineBreak::None; // as the Linux program: the lines end as read
    options.LineRules = TLineRules::Glibc;
    TOptimizeSource source;
    source.Bytes = &row.Text;
    std::string report;
    ASSERT_EQ(CheckHosts(0, source, options, report), TOptimizeOutcome::Checked);
    ExpectLines(report, row.Lines);
  }
}

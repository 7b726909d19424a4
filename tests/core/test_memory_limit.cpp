// The process's memory limit: the figures read from a stand-in file system (meminfo, status,
// cgroup v1 and v2 hierarchies as the mount table names them), the choice of the smallest
// limit after its margins, and the GB figures of the messages.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "core/MemoryLimit.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::ScratchFolder;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

/// A stand-in root with meminfo and status; the cgroup files are added per case.
void writeProc(const fs::path& root) {
    write(root / "proc/meminfo",
          "MemTotal:       24000000 kB\nMemFree:        1000 kB\nMemAvailable:   20000000 kB\n");
    write(root / "proc/self/status",
          "Name:\tostrel-batch\nVmPeak:\t  400000 kB\nVmSize:\t  300000 kB\nVmData:\t  100000 kB\n");
}

const char* const kMountInfoV1 =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
const char* const kMountInfoV2 =
    "31 23 0:28 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST(MemoryFacts, ProcFilesGiveTotalAvailableAndWhatTheProcessMaps) {
    ScratchFolder root("memory-proc");
    writeProc(root.path());
    const MemoryFacts facts = readMemoryFacts(root.path());
    EXPECT_EQ(facts.physical, 24000000 * uint64_t(1024));
    EXPECT_EQ(facts.available, 20000000 * uint64_t(1024));
    EXPECT_EQ(facts.addressSpaceUsed, 300000 * uint64_t(1024));
    EXPECT_EQ(facts.dataUsed, 100000 * uint64_t(1024));
    EXPECT_FALSE(facts.cgroupRoom) << "no cgroup files";
}

TEST(MemoryFacts, CgroupRoomIsTheSmallestOfTheHierarchyLessUsageWithoutInactiveFiles) {
    struct Case {
        const char* name;
        const char* mountInfo;
        const char* selfCgroup;
        std::vector<std::pair<std::string, std::string>> files;  // below the root
        std::optional<uint64_t> room;
    };
    const std::string v1 = "sys/fs/cgroup/memory/";
    const std::string v2 = "sys/fs/cgroup/";
    const Case cases[] = {
        {"v1 limited leaf",
         kMountInfoV1,
         "4:memory:/jobs/a\n3:cpu:/\n",
         {{v1 + "jobs/a/memory.limit_in_bytes", "2147483648\n"},
          {v1 + "jobs/a/memory.usage_in_bytes", "1073741824\n"},
          {v1 + "jobs/a/memory.stat", "cache 5\ninactive_file 99\ntotal_inactive_file 268435456\n"},
          {v1 + "jobs/memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "jobs/memory.usage_in_bytes", "1073741824\n"},
          {v1 + "memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "memory.usage_in_bytes", "5\n"}},
         2 * kGiB - (kGiB - 256 * kMiB)},
        {"v1 parent limit smaller than the leaf's",
         kMountInfoV1,
         "4:memory:/jobs/a\n",
         {{v1 + "jobs/a/memory.limit_in_bytes", "4294967296\n"},
          {v1 + "jobs/a/memory.usage_in_bytes", "1073741824\n"},
          {v1 + "jobs/memory.limit_in_bytes", "1610612736\n"},
          {v1 + "jobs/memory.usage_in_bytes", "1073741824\n"}},
         512 * kMiB},
        {"v1 unlimited everywhere", kMountInfoV1, "4:memory:/jobs/a\n",
         {{v1 + "jobs/a/memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "jobs/a/memory.usage_in_bytes", "1073741824\n"}},
         std::nullopt},
        {"v1 usage above the limit", kMountInfoV1, "4:memory:/jobs/a\n",
         {{v1 + "jobs/a/memory.limit_in_bytes", "1000\n"},
          {v1 + "jobs/a/memory.usage_in_bytes", "2000\n"}},
         0},
        {"v2 leaf",
         kMountInfoV2,
         "0::/user.slice/job.scope\n",
         {{v2 + "user.slice/job.scope/memory.max", "3221225472\n"},
          {v2 + "user.slice/job.scope/memory.current", "1073741824\n"},
          {v2 + "user.slice/job.scope/memory.stat", "anon 1\nfile 2\ninactive_file 536870912\n"},
          {v2 + "user.slice/memory.max", "max\n"},
          {v2 + "user.slice/memory.current", "1073741824\n"}},
         3 * kGiB - 512 * kMiB},
        {"v2 limited parent",
         kMountInfoV2,
         "0::/user.slice/job.scope\n",
         {{v2 + "user.slice/job.scope/memory.max", "max\n"},
          {v2 + "user.slice/job.scope/memory.current", "1073741824\n"},
          {v2 + "user.slice/memory.max", "2147483648\n"},
          {v2 + "user.slice/memory.current", "1610612736\n"}},
         512 * kMiB},
        {"v2 in a cgroup namespace: the mount's own files",
         kMountInfoV2,
         "0::/../../elsewhere\n",
         {{v2 + "memory.max", "1073741824\n"}, {v2 + "memory.current", "268435456\n"}},
         768 * kMiB},
        {"v2 mount whose root is the process's cgroup",
         "40 23 0:28 /kube/pod7 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         "0::/kube/pod7\n",
         {{v2 + "memory.max", "1073741824\n"}, {v2 + "memory.current", "0\n"}},
         kGiB},
        {"no memory controller mounted", "31 23 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n",
         "4:memory:/jobs/a\n", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        ScratchFolder root("memory-cgroup");
        writeProc(root.path());
        write(root / "proc/self/mountinfo", c.mountInfo);
        write(root / "proc/self/cgroup", c.selfCgroup);
        for (const auto& [file, text] : c.files) write(root / file, text);
        EXPECT_EQ(readMemoryFacts(root.path()).cgroupRoom, c.room) << c.name;
    }
}

TEST(MemoryLimit, TheSmallestLimitAfterItsMarginsNamesItsSource) {
    MemoryFacts base;
    base.physical = 24 * kGiB;
    base.available = 20 * kGiB;
    const double margin2 = kBaseMarginBytes + 2 * kThreadMarginBytes;
    struct Case {
        const char* name;
        MemoryFacts facts;
        double bytes;
        const wchar_t* source;
    };
    MemoryFacts as = base;
    as.addressSpaceLimit = 3 * kGiB;
    as.addressSpaceUsed = 300 * kMiB;
    MemoryFacts data = as;
    data.dataLimit = 2 * kGiB;
    data.dataUsed = 100 * kMiB;
    MemoryFacts cgroup = data;
    cgroup.cgroupRoom = 1 * kGiB;
    MemoryFacts tiny = base;
    tiny.addressSpaceLimit = 100 * kMiB;
    tiny.addressSpaceUsed = 90 * kMiB;
    MemoryFacts noAvailable;
    noAvailable.physical = 8 * kGiB;
    const Case cases[] = {
        {"available memory", base, kAvailableShare * 20 * kGiB, L"available memory"},
        {"address space", as, 3.0 * kGiB - 300 * kMiB - margin2, L"address-space limit"},
        {"data segment", data, 2.0 * kGiB - 100 * kMiB - margin2, L"data-segment limit"},
        {"cgroup", cgroup, 1.0 * kGiB - kBaseMarginBytes, L"cgroup memory limit"},
        {"nothing left", tiny, 0.0, L"address-space limit"},
        {"physical memory alone", noAvailable, 8.0 * kGiB, L"physical memory"},
        {"nothing known", MemoryFacts{}, HUGE_VAL, L"physical memory"},
    };
    for (const Case& c : cases) {
        const MemoryLimit limit = smallestMemoryLimit(c.facts, 2);
        EXPECT_EQ(limit.bytes, c.bytes) << c.name;
        EXPECT_EQ(limit.source, c.source) << c.name;
    }
    // Every worker thread takes its margin off the address space.
    EXPECT_EQ(smallestMemoryLimit(as, 0).bytes - 2 * kThreadMarginBytes,
              smallestMemoryLimit(as, 2).bytes);

    // What libraries map later counts under the address-space and data limits, not under the
    // memory the kernel or a cgroup would still give (reserved, hardly touched).
    const double later = 512.0 * kMiB;
    struct Later {
        const char* name;
        MemoryFacts facts;
        double bytes;
        const wchar_t* source;
    };
    MemoryFacts roomy = cgroup;
    roomy.cgroupRoom = 1400 * kMiB;  // 1336 MiB after its margin
    const Later withLater[] = {
        {"address space", as, 3.0 * kGiB - 300 * kMiB - margin2 - later, L"address-space limit"},
        {"data segment", data, 2.0 * kGiB - 100 * kMiB - margin2 - later, L"data-segment limit"},
        {"the data segment falls below the cgroup", roomy,
         2.0 * kGiB - 100 * kMiB - margin2 - later, L"data-segment limit"},
        {"available memory", base, kAvailableShare * 20 * kGiB, L"available memory"},
        {"cgroup", cgroup, 1.0 * kGiB - kBaseMarginBytes, L"cgroup memory limit"},
    };
    for (const Later& c : withLater) {
        const MemoryLimit limit = smallestMemoryLimit(c.facts, 2, later);
        EXPECT_EQ(limit.bytes, c.bytes) << c.name;
        EXPECT_EQ(limit.source, c.source) << c.name;
    }
    // Without the later mappings the cgroup is the smaller one.
    EXPECT_EQ(smallestMemoryLimit(roomy, 2).source, L"cgroup memory limit");
}

// Processes that share a machine each count on an even share of its memory and its cgroups'
// room; the address-space and data limits are every process's own.
TEST(MemoryLimit, ProcessesOnOneMachineShareItsMemoryButNotTheirOwnLimits) {
    MemoryFacts machine;
    machine.physical = 24 * kGiB;
    machine.available = 20 * kGiB;
    MemoryFacts cgroup = machine;
    cgroup.cgroupRoom = 8 * kGiB;
    MemoryFacts own = machine;
    own.dataLimit = 4 * kGiB;
    own.dataUsed = 0;
    MemoryFacts noAvailable;
    noAvailable.physical = 8 * kGiB;
    const double margin = kBaseMarginBytes + 2 * kThreadMarginBytes;
    struct Case {
        const char* name;
        MemoryFacts facts;
        int sharedBy;
        double bytes;
        const wchar_t* source;
    };
    const Case cases[] = {
        {"one process", machine, 1, kAvailableShare * 20 * kGiB, L"available memory"},
        {"none given counts as one", machine, 0, kAvailableShare * 20 * kGiB,
         L"available memory"},
        {"four on the machine", machine, 4, kAvailableShare * 5 * kGiB,
         L"available memory shared by 4 processes"},
        {"the cgroup's room", cgroup, 2, (8.0 * kGiB - kBaseMarginBytes) / 2,
         L"cgroup memory limit shared by 2 processes"},
        {"physical memory", noAvailable, 4, 2.0 * kGiB, L"physical memory shared by 4 processes"},
        // 4 GB of its own beats a fifth of 18 GB, not a fourth.
        {"own data limit, two", own, 2, 4.0 * kGiB - margin, L"data-segment limit"},
        {"own data limit, five", own, 5, kAvailableShare * 4 * kGiB,
         L"available memory shared by 5 processes"},
    };
    for (const Case& c : cases) {
        MemoryFacts facts = c.facts;
        facts.sharedBy = c.sharedBy;
        const MemoryLimit limit = smallestMemoryLimit(facts, 2);
        EXPECT_DOUBLE_EQ(limit.bytes, c.bytes) << c.name;
        EXPECT_EQ(limit.source, c.source) << c.name;
    }
}

TEST(MemoryLimit, ThisProcessHasOneWithinItsMachine) {
    const MemoryLimit limit = processMemoryLimit(1);
    const MemoryFacts facts = readMemoryFacts();
    ASSERT_TRUE(facts.physical);
    EXPECT_GT(limit.bytes, 0.0);
    EXPECT_LE(limit.bytes, double(*facts.physical));
}

TEST(MemoryLimit, GigabytesHaveThreeDigitsRoundedTheAskedWay) {
    const struct {
        double bytes;
        bool up;
        const wchar_t* text;
    } cases[] = {
        {3.0 * kGiB, true, L"3"},
        {3.0 * kGiB, false, L"3"},
        {8.0 * kMiB, false, L"0.00781"},
        {8.0 * kMiB, true, L"0.00782"},
        {1.2345 * kGiB, true, L"1.24"},
        {1.2345 * kGiB, false, L"1.23"},
        {153.2 * kGiB, true, L"154"},
        {1234.0 * kGiB, false, L"1230"},
        {0.0, true, L"0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatGigabytes(c.bytes, c.up), c.text) << c.bytes << (c.up ? " up" : " down");
}

}  // namespace
}  // namespace ostrel

// Crash, concurrency and damage drills on the real binaries: whatever
// happens, no half-made device, no lost device, no false status line. A
// `create` that dies between creation and registration leaves a phantom,
// as on Windows: listed, and removed as any device is.
#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace harness;

namespace {

const std::string CAMERA = "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}";
const std::string OWN_HWID = "ROOT\\VelmoRastixTest";
const std::string DESC = "Velmo-Rastix Test Device";
const std::string ID0 = "ROOT\\VELMORASTIXTEST\\0000";

unsigned drill_seed() {
    const char *env = std::getenv("DRILL_SEED");
    unsigned seed = env != nullptr ? static_cast<unsigned>(std::strtoul(env, nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::printf("drill seed %u (DRILL_SEED=%u repeats it)\n", seed, seed);
    return seed;
}

class Drill : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.path + "/tree";
    std::vector<std::vector<std::string>> foreign;

    void SetUp() override {
        ASSERT_EQ(
            run(pnpsim_exe(), {"add", "USB\\VID_0001&PID_0002\\5&1", "ROOT\\OTHER\\0000"}, root)
                .status,
            0);
        foreign = foreign_rows();
    }
    std::vector<std::vector<std::string>> foreign_rows() {
        std::vector<std::vector<std::string>> rows;
        for (auto &row : enum_tree(root)) {
            if (row[0].find("VELMORASTIXTEST") == std::string::npos) rows.push_back(row);
        }
        return rows;
    }
    // The tree is readable, every own device is whole or a phantom that
    // holds what was set on it so far, list agrees with the tree, and
    // nothing foreign was touched.
    void expect_sound_tree() {
        Result e = run(pnpsim_exe(), {"enum"}, root);
        ASSERT_EQ(e.status, 0) << e.err;
        EXPECT_EQ(e.err, "");
        std::vector<std::string> own;
        for (const auto &line : split(e.out, '\n')) {
            auto row = split(line, '\t');
            if (line.empty() || row[0].find("VELMORASTIXTEST") == std::string::npos) continue;
            own.push_back(row[0]);
            ASSERT_EQ(row.size(), 6U) << line;
            EXPECT_EQ(row[1], CAMERA) << line;
            bool phantom = row[5] == "phantom";
            EXPECT_TRUE(row[2] == OWN_HWID || (phantom && row[2].empty())) << line;
            EXPECT_EQ(row[3], DESC) << line;
            EXPECT_TRUE(phantom || row[5] == "registered") << line;
        }
        own.resize(std::min<std::size_t>(own.size(), 64));
        EXPECT_EQ(run(shamrig_exe(), {"list"}, root).out, preamble() + listed(own));
        EXPECT_EQ(foreign_rows(), foreign);
    }
    // `remove` until nothing of the tool's is left, every line a success;
    // at most `runs` times, for 64 devices a run.
    void remove_all(int runs) {
        for (int i = 0; i < runs && !own_ids(root).empty(); ++i) {
            Result r = run(shamrig_exe(), {"remove"}, root);
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(r.out.find("删除失败"), std::string::npos) << r.out;
        }
        ASSERT_TRUE(own_ids(root).empty()) << "still there after " << runs << " runs of remove";
        EXPECT_EQ(run(shamrig_exe(), {"list"}, root).out, preamble() + listed({}));
    }
    std::chrono::microseconds time_of(const std::vector<std::string> &args) {
        auto t0 = std::chrono::steady_clock::now();
        run(shamrig_exe(), args, root);
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - t0);
    }
};

TEST_F(Drill, KillingCreateAndRemoveAtRandomMomentsLosesNothing) {
    std::mt19937 rng(drill_seed());
    // Kill anywhere in a run's life: from before exec to after its last write.
    // The middle of five runs: a single run slowed or sped up by other work
    // on the machine would make every delay miss the runs it is to cut.
    std::vector<std::chrono::microseconds> creates;
    std::vector<std::chrono::microseconds> removes;
    for (int i = 0; i < 5; ++i) {
        creates.push_back(time_of({"create"}));
        removes.push_back(time_of({"remove"}));
    }
    std::sort(creates.begin(), creates.end());
    std::sort(removes.begin(), removes.end());
    auto create_us = creates[2];
    auto remove_us = removes[2];
    int killed = 0;
    const int trials = 240;
    for (int trial = 0; trial < trials; ++trial) {
        bool remove = trial % 3 == 2;
        auto span = (remove ? remove_us : create_us).count() * 6 / 5 + 1;
        auto delay = std::uniform_int_distribution<long long>(0, span)(rng);
        std::string log = dir.path + "/kill";
        pid_t pid = start(shamrig_exe(), {remove ? "remove" : "create"}, root, log);
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        ::kill(pid, SIGKILL);
        Result r = finish(pid, log);
        ASSERT_TRUE(r.status == 0 || r.status == 128 + SIGKILL) << r.status << r.out;
        killed += r.status == 128 + SIGKILL ? 1 : 0;
        if (trial % 20 == 19) {
            SCOPED_TRACE("after trial " + std::to_string(trial));
            expect_sound_tree();
        }
    }
    std::printf("%d trials, %d runs killed before they ended\n", trials, killed);
    EXPECT_GT(killed, trials / 4);
    EXPECT_LT(killed, trials);
    // The tree still takes devices, and remove takes every one away,
    // phantoms and all.
    ASSERT_EQ(run(shamrig_exe(), {"create"}, root).status, 0);
    remove_all(trials / 64 + 2);
    expect_sound_tree();
}

TEST_F(Drill, RemoveRacingCreatesNeverTellsAFalseStatus) {
    // Made to happen once: a create held before registration, its phantom
    // taken by a remove meanwhile.
    const std::string held = dir.path + "/held";
    pid_t creator = start(shamrig_exe(), {"create"}, root, held,
                          Options{{{"PNPSIM_PAUSE", "SetupDiCallClassInstaller:60000"},
                                   {"PNPSIM_RESUME", held + ".go"}},
                                  false});
    for (int i = 0; i < 500 && own_ids(root).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // What it printed so far is out already, and stays if it is killed.
    EXPECT_EQ(read_file(held + ".out"), preamble());
    EXPECT_EQ(run(shamrig_exe(), {"remove"}, root).out,
              preamble() + removing(1) + status(true, ID0));
    std::ofstream(held + ".go") << "go\n";
    Result held_create = finish(creator, held, 10);
    EXPECT_EQ(held_create.status, 1);
    EXPECT_EQ(held_create.out, preamble() + "  [错误] 注册设备失败 3758096907（需要管理员权限）\n");
    EXPECT_TRUE(own_ids(root).empty());
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int i = 0; i < 8; ++i) ASSERT_EQ(run(shamrig_exe(), {"create"}, root).status, 0);
        std::vector<pid_t> creates;
        std::vector<pid_t> lists;
        for (int i = 0; i < 12; ++i) {
            creates.push_back(
                start(shamrig_exe(), {"create"}, root, dir.path + "/c" + std::to_string(i)));
        }
        pid_t remover = start(shamrig_exe(), {"remove"}, root, dir.path + "/r");
        for (int i = 0; i < 4; ++i) {
            lists.push_back(
                start(shamrig_exe(), {"list"}, root, dir.path + "/l" + std::to_string(i)));
        }
        // A create whose phantom the remove took away before it was
        // registered fails at that step, and leaves nothing.
        std::size_t created = 0;
        std::size_t refused = 0;
        const std::string gone = "失败 3758096907";
        for (std::size_t i = 0; i < creates.size(); ++i) {
            Result r = finish(creates[i], dir.path + "/c" + std::to_string(i));
            bool ok = r.status == 0 &&
                      r.out.find("  ✔ 已创建：ROOT\\VELMORASTIXTEST\\") == preamble().size();
            bool lost = r.status == 1 &&
                        (r.out == preamble() + "  [错误] 设置 HardwareID " + gone + "\n" ||
                         r.out == preamble() + "  [错误] 注册设备" + gone + "（需要管理员权限）\n");
            EXPECT_TRUE(ok || lost) << r.status << r.out;
            created += ok ? 1 : 0;
            refused += lost ? 1 : 0;
        }
        for (std::size_t i = 0; i < lists.size(); ++i) {
            Result r = finish(lists[i], dir.path + "/l" + std::to_string(i));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out.rfind(preamble() + "  本工具创建的假设备：", 0), 0U) << r.out;
        }
        Result r = finish(remover, dir.path + "/r");
        EXPECT_EQ(r.status, 0);
        // Only this remove takes devices out, so no line may say it failed,
        // and what is left is what was made less what it removed, the
        // phantoms of refused creates among them.
        EXPECT_EQ(r.out.find("删除失败"), std::string::npos) << r.out;
        std::size_t removed = 0;
        for (std::size_t at = 0; (at = r.out.find("✔ 已删除", at)) != std::string::npos; ++at) {
            ++removed;
        }
        EXPECT_EQ(r.out.find("  找到 " + std::to_string(removed) + " 个"), preamble().size())
            << r.out;
        EXPECT_EQ(own_ids(root).size() + removed, 8 + created + refused);
        expect_sound_tree();
        remove_all(2);
    }
}

void write(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST_F(Drill, DamagedTreeIsSkippedNotFatal) {
    ASSERT_EQ(run(shamrig_exe(), {"create"}, root).status, 0);
    const std::string cam = root + "/devices/" + CAMERA;
    const std::string sys = root + "/devices/{4D36E97D-E325-11CE-BFC1-08002BE10318}";
    write(cam + "/ROOT\\VELMORASTIXTEST\\0001", "pnpsim-device 1\nproperty 1 7 52");  // cut off
    write(cam + "/ROOT\\VELMORASTIXTEST\\0002", "");
    write(cam + "/ROOT\\VELMORASTIXTEST\\" + std::string(190, '9'), "");  // over 199
    write(cam + "/ROOT\\VELMORASTIXTEST\\\xff\xfe", "");                  // not UTF-8
    write(cam + "/root\\velmorastixtest\\0003", "");                      // not as kept
    write(cam + "/ROOT\\VELMORASTIXTEST\\%zz", "");
    ::mkdir((cam + "/ROOT\\VELMORASTIXTEST\\0004").c_str(), 0755);  // not a file
    ::mkdir((root + "/devices/not-a-class").c_str(), 0755);
    write(root + "/devices/stray-file", "x");
    write(sys + "/ROOT\\SYSTEM\\0001", std::string(4096, '\0'));
    Result e = run(pnpsim_exe(), {"enum"}, root);
    EXPECT_EQ(e.status, 0);
    for (const char *named : {"not-a-class", "stray-file", "\xff\xfe", "root\\velmorastixtest",
                              "%zz", "ROOT\\VELMORASTIXTEST\\0004", "ROOT\\VELMORASTIXTEST\\0001",
                              "ROOT\\VELMORASTIXTEST\\0002", "ROOT\\SYSTEM\\0001"}) {
        EXPECT_NE(e.err.find(named), std::string::npos) << named << "\n" << e.err;
    }
    // A device whose registry data is damaged still exists by its ID: it is
    // listed and can be removed, as with a damaged registry key.
    const std::vector<std::string> ids = {ID0, "ROOT\\VELMORASTIXTEST\\0001",
                                          "ROOT\\VELMORASTIXTEST\\0002"};
    EXPECT_EQ(run(shamrig_exe(), {"list"}, root).out, preamble() + listed(ids));
    std::string removed = preamble() + removing(3);
    for (const auto &id : ids) removed += status(true, id);
    EXPECT_EQ(run(shamrig_exe(), {"remove"}, root).out, removed);
    EXPECT_EQ(run(shamrig_exe(), {"create"}, root).status, 0);
}

// As the plain user 65534: a lock of MODE on every file and directory of the
// tree it can open, held until STOP appears; each one held is named first.
const char *const LOCK_HOLDER = R"(mode=$1 stop=$2; shift 2
for p in "$@"; do
    if [ -r "$p" ] && exec {fd}<"$p"; then flock "$mode" -n "$fd" && echo "held $p"; fi
done
echo ready
for i in $(seq 600); do [ -e "$stop" ] && break; sleep 0.05; done)";

TEST_F(Drill, APlainUserCannotStallTheWriters) {
    if (!is_root()) GTEST_SKIP() << "needs root to run as a plain user";
    const std::string lock = root + "/lock";
    // A tree of this version, and one of an earlier version whose lock file
    // anyone could open; a shared and an exclusive lock on each.
    for (bool earlier : {false, true}) {
        for (const std::string mode : {"--shared", "--exclusive"}) {
            SCOPED_TRACE((earlier ? "earlier tree, " : "tree, ") + mode);
            if (earlier) {
                ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
            }
            // A log of its own: an earlier holder's "ready" must not be read.
            const std::string stop = dir.path + "/stop";
            const std::string log = dir.path + "/holder" + std::to_string(earlier) + mode;
            std::vector<std::string> args = {"-c", LOCK_HOLDER, "holder", mode, stop, root};
            for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
                args.push_back(e.path().string());
            }
            pid_t holder = start("bash", args, root, log, Options{{}, true});
            for (int i = 0; i < 1000 && read_file(log + ".out").find("ready") == std::string::npos;
                 ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::string held = read_file(log + ".out");
            ASSERT_NE(held.find("ready"), std::string::npos) << held;
            EXPECT_NE(held.find("held " + root + "/devices\n"), std::string::npos) << held;
            EXPECT_EQ(held.find("held " + lock + "\n") != std::string::npos, earlier) << held;

            std::string out = dir.path + "/writer";
            Result c = finish(start(shamrig_exe(), {"create"}, root, out), out, 10);
            EXPECT_EQ(c.status, 0);
            EXPECT_EQ(c.out, preamble() + created(ID0));
            Result r = finish(start(shamrig_exe(), {"remove"}, root, out), out, 10);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, preamble() + removing(1) + status(true, ID0));
            // Readers stay open to everyone.
            EXPECT_EQ(run(shamrig_exe(), {"list"}, root, Options{{}, true}).out,
                      BANNER + WARNING + listed({}));

            std::ofstream(stop) << "stop\n";
            Result h = finish(holder, log, 10);
            EXPECT_EQ(h.status, 0) << h.err;
            ::unlink(stop.c_str());
            struct stat st = {};
            ASSERT_EQ(::stat(lock.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600U);
            expect_sound_tree();
        }
    }
}

TEST_F(Drill, AHugeHostileWordIsEchoedWhole) {
    // Close to the 128 KiB a Linux argument may hold: text, controls and
    // broken UTF-8, each echoed as the UTF-8 the tool decoded it to.
    std::string word;
    std::string echoed;
    const std::pair<std::string, std::string> pieces[] = {
        {"abc", "abc"},
        {"中文", "中文"},
        {"\x1b[2J\r\t\x07", "\x1b[2J\r\t\x07"},
        {"\xff", "\xEF\xBF\xBD"},
        {"\xE4\xB8", "\xEF\xBF\xBD"},
        {"%ls%n%s", "%ls%n%s"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    while (word.size() < 100000) {
        for (const auto &[in, out] : pieces) {
            word += in;
            echoed += out;
        }
    }
    Result r = run(shamrig_exe(), {word}, root);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out == preamble() + "  未知参数：" + echoed + "\n")
        << "output of " << r.out.size() << " bytes differs";
}

}  // namespace

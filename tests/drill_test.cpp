// Crash and concurrency drills on the real binaries: whatever happens, no
// half-made device, no lost device, no false status line. A
// `create` that dies between creation and registration leaves a phantom,
// as on Windows: listed, and removed as any device is.
#include "device/fake_device.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

using namespace harness;

namespace {

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
            EXPECT_TRUE(row[2] == HARDWARE_ID || (phantom && row[2].empty())) << line;
            EXPECT_EQ(row[3], DESCRIPTION) << line;
            EXPECT_TRUE(phantom || row[5] == "registered") << line;
        }
        own.resize(std::min<std::size_t>(own.size(), MAX_MINE));
        EXPECT_EQ(run(shamrig_exe(), {"list"}, root).out, preamble() + listed(own));
        EXPECT_EQ(foreign_rows(), foreign);
    }
    // `remove` until nothing of the tool's is left, every device it finds
    // removed; at most `runs` times, for MAX_MINE devices a run.
    void remove_all(int runs) {
        for (int i = 0; i < runs && !own_ids(root).empty(); ++i) {
            std::vector<std::string> own = own_ids(root);
            own.resize(std::min<std::size_t>(own.size(), MAX_MINE));
            std::string all = removing(own.size());
            for (const auto &id : own) all += status(true, id);
            Result r = run(shamrig_exe(), {"remove"}, root);
            ASSERT_EQ(r.status, 0);
            EXPECT_EQ(r.out, preamble() + all);
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
    remove_all(trials / MAX_MINE + 2);
    expect_sound_tree();
}

TEST_F(Drill, ParallelCreatesGetDistinctDevices) {
    // Sixteen at once, with lists reading the tree meanwhile: every create
    // gets a device of its own, whole, and every list succeeds.
    std::vector<pid_t> creates;
    std::vector<pid_t> lists;
    for (int i = 0; i < 16; ++i) {
        creates.push_back(
            start(shamrig_exe(), {"create"}, root, dir.path + "/c" + std::to_string(i)));
        if (i % 4 == 0) {
            lists.push_back(
                start(shamrig_exe(), {"list"}, root, dir.path + "/l" + std::to_string(i)));
        }
    }
    std::set<std::string> made;
    for (std::size_t i = 0; i < creates.size(); ++i) {
        Result r = finish(creates[i], dir.path + "/c" + std::to_string(i));
        EXPECT_EQ(r.status, 0) << r.out;
        made.insert(r.out);
    }
    for (std::size_t i = 0; i < lists.size(); ++i) {
        Result r = finish(lists[i], dir.path + "/l" + std::to_string(4 * i));
        // Whatever it found so far, said whole.
        std::vector<std::string> ids;
        for (const auto &text : split(r.out, '\n')) {
            auto read = read_line(text);
            if (read && read->kind == Line::LIST_ITEM) ids.push_back(read->part);
        }
        EXPECT_EQ(r.out, preamble() + listed(ids));
    }
    EXPECT_EQ(made.size(), 16U);
    EXPECT_EQ(own_ids(root).size(), 16U);
    expect_sound_tree();
    remove_all(1);
}

}  // namespace

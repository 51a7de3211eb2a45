// The real shamrig and pnpsim binaries on a fresh device tree per test.
#include "device/fake_device.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

using namespace harness;

namespace {

class Cli : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.path + "/tree";

    Result shamrig(const std::vector<std::string> &args, const Options &opt = {}) {
        return run(shamrig_exe(), args, root, opt);
    }
    Result pnpsim(const std::vector<std::string> &args) { return run(pnpsim_exe(), args, root); }
};

// The tool's own devices, as enumerated: the first, the second and the
// last of all, one of another class, one whose name is inside its ID, one
// made by the tool, one added in lower case, and one as long as an ID may
// be; the system's devices lie between them.
const std::string LONGEST = "ZZZ\\VELMORASTIXTEST\\" + std::string(179, '9');
const std::vector<std::string> OWN = {
    "AAA\\VELMORASTIXTEST\\0",
    "AAB\\VELMORASTIXTEST\\1",
    "ROOT\\CAMERA\\XVELMORASTIXTESTX",
    ID0,
    "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7",
    LONGEST,
};
// Other vendors' devices whose IDs come as close to the name as they can
// without holding it: one letter short, and one letter changed. The first
// lies between the second and the third of the tool's own, so that the
// first two stand side by side, where an enumeration that skips one
// element shows.
const std::vector<std::string> NEAR_MISSES = {
    "AAC\\VELMORASTIXTES\\1",
    "ROOT\\XELMORASTIXTEST\\0000",
};

// One command run again and again, the n-th call the stand-in's platform
// makes for it failing with FAIL_CODE, until a run makes fewer than n calls.
struct Sweep {
    std::string word;
    bool terminal;
    std::string reached;  // every platform call the command makes
};

const std::string START =
    "SetConsoleOutputCP GetStdHandle GetConsoleMode OpenProcessToken GetTokenInformation "
    "CloseHandle ";
const std::string ENUM =
    "SetupDiGetClassDevsW SetupDiEnumDeviceInfo CM_Get_Device_IDW SetupDiDestroyDeviceInfoList ";
const std::vector<Sweep> SWEEPS = {
    {"remove", false, START + ENUM + "SetupDiSetClassInstallParamsW SetupDiCallClassInstaller"},
    {"list", true, START + ENUM + "WriteConsoleW"},
    {"list", false, START + ENUM},
    {"create", false,
     START + "SetupDiCreateDeviceInfoList SetupDiCreateDeviceInfoW SetupDiCallClassInstaller "
             "SetupDiSetDeviceRegistryPropertyW SetupDiOpenDevRegKey CM_Get_Device_IDW "
             "SetupDiDestroyDeviceInfoList"},
};

const std::string FAIL_CODE = "1234";
// What `create` says when a step up to registration fails with FAIL_CODE.
const std::map<std::string, std::string> CREATE_STEPS = {
    {"SetupDiCreateDeviceInfoList", line(Line::CREATE_LIST_FAILED, FAIL_CODE)},
    {"SetupDiCreateDeviceInfoW", line(Line::CREATE_INFO_FAILED, FAIL_CODE)},
    {"SetupDiSetDeviceRegistryPropertyW", line(Line::HARDWARE_ID_FAILED, FAIL_CODE)},
    {"SetupDiCallClassInstaller", line(Line::REGISTER_FAILED, FAIL_CODE)},
};

// The own devices a command may have found when `failed` failed: none
// when the set could not be had, what came before an enumeration cut
// short, all but one whose ID could not be read, or all.
std::vector<std::vector<std::string>> found_when(const std::string &failed) {
    std::vector<std::vector<std::string>> found = {OWN};
    for (std::size_t k = 0; k < OWN.size(); ++k) {
        std::vector<std::string> fewer = OWN;
        if (failed == "SetupDiEnumDeviceInfo") fewer.resize(k);
        if (failed == "CM_Get_Device_IDW") fewer.erase(fewer.begin() + static_cast<long>(k));
        found.push_back(fewer);
    }
    if (failed == "SetupDiGetClassDevsW") found.emplace_back();
    return found;
}

// Every output the command may rightly print when `failed` failed, with
// the head (banner, and the warning where it applies) before it.
std::set<std::string> rightly(const std::string &word, const std::string &failed,
                              const std::string &made, const std::string &head) {
    std::set<std::string> outs;
    if (word == "create") {
        auto step = CREATE_STEPS.find(failed);
        outs.insert(head + (step != CREATE_STEPS.end()      ? step->second
                            : failed == "CM_Get_Device_IDW" ? created("")
                                                            : created(made)));
        return outs;
    }
    for (const auto &found : found_when(failed)) {
        if (word == "list") outs.insert(head + listed(found));
        if (word == "remove") {
            std::string all = found.empty() ? NOTHING_FOUND : removing(found.size());
            for (const auto &id : found) all += status(true, id);
            outs.insert(head + all);
        }
    }
    // A device whose own removal failed, and only that one.
    const std::set<std::string> removal = {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo",
                                           "CM_Get_Device_IDW", "SetupDiSetClassInstallParamsW",
                                           "SetupDiCallClassInstaller"};
    for (std::size_t k = 0; word == "remove" && removal.count(failed) != 0 && k < OWN.size(); ++k) {
        std::string one = removing(OWN.size());
        for (std::size_t i = 0; i < OWN.size(); ++i) one += status(i != k, OWN[i]);
        outs.insert(head + one);
    }
    return outs;
}

// A console takes each message whole or not at all: a write refused loses
// that one message.
std::set<std::string> one_message_lost(const std::vector<std::string> &messages) {
    std::set<std::string> outs;
    for (std::size_t k = 0; k < messages.size(); ++k) {
        std::string out;
        for (std::size_t i = 0; i < messages.size(); ++i) out += i == k ? "" : messages[i];
        outs.insert(out);
    }
    return outs;
}

// One sweep a test, the longest first, so that a suite runs them side by side.
class EveryPlatformCall : public Cli, public ::testing::WithParamInterface<Sweep> {};

TEST_P(EveryPlatformCall, FailsInTurn) {
    const Sweep &sweep = GetParam();
    const std::string model = dir.path + "/model";
    ASSERT_EQ(run(pnpsim_exe(), {"add", "--class", CAMERA, OWN[0], OWN[2]}, model).status, 0);
    ASSERT_EQ(run(pnpsim_exe(),
                  {"add", OWN[1], "Usb\\Vid_1234&Pid_5678\\velmorastixtest-7", LONGEST,
                   NEAR_MISSES[0], NEAR_MISSES[1]},
                  model)
                  .status,
              0);
    ASSERT_EQ(run(shamrig_exe(), {"create"}, model).status, 0);
    ASSERT_EQ(own_ids(model), OWN);
    const auto rows_before = enum_tree(model);
    std::map<std::string, int> reached;  // each call, and the first n that failed it
    bool ended = false;
    for (int n = 1; n <= 1000 && !ended; ++n) {
        const std::string tree = dir.path + "/run";
        std::filesystem::remove_all(tree);
        std::filesystem::copy(model, tree, std::filesystem::copy_options::recursive);
        Options opt{{{"PNPSIM_FAIL", "*:" + FAIL_CODE + "@" + std::to_string(n)}}};
        opt.terminal = sweep.terminal;
        Result r = run(shamrig_exe(), {sweep.word}, tree, opt);
        const std::string said = "pnpsim: ";
        std::string failed =
            r.err.rfind(said, 0) == 0
                ? r.err.substr(said.size(), r.err.find(' ', said.size()) - said.size())
                : "";
        ended = failed.empty();
        reached.emplace(failed, n);
        SCOPED_TRACE(sweep.word + (sweep.terminal ? " on a terminal" : "") + ", call " +
                     std::to_string(n) + " failing: " + failed);
        std::string out = r.out;
        for (std::size_t at; (at = out.find('\r')) != std::string::npos;) out.erase(at, 1);

        // The tree afterwards: only whole devices, what was removed gone,
        // at most one device made, and nothing else changed.
        auto rows = enum_tree(tree);
        std::vector<std::vector<std::string>> kept;
        std::string made;
        for (const auto &row : rows) {
            EXPECT_EQ(row.back(), "registered") << row[0];
            bool removed = out.find(status(true, row[0])) != std::string::npos;
            EXPECT_FALSE(removed) << row[0] << " is still there";
            if (std::find(rows_before.begin(), rows_before.end(), row) == rows_before.end()) {
                EXPECT_TRUE(made.empty()) << row[0];
                made = row[0];
                EXPECT_EQ(sweep.word, "create") << row[0];
                EXPECT_EQ(row[1] + " " + row[2], CAMERA + " " + HARDWARE_ID) << row[0];
            } else {
                kept.push_back(row);
            }
        }
        for (const auto &row : rows_before) {
            bool removed = out.find(status(true, row[0])) != std::string::npos;
            bool there = std::find(kept.begin(), kept.end(), row) != kept.end();
            EXPECT_NE(removed, there) << row[0];
        }
        bool step = sweep.word == "create" && CREATE_STEPS.count(failed) != 0;
        EXPECT_EQ(r.status, step ? 1 : 0);
        EXPECT_EQ(made.empty(), step || sweep.word != "create");

        bool warned = !is_root() || failed == "OpenProcessToken" || failed == "GetTokenInformation";
        const std::string head = BANNER + (warned ? WARNING : "");
        std::set<std::string> outs = rightly(sweep.word, failed, made, head);
        if (failed == "WriteConsoleW") {
            std::vector<std::string> messages = {
                BANNER, line(Line::LIST_COUNT, std::to_string(OWN.size()))};
            if (warned) messages.insert(messages.begin() + 1, WARNING);
            for (const auto &id : OWN) messages.push_back(line(Line::LIST_ITEM, id));
            outs = one_message_lost(messages);
        }
        EXPECT_EQ(outs.count(out), 1U) << out;
        if (HasFailure()) return;  // the first wrong run says enough
    }
    EXPECT_TRUE(ended) << "a run that made fewer calls than asked to fail";
    std::set<std::string> calls;
    std::string order;
    for (const auto &[call, n] : reached) {
        if (!call.empty()) calls.insert(call);
        order += " " + (call.empty() ? "(none)" : call) + "@" + std::to_string(n);
    }
    std::printf("%s%s:%s\n", sweep.word.c_str(), sweep.terminal ? " on a terminal" : "",
                order.c_str());
    auto expected = split(sweep.reached + " ", ' ');
    calls.insert("");  // where the list ends
    EXPECT_EQ(calls, std::set<std::string>(expected.begin(), expected.end()));
}
std::string sweep_name(const ::testing::TestParamInfo<Sweep> &info) {
    return info.param.word + (info.param.terminal ? "OnATerminal" : "");
}
INSTANTIATE_TEST_SUITE_P(Cli, EveryPlatformCall, ::testing::ValuesIn(SWEEPS), sweep_name);

TEST_F(Cli, ListAndRemoveTakeTheFirstSixtyFourOnly) {
    std::vector<std::string> ids;
    for (int i = 0; i < MAX_MINE + 6; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "ROOT\\VELMORASTIXTEST\\%04d", i);
        ids.emplace_back(id);
    }
    std::vector<std::string> add = {"add", "--class", CAMERA};
    add.insert(add.end(), ids.begin(), ids.end());
    ASSERT_EQ(pnpsim(add).status, 0);
    const std::vector<std::string> first(ids.begin(), ids.begin() + MAX_MINE);
    std::string removed = preamble() + removing(first.size());
    for (const auto &id : first) removed += status(true, id);
    EXPECT_EQ(shamrig({"list"}).out, preamble() + listed(first));
    EXPECT_EQ(shamrig({"remove"}).out, removed);
    std::string rest = preamble() + removing(6);
    for (std::size_t i = first.size(); i < ids.size(); ++i) rest += status(true, ids[i]);
    EXPECT_EQ(shamrig({"remove"}).out, rest);
    EXPECT_TRUE(own_ids(root).empty());
}

// Windows has no SIGPIPE: output into a pipe whose reader has gone is lost,
// and every command still does all it is for.
TEST_F(Cli, IntoAClosedPipeEveryCommandRunsToItsEnd) {
    Options closed;
    closed.closed_pipe = true;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(shamrig({"create"}, closed).status, 0);
    EXPECT_EQ(own_ids(root).size(), 2U);
    EXPECT_EQ(shamrig({"list"}, closed).status, 0);
    EXPECT_EQ(shamrig({"remove"}, closed).status, 0);
    EXPECT_TRUE(own_ids(root).empty());
}

TEST_F(Cli, ADeviceGoneBeforeItsTurnFailsAndTheNextIsRemoved) {
    for (int i = 0; i < 2; ++i) ASSERT_EQ(shamrig({"create"}).status, 0);
    // Held before the first device's turn, which is taken out meanwhile.
    const std::string log = dir.path + "/held";
    Options hold;
    hold.env = {{"PNPSIM_PAUSE", "SetupDiGetClassDevsW:60000@2"}, {"PNPSIM_RESUME", log + ".go"}};
    pid_t held = start(shamrig_exe(), {"remove"}, root, log, hold);
    const std::string waiting = preamble() + removing(2);
    for (int i = 0; i < 2500 && read_file(log + ".out") != waiting; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Out already, while the run waits: nothing the tool says is held back.
    EXPECT_EQ(read_file(log + ".out"), waiting);
    ASSERT_EQ(pnpsim({"remove", ID0}).status, 0);
    std::ofstream(log + ".go") << "go\n";
    EXPECT_EQ(finish(held, log).out, preamble() + removing(2) + status(false, ID0) +
                                         status(true, "ROOT\\VELMORASTIXTEST\\0001"));
}

}  // namespace

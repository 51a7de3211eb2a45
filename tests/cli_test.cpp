// The real shamrig and pnpsim binaries on a fresh device tree per test.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace harness;

namespace {

const std::string CAMERA = "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}";
const std::string ID0 = "ROOT\\VELMORASTIXTEST\\0000";
const std::string ID1 = "ROOT\\VELMORASTIXTEST\\0001";
const std::string ID2 = "ROOT\\VELMORASTIXTEST\\0002";

class Cli : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.path + "/tree";

    Result shamrig(const std::vector<std::string> &args, const Options &opt = {}) {
        return run(shamrig_exe(), args, root, opt);
    }
    Result pnpsim(const std::vector<std::string> &args) { return run(pnpsim_exe(), args, root); }
    Result shamrig_failing(const std::string &fail, const std::vector<std::string> &args) {
        return shamrig(args, Options{{{"PNPSIM_FAIL", fail}}, false});
    }
    void create_n(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(shamrig({"create"}).status, 0);
    }
};

struct Refusal {
    std::string fail;
    std::string message;
};

TEST_F(Cli, CreateRefusedUpToRegistrationLeavesNothing) {
    const std::vector<Refusal> cases = {
        {"SetupDiCreateDeviceInfoList", "  [错误] CreateDeviceInfoList 失败 31\n"},
        {"SetupDiCreateDeviceInfoW:3758096901", "  [错误] CreateDeviceInfo 失败 3758096901\n"},
        {"SetupDiSetDeviceRegistryPropertyW:87", "  [错误] 设置 HardwareID 失败 87\n"},
        {"SetupDiCallClassInstaller:5", "  [错误] 注册设备失败 5（需要管理员权限）\n"},
        {"SetupDiCallClassInstaller:4294967295",
         "  [错误] 注册设备失败 4294967295（需要管理员权限）\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fail);
        Result r = shamrig_failing(c.fail, {"create"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, preamble() + c.message);
        EXPECT_TRUE(own_ids(root).empty());
    }
}

TEST_F(Cli, TokenThatCannotBeAskedWarnsOnceAndTheRunGoesOn) {
    for (const std::string fail :
         {"OpenProcessToken", "GetTokenInformation", "OpenProcessToken,GetTokenInformation"}) {
        SCOPED_TRACE(fail);
        Result r = shamrig_failing(fail, {"list"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, BANNER + WARNING + listed({}));
    }
    Result r = shamrig_failing("GetTokenInformation", {"create"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, BANNER + WARNING + created(ID0));
}

TEST_F(Cli, PlainUserIsWarnedAndRefusedAndNothingIsWritten) {
    if (!is_root()) GTEST_SKIP() << "needs root to run as a plain user";
    create_n(1);
    auto before = enum_tree(root);
    const std::string head = BANNER + WARNING;
    Result r = shamrig({"create"}, Options{{}, true});
    EXPECT_EQ(r.status, 1);
    // Creating the element already writes the device node.
    EXPECT_EQ(r.out, head + CREATE_REFUSED);
    r = shamrig({"list"}, Options{{}, true});
    EXPECT_EQ(r.out, head + listed({ID0}));
    r = shamrig({"remove"}, Options{{}, true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head + removing(1) + status(false, ID0));
    EXPECT_EQ(enum_tree(root), before);
}

TEST_F(Cli, ListShowsOwnDevicesByIdWhateverTheirClassOrMaker) {
    EXPECT_EQ(shamrig({"list"}).out, preamble() + listed({}));
    create_n(3);
    ASSERT_EQ(pnpsim({"add", "USB\\VID_1234&PID_5678\\velmorastixtest-7", "ACPI\\VELMORASTIX\\1",
                      "ROOT\\OTHER\\0000"})
                  .status,
              0);
    ASSERT_EQ(pnpsim({"add", "--class", CAMERA, "ROOT\\CAMERA\\XVELMORASTIXTESTX"}).status, 0);
    const std::string five = preamble() + listed({"ROOT\\CAMERA\\XVELMORASTIXTESTX", ID0, ID1, ID2,
                                                  "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7"});
    EXPECT_EQ(shamrig({"list"}).out, five);
    // One ID that cannot be read, right after an own device's, counts as
    // nothing: it is not that device again.
    EXPECT_EQ(shamrig_failing("CM_Get_Device_IDW:13@7", {"list"}).out, five);
    EXPECT_EQ(shamrig_failing("SetupDiGetClassDevsW", {"list"}).out, preamble() + listed({}));
}

TEST_F(Cli, ListAndRemoveTakeTheFirstSixtyFourOnly) {
    std::vector<std::string> ids;
    for (int i = 0; i < 70; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "ROOT\\VELMORASTIXTEST\\%04d", i);
        ids.emplace_back(id);
    }
    std::vector<std::string> add = {"add", "--class", CAMERA};
    add.insert(add.end(), ids.begin(), ids.end());
    ASSERT_EQ(pnpsim(add).status, 0);
    const std::vector<std::string> first(ids.begin(), ids.begin() + 64);
    std::string removed = preamble() + removing(64);
    for (const auto &id : first) removed += status(true, id);
    EXPECT_EQ(shamrig({"list"}).out, preamble() + listed(first));
    EXPECT_EQ(shamrig({"remove"}).out, removed);
    std::string rest = preamble() + removing(6);
    for (std::size_t i = 64; i < 70; ++i) rest += status(true, ids[i]);
    EXPECT_EQ(shamrig({"remove"}).out, rest);
    EXPECT_TRUE(own_ids(root).empty());
}

TEST_F(Cli, RemoveTakesOutOwnDevicesOnly) {
    EXPECT_EQ(shamrig({"remove"}).out, preamble() + NOTHING_FOUND);
    auto system_devices = enum_tree(root);
    // Besides two of its own making: one that sorts before every other
    // device, one of another class, and one whose ID is as long as an ID
    // may be (199 characters).
    const std::string first = "AAA\\VELMORASTIXTEST\\0";
    const std::string usb = "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7";
    const std::string longest = "ROOT\\VELMORASTIXTEST\\" + std::string(178, 'L');
    ASSERT_EQ(pnpsim({"add", "ROOT\\OTHER\\0000", first, usb, longest}).status, 0);
    create_n(2);
    Result r = shamrig({"remove"});
    EXPECT_EQ(r.status, 0);
    std::string removed = preamble() + removing(5);
    for (const auto &id : {first, ID0, ID1, longest, usb}) removed += status(true, id);
    EXPECT_EQ(r.out, removed);
    EXPECT_EQ(shamrig({"list"}).out, preamble() + listed({}));
    ASSERT_EQ(pnpsim({"remove", "root\\other\\0000"}).status, 0);  // it was untouched
    EXPECT_EQ(enum_tree(root), system_devices);
    EXPECT_EQ(shamrig({"create"}).out, preamble() + created(ID0));  // freed again
}

TEST_F(Cli, RefusedRemovalSaysFailedAndKeepsEveryDevice) {
    create_n(2);
    const std::string head = preamble() + removing(2);
    const std::string neither = head + status(false, ID0) + status(false, ID1);
    // The first device lost (gone, or its fresh set refused); the second removed.
    const std::string second = head + status(false, ID0) + status(true, ID1);
    const std::vector<Refusal> cases = {
        {"SetupDiSetClassInstallParamsW", neither},
        {"SetupDiCallClassInstaller:5", neither},
        // Nothing can be enumerated, so nothing is found to remove.
        {"SetupDiEnumDeviceInfo", preamble() + NOTHING_FOUND},
        {"SetupDiGetClassDevsW@2", second},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fail);
        Result r = shamrig_failing(c.fail, {"remove"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.message);
        // What a run removed is gone; the rest is still there.
        EXPECT_EQ(own_ids(root).size(), c.message.find("✔") == std::string::npos ? 2U : 1U);
    }
    // A device that goes between the list and its turn is reported, and
    // the next is still removed: held before the first turn, the first
    // device taken out meanwhile.
    create_n(1);
    const std::string log = dir.path + "/held";
    pid_t held = start(
        shamrig_exe(), {"remove"}, root, log,
        Options{{{"PNPSIM_PAUSE", "SetupDiGetClassDevsW:60000@2"}, {"PNPSIM_RESUME", log + ".go"}},
                false});
    for (int i = 0; i < 500 && read_file(log + ".out").find("开始删除") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(pnpsim({"remove", ID0}).status, 0);
    std::ofstream(log + ".go") << "go\n";
    EXPECT_EQ(finish(held, log).out, second);
}

TEST_F(Cli, PnpsimRefusesWhatThePlatformRefuses) {
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"add"}, 2},
        {{"add", "--class", "{nope}", "ROOT\\X\\0"}, 2},
        {{"add", "ROOT\\BAD,COMMA\\0"}, 1},  // not an instance ID
        {{"add", "ROOT\\WITH SPACE\\0"}, 1},
        {{"add", "ROOT\\CAFÉ\\0"}, 1},
        {{"remove", "ROOT\\NOT\\THERE"}, 1},
    };
    for (const auto &[args, status] : cases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.back());
        Result r = pnpsim(args);
        EXPECT_EQ(r.status, status);
        EXPECT_NE(r.err, "");
    }
    // Asked for, the usage is an answer: on stdout, status 0; the same text
    // as a usage error gives on stderr.
    const std::string usage = pnpsim({}).err;
    for (const std::string help : {"--help", "-h"}) {
        Result r = pnpsim({help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.out, usage) << help;
        EXPECT_EQ(r.err, "") << help;
    }
    EXPECT_EQ(pnpsim({"--help", "enum"}).status, 2);
}

}  // namespace

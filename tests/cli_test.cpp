// The real shamrig and pnpsim binaries on a fresh device tree per test.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace harness;

namespace {

const std::string CAMERA = "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}";
const std::string DESC = "Velmo-Rastix Test Device";

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
    std::string created(const std::string &id) { return preamble() + "  ✔ 已创建：" + id + "\n"; }
    void create_n(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(shamrig({"create"}).status, 0);
    }
};

struct WordCase {
    std::vector<std::string> args;
    int status;
    std::string after_preamble;
};

TEST_F(Cli, FrontEndAnswersEveryCommandWord) {
    const std::string usage = "  用法：shamrig.exe create | remove | list\n\n";
    const std::string none = "  本工具创建的假设备：0 个\n";
    const std::string unknown = "  未知参数：";
    const std::vector<WordCase> cases = {
        {{}, 1, usage},
        {{"list"}, 0, none},
        {{"LIST"}, 0, none},
        {{"LiSt"}, 0, none},
        {{"list", "extra", "words"}, 0, none},
        {{"Remove"}, 0, "  （没有找到本工具创建的设备）\n"},
        {{"creat"}, 1, unknown + "creat\n"},
        {{"create2"}, 1, unknown + "create2\n"},
        {{"-list"}, 1, unknown + "-list\n"},
        {{" list"}, 1, unknown + " list\n"},
        {{""}, 1, unknown + "\n"},
        {{"", "list"}, 1, unknown + "\n"},
        {{"列表"}, 1, unknown + "列表\n"},
        {{"créate😀"}, 1, unknown + "créate😀\n"},
        {{"\xff"}, 1, unknown + "\xEF\xBF\xBD\n"},
        {{"a\xC3(b\xE2\x82"}, 1, unknown + "a\xEF\xBF\xBD(b\xEF\xBF\xBD\n"},
        {{"50%d%ls%lu"}, 1, unknown + "50%d%ls%lu\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(no word)" : c.args[0]);
        Result r = shamrig(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, preamble() + c.after_preamble);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(own_ids(root).empty());
}

TEST_F(Cli, CreatePlantsAWholeCameraDevice) {
    Result r = shamrig({"CREATE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, created("ROOT\\VELMORASTIXTEST\\0000"));
    auto rows = enum_tree(root);
    auto mine = std::find_if(rows.begin(), rows.end(), [](const auto &row) {
        return row[0] == "ROOT\\VELMORASTIXTEST\\0000";
    });
    ASSERT_NE(mine, rows.end());
    // The description is the device's DeviceDesc; no FriendlyName is set.
    EXPECT_EQ(*mine, (std::vector<std::string>{"ROOT\\VELMORASTIXTEST\\0000", CAMERA,
                                               "ROOT\\VelmoRastixTest", DESC, "", "registered"}));
    // The system devices of a new tree are there too, and none is the tool's.
    EXPECT_GE(rows.size(), 4U);
    EXPECT_EQ(own_ids(root).size(), 1U);
}

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

TEST_F(Cli, CreateRefusedAfterRegistrationStillSucceeds) {
    // No device without a driver has a hardware key, so the key's refusal
    // changes nothing; an ID that is not read back is shown empty.
    EXPECT_EQ(shamrig_failing("SetupDiOpenDevRegKey", {"create"}).out,
              created("ROOT\\VELMORASTIXTEST\\0000"));
    Result r = shamrig_failing("CM_Get_Device_IDW:13", {"create"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, created(""));
    EXPECT_EQ(own_ids(root).size(), 2U);
}

TEST_F(Cli, TokenThatCannotBeAskedWarnsOnceAndTheRunGoesOn) {
    for (const std::string fail :
         {"OpenProcessToken", "GetTokenInformation", "OpenProcessToken,GetTokenInformation"}) {
        SCOPED_TRACE(fail);
        Result r = shamrig_failing(fail, {"list"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, BANNER + WARNING + "  本工具创建的假设备：0 个\n");
    }
    Result r = shamrig_failing("GetTokenInformation", {"create"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, BANNER + WARNING + "  ✔ 已创建：ROOT\\VELMORASTIXTEST\\0000\n");
}

TEST_F(Cli, PlainUserIsWarnedAndRefusedAndNothingIsWritten) {
    if (!is_root()) GTEST_SKIP() << "needs root to run as a plain user";
    create_n(1);
    auto before = enum_tree(root);
    const std::string head = BANNER + WARNING;
    Result r = shamrig({"create"}, Options{{}, true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, head + "  [错误] 注册设备失败 5（需要管理员权限）\n");
    r = shamrig({"list"}, Options{{}, true});
    EXPECT_EQ(r.out, head + "  本工具创建的假设备：1 个\n    ROOT\\VELMORASTIXTEST\\0000\n");
    r = shamrig({"remove"}, Options{{}, true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              head + "  找到 1 个，开始删除...\n  ✘ 删除失败  ROOT\\VELMORASTIXTEST\\0000\n");
    EXPECT_EQ(enum_tree(root), before);
}

TEST_F(Cli, SixteenParallelCreatesGiveSixteenDevices) {
    ASSERT_EQ(shamrig({"list"}).status, 0);  // the tree exists before the race
    std::vector<pid_t> pids;
    for (int i = 0; i < 16; ++i) {
        pids.push_back(start(shamrig_exe(), {"create"}, root, dir.path + "/p" + std::to_string(i)));
    }
    std::set<std::string> printed;
    for (int i = 0; i < 16; ++i) {
        Result r = finish(pids[static_cast<std::size_t>(i)], dir.path + "/p" + std::to_string(i));
        EXPECT_EQ(r.status, 0);
        auto at = r.out.find("已创建：");
        ASSERT_NE(at, std::string::npos) << r.out;
        printed.insert(r.out.substr(at + std::string("已创建：").size()));
    }
    EXPECT_EQ(printed.size(), 16U);
    auto ids = own_ids(root);
    EXPECT_EQ(ids.size(), 16U);
    EXPECT_EQ(ids.back(), "ROOT\\VELMORASTIXTEST\\0015");
}

TEST_F(Cli, ListShowsOwnDevicesByIdWhateverTheirClassOrMaker) {
    EXPECT_EQ(shamrig({"list"}).out, preamble() + "  本工具创建的假设备：0 个\n");
    create_n(3);
    ASSERT_EQ(pnpsim({"add", "USB\\VID_1234&PID_5678\\velmorastixtest-7", "ACPI\\VELMORASTIX\\1",
                      "ROOT\\OTHER\\0000"})
                  .status,
              0);
    ASSERT_EQ(pnpsim({"add", "--class", CAMERA, "ROOT\\CAMERA\\XVELMORASTIXTESTX"}).status, 0);
    EXPECT_EQ(shamrig({"list"}).out, preamble() +
                                         "  本工具创建的假设备：5 个\n"
                                         "    ROOT\\CAMERA\\XVELMORASTIXTESTX\n"
                                         "    ROOT\\VELMORASTIXTEST\\0000\n"
                                         "    ROOT\\VELMORASTIXTEST\\0001\n"
                                         "    ROOT\\VELMORASTIXTEST\\0002\n"
                                         "    USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7\n");
    EXPECT_EQ(shamrig_failing("SetupDiGetClassDevsW", {"list"}).out,
              preamble() + "  本工具创建的假设备：0 个\n");
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
    std::string listed = preamble() + "  本工具创建的假设备：64 个\n";
    std::string removed = preamble() + "  找到 64 个，开始删除...\n";
    for (int i = 0; i < 64; ++i) {
        listed += "    " + ids[static_cast<std::size_t>(i)] + "\n";
        removed += "  ✔ 已删除  " + ids[static_cast<std::size_t>(i)] + "\n";
    }
    EXPECT_EQ(shamrig({"list"}).out, listed);
    EXPECT_EQ(shamrig({"remove"}).out, removed);
    std::string rest = preamble() + "  找到 6 个，开始删除...\n";
    for (int i = 64; i < 70; ++i) rest += "  ✔ 已删除  " + ids[static_cast<std::size_t>(i)] + "\n";
    EXPECT_EQ(shamrig({"remove"}).out, rest);
    EXPECT_TRUE(own_ids(root).empty());
}

TEST_F(Cli, RemoveTakesOutOwnDevicesOnly) {
    EXPECT_EQ(shamrig({"remove"}).out, preamble() + "  （没有找到本工具创建的设备）\n");
    auto system_devices = enum_tree(root);
    ASSERT_EQ(pnpsim({"add", "ROOT\\OTHER\\0000"}).status, 0);
    create_n(2);
    Result r = shamrig({"remove"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, preamble() +
                         "  找到 2 个，开始删除...\n"
                         "  ✔ 已删除  ROOT\\VELMORASTIXTEST\\0000\n"
                         "  ✔ 已删除  ROOT\\VELMORASTIXTEST\\0001\n");
    EXPECT_EQ(shamrig({"list"}).out, preamble() + "  本工具创建的假设备：0 个\n");
    ASSERT_EQ(pnpsim({"remove", "root\\other\\0000"}).status, 0);  // it was untouched
    EXPECT_EQ(enum_tree(root), system_devices);
    EXPECT_EQ(shamrig({"create"}).out, created("ROOT\\VELMORASTIXTEST\\0000"));  // freed again
}

TEST_F(Cli, RefusedRemovalSaysFailedAndKeepsEveryDevice) {
    create_n(2);
    const std::string failed = preamble() +
                               "  找到 2 个，开始删除...\n"
                               "  ✘ 删除失败  ROOT\\VELMORASTIXTEST\\0000\n"
                               "  ✘ 删除失败  ROOT\\VELMORASTIXTEST\\0001\n";
    for (const std::string fail : {"SetupDiSetClassInstallParamsW", "SetupDiCallClassInstaller:5",
                                   "SetupDiEnumDeviceInfo"}) {
        SCOPED_TRACE(fail);
        Result r = shamrig_failing(fail, {"remove"});
        EXPECT_EQ(r.status, 0);
        if (fail == "SetupDiEnumDeviceInfo") {
            // Nothing can be enumerated, so nothing is found to remove.
            EXPECT_EQ(r.out, preamble() + "  （没有找到本工具创建的设备）\n");
        } else {
            EXPECT_EQ(r.out, failed);
        }
        EXPECT_EQ(own_ids(root).size(), 2U);
    }
}

TEST_F(Cli, PnpsimRefusesWhatThePlatformRefuses) {
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"add"}, 2},
        {{"add", "--class", "{nope}", "ROOT\\X\\0"}, 2},
        {{"add", "ROOT\\SYSTEM\\0000"}, 1},  // exists
        {{"add", "Root\\System\\0000"}, 1},  // exists, ignoring case
        {{"add", "ROOT\\BAD,COMMA\\0"}, 1},  // not an instance ID
        {{"add", "ROOT\\WITH SPACE\\0"}, 1},
        {{"add", "ROOT\\CAFÉ\\0"}, 1},
        {{"add", "ROOT\\" + std::string(195, 'X')}, 1},  // 200 characters
        {{"remove", "ROOT\\NOT\\THERE"}, 1},
    };
    for (const auto &[args, status] : cases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.back());
        Result r = pnpsim(args);
        EXPECT_EQ(r.status, status);
        EXPECT_NE(r.err, "");
    }
    EXPECT_EQ(pnpsim({"add", "ROOT\\" + std::string(194, 'X')}).status, 0);  // 199 fit
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

// One scenario, two platforms: the native build on a fresh stand-in tree,
// and shamrig.exe on Wine's SetupAPI in a fresh prefix. Wherever the two
// platforms agree, the bytes must be the same.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

using namespace harness;

namespace {

// A platform the scenario runs on.
struct Platform {
    std::string name;
    std::string head;  // what every run prints first
    bool removes;      // whether a removal the tool asks for is carried out
    std::function<Result(const std::vector<std::string> &)> run;
};

struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;  // after the platform's head; "" for the remove step
};

const std::string USAGE = "  用法：shamrig.exe create | remove | list\n\n";
const std::string ID0 = "ROOT\\VELMORASTIXTEST\\0000";
const std::string ID1 = "ROOT\\VELMORASTIXTEST\\0001";
const std::string LIST_TWO = "  本工具创建的假设备：2 个\n    " + ID0 + "\n    " + ID1 + "\n";

const std::vector<Step> SCENARIO = {
    {{}, 1, USAGE},
    {{"bogus"}, 1, "  未知参数：bogus\n"},
    {{"列表é"}, 1, "  未知参数：列表é\n"},
    {{"\xffx"}, 1, "  未知参数：\xEF\xBF\xBDx\n"},
    {{""}, 1, "  未知参数：\n"},
    {{"list"}, 0, "  本工具创建的假设备：0 个\n"},
    {{"remove"}, 0, "  （没有找到本工具创建的设备）\n"},
    {{"create"}, 0, "  ✔ 已创建：" + ID0 + "\n"},
    {{"Create", "extra"}, 0, "  ✔ 已创建：" + ID1 + "\n"},
    {{"LIST"}, 0, LIST_TWO},
    {{"remove"}, 0, ""},
};

void run_scenario(const Platform &p) {
    for (const auto &step : SCENARIO) {
        SCOPED_TRACE(p.name + ": " + (step.args.empty() ? "(no word)" : step.args[0]));
        Result r = p.run(step.args);
        EXPECT_EQ(r.status, step.status);
        if (!step.out.empty()) {
            EXPECT_EQ(r.out, p.head + step.out);
            continue;
        }
        // remove: one true line per device, then list agrees with every line.
        const std::string status = p.removes ? "  ✔ 已删除  " : "  ✘ 删除失败  ";
        EXPECT_EQ(r.out, p.head + "  找到 2 个，开始删除...\n" + status + ID0 + "\n" + status +
                             ID1 + "\n");
        std::set<std::string> kept;
        for (const auto &line : split(r.out, '\n')) {
            if (line.rfind("  ✘ 删除失败  ", 0) == 0) kept.insert(line.substr(line.rfind(' ') + 1));
        }
        Result after = p.run({"list"});
        std::string expect =
            p.head + "  本工具创建的假设备：" + std::to_string(kept.size()) + " 个\n";
        for (const auto &id : kept) expect += "    " + id + "\n";
        EXPECT_EQ(after.out, expect);
    }
}

TEST(Scenario, NativeOnTheStandIn) {
    TempDir dir;
    std::string root = dir.path + "/tree";
    Platform p{"native", preamble(), true, [&](const std::vector<std::string> &args) {
                   return run(shamrig_exe(), args, root);
               }};
    run_scenario(p);
}

#ifdef SHAMRIG_WINDOWS_EXE
const std::string BANNER = "\n  ==== shamrig · 假设备演练工具 ====\n";
const std::string WINE = "/usr/lib/wine/wine64";
const std::string WINESERVER = "/usr/lib/wine/wineserver64";

bool in_ci() {
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// The one difference known between the platforms: Wine 8.0's
// SetupDiSetClassInstallParamsW is a stub that returns FALSE, so every
// removal is refused there and the devices stay. Each platform must still
// report exactly what happened.
bool wine_removes() { return false; }

std::string crlf_to_lf(std::string s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out += s[i];
    }
    return out;
}

// Why the Windows side can't run here, or "" when it can.
std::string wine_missing() {
    if (!std::filesystem::exists(WINE)) return "wine64 is not installed (" + WINE + ")";
    if (!std::filesystem::exists(PLATFORM_PROBE_WINDOWS_EXE)) {
        return std::string("the Windows build is missing (") + PLATFORM_PROBE_WINDOWS_EXE + ")";
    }
    if (!std::filesystem::exists(SHAMRIG_WINDOWS_EXE)) {
        return std::string("the Windows build is missing (") + SHAMRIG_WINDOWS_EXE + ")";
    }
    return {};
}

class OnWine : public ::testing::Test {
protected:
    TempDir dir;
    Options wine_env;
    std::string log = dir.path + "/wine";

    void SetUp() override {
        std::string why = wine_missing();
        if (!why.empty()) {
            if (in_ci()) FAIL() << "the Wine suite cannot run in CI: " << why;
            std::printf("SKIPPED: Wine suite not run: %s\n", why.c_str());
            GTEST_SKIP() << why;
        }
        wine_env.env = {
            {"WINEPREFIX", dir.path + "/prefix"}, {"WINEDEBUG", "-all"}, {"LC_ALL", "C.UTF-8"}};
        // The first start makes the prefix; its chatter stays out of the runs.
        Result boot = finish(start(WINE, {"wineboot", "-i"}, dir.path, log, wine_env), log);
        ASSERT_EQ(boot.status, 0) << boot.err;
    }
    void TearDown() override {
        if (!wine_env.env.empty()) finish(start(WINESERVER, {"-k"}, dir.path, log, wine_env), log);
    }
    Result wine(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {SHAMRIG_WINDOWS_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        Result r = finish(start(WINE, argv, dir.path, log, wine_env), log);
        r.out = crlf_to_lf(r.out);
        return r;
    }
};

TEST_F(OnWine, SameScenarioOnARealSetupApi) {
    // Wine always reports an elevated token, so no warning follows the banner.
    Platform p{"wine", BANNER, wine_removes(),
               [&](const std::vector<std::string> &args) { return wine(args); }};
    run_scenario(p);
}

// The platform probe's answers, in order, as (fact, answer).
std::vector<std::pair<std::string, std::string>> facts(const std::string &out) {
    std::vector<std::pair<std::string, std::string>> f;
    for (const auto &line : split(out, '\n')) {
        auto at = line.find(": ");
        if (at != std::string::npos) f.emplace_back(line.substr(0, at), line.substr(at + 2));
    }
    return f;
}

Result probe_on_stand_in(const std::string &root) { return run(PLATFORM_PROBE_EXE, {}, root); }

// Where the stand-in and Wine's SetupAPI are known to differ: what each
// answers. Every other answer of the probe must be the same on both.
//  - CM_Get_Device_IDW: the stand-in does what Windows documents (a buffer
//    too small gets CR_BUFFER_SMALL; an exact fit is filled without NUL);
//    Wine copies what fits less one unit, ends it with NUL and says
//    CR_SUCCESS. The tool reads into 511 units of 512, safe under both.
//  - The hardware key: Wine has none for a device without a driver; the
//    stand-in keeps one so the tool's values can be inspected.
//  - Removal parameters: Wine 8.0's SetupDiSetClassInstallParamsW is a
//    stub that fails without setting an error (what is left is 2).
//  - The token: Wine always says elevated; the stand-in says so for root.
std::map<std::string, std::pair<std::string, std::string>> known_differences() {
    return {
        {"CM_Get_Device_IDW into 21 units", {"CR 26, 000", "CR 0, 00~"}},
        {"CM_Get_Device_IDW into 22 units", {"CR 0, 002", "CR 0, 00~"}},
        {"hardware key of a registered device", {"opened", "error 3758096900"}},
        {"removal parameters accepted", {"yes", "error 2"}},
        {"token elevation", {is_root() ? "1, size 4" : "0, size 4", "1, size 4"}},
    };
}

TEST_F(OnWine, ThePlatformAnswersAsTheStandInDoes) {
    TempDir native_dir;
    Result native = probe_on_stand_in(native_dir.path + "/tree");
    ASSERT_EQ(native.status, 0) << native.err;
    std::vector<std::string> argv = {PLATFORM_PROBE_WINDOWS_EXE};
    Result wine = finish(start(WINE, argv, dir.path, log, wine_env), log);
    ASSERT_EQ(wine.status, 0) << wine.err;
    auto ours = facts(native.out);
    auto theirs = facts(crlf_to_lf(wine.out));
    ASSERT_EQ(ours.size(), theirs.size()) << native.out << "\n---\n" << wine.out;
    auto known = known_differences();
    for (std::size_t i = 0; i < ours.size(); ++i) {
        const auto &[fact, answer] = ours[i];
        SCOPED_TRACE(fact);
        ASSERT_EQ(theirs[i].first, fact);
        auto k = known.find(fact);
        if (k == known.end()) {
            EXPECT_EQ(theirs[i].second, answer);
        } else {
            EXPECT_EQ(answer, k->second.first);
            EXPECT_EQ(theirs[i].second, k->second.second);
        }
    }
    EXPECT_GE(ours.size(), 20U);
}

TEST(WindowsBuild, ImportsOnlyWhatWindowsShips) {
    std::string why = wine_missing();
    if (!std::filesystem::exists(SHAMRIG_WINDOWS_EXE)) {
        if (in_ci()) FAIL() << why;
        std::printf("SKIPPED: Windows build not checked: %s\n", why.c_str());
        GTEST_SKIP() << why;
    }
    TempDir dir;
    Result r = run("x86_64-w64-mingw32-objdump", {"-p", SHAMRIG_WINDOWS_EXE}, dir.path + "/t");
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> dlls;
    for (const auto &line : split(r.out, '\n')) {
        auto at = line.find("DLL Name: ");
        if (at != std::string::npos) dlls.insert(line.substr(at + 10));
    }
    const std::set<std::string> shipped = {"KERNEL32.dll", "SETUPAPI.dll", "CFGMGR32.dll",
                                           "ADVAPI32.dll", "msvcrt.dll"};
    for (const auto &dll : dlls) {
        EXPECT_TRUE(shipped.count(dll) != 0 || dll.rfind("api-ms-win-crt-", 0) == 0) << dll;
    }
    EXPECT_EQ(dlls.count("SETUPAPI.dll"), 1U);
    EXPECT_NE(r.out.find("Magic\t\t\t020b\t(PE32+)"), std::string::npos);
    EXPECT_NE(r.out.find("(Windows CUI)"), std::string::npos);
    // Version information and the manifest are resources of the file.
    std::string image = read_file(SHAMRIG_WINDOWS_EXE);
    const std::u16string product = u"ProductVersion";
    EXPECT_NE(
        image.find(std::string(reinterpret_cast<const char *>(product.data()), product.size() * 2)),
        std::string::npos);
    EXPECT_NE(image.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
}
#endif

}  // namespace

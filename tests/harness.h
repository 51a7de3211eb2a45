// Running the real binaries in tests: a fresh device tree per test (on the
// stand-in), the program's stdout and stderr taken from files, its exit
// status. The same interface runs programs on POSIX (fork and exec) and on
// Windows (CreateProcessW), where the tests of the Windows build run.
#pragma once

#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace harness {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct Options {
    // Added to the environment (POSIX only: the Windows build's tests run
    // with their own environment).
    std::vector<std::pair<std::string, std::string>> env;
    // Run with a token that is not elevated: as user and group 65534 on
    // POSIX (when this process is root), and on Windows with a restricted
    // version of this process's own token, Administrators deny-only.
    bool not_elevated = false;
    // Standard output on a terminal (POSIX only), whose line ends are CRLF.
    bool terminal = false;
    // Standard output a pipe whose reader has gone (POSIX only), with
    // SIGPIPE as a shell leaves it.
    bool closed_pipe = false;
};

// A temporary directory that goes away with the object.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

// The platform's Camera setup class, the first ID the platform generates
// for the tool's device name, and what the tool gives each device.
inline const std::string CAMERA = "{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}";
inline const std::string ID0 = "ROOT\\VELMORASTIXTEST\\0000";
inline const std::string HARDWARE_ID = "ROOT\\VelmoRastixTest";
inline const std::string DESCRIPTION = "Velmo-Rastix Test Device";

// What the tool prints, as the tests know it: their own copy of every text,
// written here once and not taken from the tool's messages.h, so that a
// text changed on one side alone fails a test. Every line the tool prints
// is of one of these kinds; %s stands for the line's one variable part (an
// ID, a count, an error code, the operator's word).
enum class Line : unsigned char {
    BLANK,
    BANNER,
    WARNING,
    USAGE,
    UNKNOWN_WORD,
    CREATE_LIST_FAILED,
    CREATE_INFO_FAILED,
    HARDWARE_ID_FAILED,
    REGISTER_FAILED,
    CREATED,
    LIST_COUNT,
    LIST_ITEM,
    NOTHING_FOUND,
    REMOVING,
    REMOVED,
    NOT_REMOVED,
};
inline constexpr const char *LINES[] = {
    "",
    "  ==== shamrig · 假设备演练工具 ====",
    "  [警告] 当前不是管理员，创建/删除可能失败",
    "  用法：shamrig.exe create | remove | list",
    "  未知参数：%s",
    "  [错误] CreateDeviceInfoList 失败 %s",
    "  [错误] CreateDeviceInfo 失败 %s",
    "  [错误] 设置 HardwareID 失败 %s",
    "  [错误] 注册设备失败 %s（需要管理员权限）",
    "  ✔ 已创建：%s",
    "  本工具创建的假设备：%s 个",
    "    %s",
    "  （没有找到本工具创建的设备）",
    "  找到 %s 个，开始删除...",
    "  ✔ 已删除  %s",
    "  ✘ 删除失败  %s",
};
static_assert(std::size(LINES) == static_cast<std::size_t>(Line::NOT_REMOVED) + 1);

// A line of that kind with its part, and its end.
std::string line(Line kind, const std::string &part = "");
// What a line of the tool's output (without its end) is: its kind and its
// part, or nothing when the tool prints no such line.
struct ReadLine {
    Line kind;
    std::string part;
};
std::optional<ReadLine> read_line(const std::string &text);

// The tool's messages, one or more lines each.
inline const std::string BANNER = line(Line::BLANK) + line(Line::BANNER);
inline const std::string WARNING = line(Line::WARNING);
inline const std::string USAGE = line(Line::USAGE) + line(Line::BLANK);
inline const std::string NOTHING_FOUND = line(Line::NOTHING_FOUND);
std::string unknown_word(const std::string &word);
std::string created(const std::string &id);
std::string listed(const std::vector<std::string> &ids);
std::string removing(std::size_t count);
std::string status(bool removed, const std::string &id);
// What every run of the tool prints before its command's output here: on
// the stand-in the warning unless root; on Windows the suite runs elevated
// (it insists), and Wine always says so.
std::string preamble();

// The tool and the platform probe of the build under test.
std::string shamrig_exe();
std::string platform_probe_exe();

// How long a run may take before it is killed, so that a hung program
// fails its test instead of stalling the suite.
inline constexpr int RUN_LIMIT_SECONDS = 120;

// Runs `exe` with `args` (UTF-8) and PNPSIM_ROOT=root, and waits for it at
// most RUN_LIMIT_SECONDS; its output goes through files named after `root`.
Result run(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
           const Options &opt = {});

std::string read_file(const std::string &path);
std::vector<std::string> split(const std::string &s, char sep);

#if !defined(_WIN32)
std::string pnpsim_exe();

// Starts `exe` with `args` and PNPSIM_ROOT=root; stdout and stderr go to
// files named after `log` (a path prefix). Returns the child's pid.
pid_t start(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
            const std::string &log, const Options &opt = {});
// Waits for a child started by start() and collects its result; a child
// still running after the limit is killed (status 128 + 9).
Result finish(pid_t pid, const std::string &log, int limit_seconds = RUN_LIMIT_SECONDS);

// The lines of `pnpsim enum`, split into fields.
std::vector<std::vector<std::string>> enum_tree(const std::string &root);
// Instance IDs from `pnpsim enum` whose ID contains the tool's device name.
std::vector<std::string> own_ids(const std::string &root);

bool is_root();
// A word as the shell reads it back unchanged.
std::string sh_quote(const std::string &word);
// Runs what follows as user and group 65534, as Options::not_elevated does.
const std::vector<std::string> &as_nobody_prefix();
#endif

}  // namespace harness

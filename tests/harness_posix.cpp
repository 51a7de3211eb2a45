// Running programs on POSIX: fork, exec, files for the output.
#include "harness.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "shamrig-test.XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    // Readable by the plain user the elevation tests run as.
    ::chmod(templ.c_str(), 0755);
    path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string shamrig_exe() { return SHAMRIG_EXE; }
std::string platform_probe_exe() { return PLATFORM_PROBE_EXE; }
std::string pnpsim_exe() { return PNPSIM_EXE; }

pid_t start(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
            const std::string &log, const Options &opt) {
    std::vector<std::string> argv;
    if (opt.not_elevated && is_root()) argv = as_nobody_prefix();
    argv.push_back(exe);
    argv.insert(argv.end(), args.begin(), args.end());
    if (opt.terminal) {
        std::string line;
        for (const auto &a : argv) line += sh_quote(a) + " ";
        // Only standard output: the program's errors stay in their file.
        argv = {"script", "-qec", line + "2>>" + sh_quote(log + ".err"), "/dev/null"};
    }
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // A run outlives no test: one killed for taking too long takes its
    // programs with it, instead of leaving them to spin.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = ::open((log + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open((log + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (opt.closed_pipe) {
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0) ::_exit(126);
        ::close(pipe_ends[0]);
        ::dup2(pipe_ends[1], 1);
        ::signal(SIGPIPE, SIG_DFL);
    }
    ::setenv("PNPSIM_ROOT", root.c_str(), 1);
    ::unsetenv("PNPSIM_FAIL");
    for (const auto &[k, v] : opt.env) ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    ::execvp(cargv[0], cargv.data());
    ::_exit(127);
}

Result finish(pid_t pid, const std::string &log, int limit_seconds) {
    Result r;
    // A watchdog kills a child still running at the limit, while the wait
    // blocks (the drills time runs); the child is reaped only after the
    // watchdog has stood down, so it never kills a reused pid.
    std::mutex m;
    std::condition_variable ended;
    bool done = false;
    bool killed = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!ended.wait_for(lock, std::chrono::seconds(limit_seconds), [&] { return done; })) {
            killed = ::kill(pid, SIGKILL) == 0;
        }
    });
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {}
    {
        std::lock_guard<std::mutex> g(m);
        done = true;
    }
    ended.notify_one();
    watchdog.join();
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(log + ".out");
    r.err = read_file(log + ".err");
    if (killed) r.err += "killed: still running after " + std::to_string(limit_seconds) + " s";
    return r;
}

Result run(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
           const Options &opt) {
    static std::atomic<int> serial{0};
    std::string log = root + ".run" + std::to_string(++serial);
    Result r = finish(start(exe, args, root, log, opt), log);
    ::unlink((log + ".out").c_str());
    ::unlink((log + ".err").c_str());
    return r;
}

std::vector<std::vector<std::string>> enum_tree(const std::string &root) {
    Result r = run(pnpsim_exe(), {"enum"}, root);
    std::vector<std::vector<std::string>> rows;
    for (const auto &line : split(r.out, '\n')) {
        if (!line.empty()) rows.push_back(split(line, '\t'));
    }
    return rows;
}

std::vector<std::string> own_ids(const std::string &root) {
    std::vector<std::string> ids;
    for (const auto &row : enum_tree(root)) {
        if (row[0].find("VELMORASTIXTEST") != std::string::npos) ids.push_back(row[0]);
    }
    return ids;
}

bool is_root() { return ::geteuid() == 0; }

std::string sh_quote(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

const std::vector<std::string> &as_nobody_prefix() {
    static const std::vector<std::string> prefix = {"setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups", "--"};
    return prefix;
}

std::string preamble() { return is_root() ? BANNER : BANNER + WARNING; }

}  // namespace harness

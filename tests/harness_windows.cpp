// Running programs on Windows (and Wine): CreateProcessW with standard
// output and error in files, as an operator's redirection would have it.
#include "harness.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <initializer_list>

namespace harness {

namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

std::string utf8(const std::wstring &w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

// One argument as the C runtime's parser takes it back: quoted when it
// holds a space, a tab or a quote, or is empty; backslashes doubled only
// where a quote follows them.
std::wstring quoted(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            q.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            q.append(backslashes * 2 + 1, L'\\');
        } else {
            q.append(backslashes, L'\\');
        }
        q += arg[i];
    }
    return q + L"\"";
}

HANDLE file_for_child(const std::wstring &path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// This process's own token, restricted as a console that is not elevated
// has it: Administrators deny-only, no privilege but the one every user
// has, medium integrity, and a default DACL that grants the user and
// SYSTEM. The default DACL is what the child's own process and thread, and
// whatever else it makes without a descriptor, are given; the elevated
// token's grants Administrators, which the restricted token may no longer
// use. A restricted version of the caller's own token needs no extra
// privilege to start a process with (CreateProcessAsUserW). Null when the
// platform refused a step.
HANDLE not_elevated_token() {
    HANDLE self = nullptr;
    HANDLE restricted = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID admins = nullptr;
    PSID system = nullptr;
    PSID medium = nullptr;
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(ACL) BYTE acl[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
    auto *dacl = reinterpret_cast<PACL>(acl);
    DWORD size = 0;
    const DWORD access =
        TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;
    bool ok =
        OpenProcessToken(GetCurrentProcess(), access, &self) &&
        GetTokenInformation(self, TokenUser, user, sizeof user, &size) &&
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                 0, 0, 0, 0, &admins) &&
        AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system) &&
        AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0,
                                 &medium);
    ok = ok && InitializeAcl(dacl, sizeof acl, ACL_REVISION) &&
         AddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL,
                             reinterpret_cast<TOKEN_USER *>(user)->User.Sid) &&
         AddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, system);
    SID_AND_ATTRIBUTES deny_only{admins, 0};
    ok = ok && CreateRestrictedToken(self, DISABLE_MAX_PRIVILEGE, 1, &deny_only, 0, nullptr, 0,
                                     nullptr, &restricted);
    TOKEN_MANDATORY_LABEL level{{medium, SE_GROUP_INTEGRITY}};
    TOKEN_DEFAULT_DACL default_dacl{dacl};
    ok = ok &&
         SetTokenInformation(restricted, TokenIntegrityLevel, &level,
                             static_cast<DWORD>(sizeof level + GetLengthSid(medium))) &&
         SetTokenInformation(restricted, TokenDefaultDacl, &default_dacl, sizeof default_dacl);
    if (!ok && restricted != nullptr) CloseHandle(restricted);
    if (self != nullptr) CloseHandle(self);
    for (PSID sid : {admins, system, medium}) {
        if (sid != nullptr) FreeSid(sid);
    }
    return ok ? restricted : nullptr;
}

std::string beside_this_program(const wchar_t *name) {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::filesystem::path dir = std::filesystem::path(std::wstring(self, n)).parent_path();
    return utf8((dir / name).wstring());
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<int> serial{0};
    auto dir = std::filesystem::temp_directory_path() /
               (L"shamrig-test." + std::to_wstring(GetCurrentProcessId()) + L"." +
                std::to_wstring(++serial));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    path = utf8(dir.wstring());
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(wide(path), ec);
}

std::string preamble() { return BANNER; }

// Both are built into the directory of the test programs.
std::string shamrig_exe() { return beside_this_program(L"shamrig.exe"); }
std::string platform_probe_exe() { return beside_this_program(L"platform_probe.exe"); }

Result run(const std::string &exe, const std::vector<std::string> &args, const std::string &root,
           const Options &opt) {
    static std::atomic<int> serial{0};
    std::wstring log = wide(root) + L".run" + std::to_wstring(++serial);
    std::wstring command = quoted(wide(exe));
    for (const auto &a : args) command += L" " + quoted(wide(a));
    Result r;
    HANDLE in = file_for_child(L"NUL", false);
    HANDLE out = file_for_child(log + L".out", true);
    HANDLE err = file_for_child(log + L".err", true);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    // No console of its own: its output is the files, and nothing is left
    // behind that could hold the test runner's own output open.
    HANDLE token = opt.not_elevated ? not_elevated_token() : nullptr;
    DWORD flags = CREATE_NO_WINDOW;
    bool files =
        in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
    BOOL started = FALSE;
    DWORD why = 0;
    // A busy Wine may fail a start with ERROR_INTERNAL_ERROR before the process ran any code.
    for (int tries = 0; tries < 3 && !started && (tries == 0 || why == ERROR_INTERNAL_ERROR);
         ++tries) {
        if (files && token != nullptr) {
            started = CreateProcessAsUserW(token, nullptr, command.data(), nullptr, nullptr, TRUE,
                                           flags, nullptr, nullptr, &si, &pi);
        } else if (files && !opt.not_elevated) {
            started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags,
                                     nullptr, nullptr, &si, &pi);
        }
        why = GetLastError();
    }
    for (HANDLE h : {in, out, err, token}) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    if (!started) {
        r.err = "cannot start " + exe + ": error " + std::to_string(why);
        return r;
    }
    // A run that hangs fails its test instead of the whole suite's time.
    bool hung = WaitForSingleObject(pi.hProcess, RUN_LIMIT_SECONDS * 1000) == WAIT_TIMEOUT;
    if (hung) TerminateProcess(pi.hProcess, 128 + 9);
    WaitForSingleObject(pi.hProcess, 10000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    r.status = static_cast<int>(code);
    r.out = read_file(utf8(log + L".out"));
    r.err = read_file(utf8(log + L".err"));
    if (hung) r.err += "killed: still running after " + std::to_string(RUN_LIMIT_SECONDS) + " s";
    DeleteFileW((log + L".out").c_str());
    DeleteFileW((log + L".err").c_str());
    return r;
}

}  // namespace harness

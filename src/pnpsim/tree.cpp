#include "tree.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pnpsim {
namespace {

constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
constexpr const char *RECORD_HEADER = "pnpsim-device 1";
constexpr std::size_t NAME_MAX_BYTES = 255;

DWORD from_errno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return ERROR_NO_SUCH_DEVINST;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string devices_dir() { return tree_root() + "/devices"; }
std::string tmp_dir() { return tree_root() + "/tmp"; }

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unhex(const std::string &text, std::string &bytes) {
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

// A file name that stands for an instance ID, and back; decoding refuses
// anything that is not the exact encoding of a valid ID.
std::string encode_id(const std::string &id) {
    std::string out;
    for (std::size_t i = 0; i < id.size(); ++i) {
        char c = id[i];
        if (c == '/') {
            out += "%2F";
        } else if (c == '%') {
            out += "%25";
        } else if (c == '.' && i == 0) {
            out += "%2E";  // never "." or ".." or a hidden file
        } else {
            out += c;
        }
    }
    return out;
}

bool decode_id(std::string_view name, std::string &id) {
    // Only the exact output of encode_id is accepted, so every device has
    // one file name and a damaged or foreign name is never taken for one.
    if (name.empty() || name.size() > NAME_MAX_BYTES) return false;
    id.clear();
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c == '%') {
            std::string_view esc = name.substr(i, 3);
            if (esc == "%2F") {
                c = '/';
            } else if (esc == "%25") {
                c = '%';
            } else if (esc == "%2E" && i == 0) {
                c = '.';
            } else {
                return false;
            }
            i += 2;
        } else if (c <= 0x20 || c >= 0x7F || c == ',' || c == '/' || (c >= 'a' && c <= 'z') ||
                   (c == '.' && i == 0)) {
            return false;
        }
        id += c;
    }
    return id.size() < MAX_DEVICE_ID_LEN;
}

std::string serialise(const Record &rec) {
    std::string s = RECORD_HEADER;
    s += '\n';
    for (const auto &[code, v] : rec.properties) {
        s += "property " + std::to_string(code) + ' ' + std::to_string(v.type) + ' ' + hex(v.data) +
             '\n';
    }
    if (!rec.owner.empty()) s += "owner " + hex(rec.owner) + '\n';
    s += "end\n";
    return s;
}

bool parse_number(const std::string &s, DWORD &n) {
    if (s.empty() || s.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFULL) return false;
    n = static_cast<DWORD>(v);
    return true;
}

std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t sp = line.find(' ', start);
        if (sp == std::string::npos) sp = line.size();
        words.push_back(line.substr(start, sp - start));
        start = sp + 1;
    }
    return words;
}

bool deserialise(const std::string &text, Record &rec) {
    rec = Record{};
    std::size_t pos = 0;
    bool header = false;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) return false;  // a record always ends in a full line
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (!header) {
            if (line != RECORD_HEADER) return false;
            header = true;
            continue;
        }
        if (line == "end") return pos == text.size();
        auto w = split_words(line);
        DWORD code = 0;
        DWORD type = 0;
        if (w.size() == 4 && w[0] == "property" && parse_number(w[1], code) &&
            parse_number(w[2], type)) {
            Value v{type, {}};
            if (!unhex(w[3], v.data)) return false;
            rec.properties[code] = v;
        } else if (w.size() == 2 && w[0] == "owner") {
            if (!unhex(w[1], rec.owner)) return false;
        } else {
            return false;
        }
    }
    return false;
}

bool read_file(const std::string &path, std::string &out, int &err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > (1U << 20)) {  // no device record is this large
            ::close(fd);
            err = EFBIG;
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = ::opendir(path.c_str());
    if (d == nullptr) return names;
    while (dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

// The class directories of the tree, by GUID.
std::vector<std::pair<std::string, GUID>> class_dirs() {
    std::vector<std::pair<std::string, GUID>> out;
    for (const auto &name : list_dir(devices_dir())) {
        GUID g{};
        if (parse_guid(name, g)) out.emplace_back(devices_dir() + "/" + name, g);
    }
    return out;
}

bool is_file(const std::string &path) {
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where the file of the node with this ID is, whole or phantom, or "" when
// there is none.
std::string find_device(const std::string &id, const GUID *hint = nullptr) {
    std::string name = encode_id(id);
    auto in = [&name](const std::string &dir) -> std::string {
        for (std::string path :
             {dir + "/" + name, dir + "/" + name + std::string(PHANTOM_SUFFIX)}) {
            if (is_file(path)) return path;
        }
        return {};
    };
    if (hint != nullptr) {
        std::string path = in(devices_dir() + "/" + guid_string(*hint));
        if (!path.empty()) return path;
    }
    for (const auto &[dir, cls] : class_dirs()) {
        std::string path = in(dir);
        if (!path.empty()) return path;
    }
    return {};
}

// The record in the file at `path`.
DWORD read_record(const std::string &path, Record &rec) {
    std::string text;
    int err = 0;
    if (!read_file(path, text, err)) return err == EFBIG ? ERROR_REGISTRY_CORRUPT : from_errno(err);
    if (!deserialise(text, rec)) return ERROR_REGISTRY_CORRUPT;
    return ERROR_SUCCESS;
}

struct Lock {
    int fd = -1;
    Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    ~Lock() {
        if (fd >= 0) ::close(fd);  // closing releases the flock
    }
};

// Takes the writers' lock, making the tree's directory if need be, and
// sweeps what a killed writer may have left in tmp/.
DWORD lock_tree(Lock &lock) {
    std::error_code ec;
    fs::create_directories(tmp_dir(), ec);
    if (ec) return from_errno(ec.value());
    lock.fd = ::open((tree_root() + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock.fd < 0) return from_errno(errno);
    while (::flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) return from_errno(errno);
    }
    for (const auto &name : list_dir(tmp_dir())) fs::remove_all(tmp_dir() + "/" + name, ec);
    return ERROR_SUCCESS;
}

// Writes the record whole, then puts it at `path` by one rename().
DWORD write_record(const std::string &path, const Record &rec) {
    static unsigned counter = 0;
    std::string tmp =
        tmp_dir() + "/" + std::to_string(::getpid()) + "." + std::to_string(++counter);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return from_errno(errno);
    bool ok = write_all(fd, serialise(rec));
    int err = errno;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        err = ok ? errno : err;
        ::unlink(tmp.c_str());
        return from_errno(err);
    }
    return ERROR_SUCCESS;
}

struct SeedDevice {
    const char *id;
    const char *cls;
    const char *hardware_id;
    const char *desc;
};

// Ordinary devices of other classes, so that a new tree is never empty.
constexpr SeedDevice SEED[] = {
    {"ACPI\\PNP0A08\\0", "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "ACPI\\PNP0A08",
     "PCI Express Root Complex"},
    {"ACPI\\PNP0303\\4&1D401FB5&0", "{4D36E96B-E325-11CE-BFC1-08002BE10318}", "ACPI\\PNP0303",
     "Standard PS/2 Keyboard"},
    {"DISPLAY\\DEFAULT_MONITOR\\1&8713BCA&0&UID0", "{4D36E96E-E325-11CE-BFC1-08002BE10318}",
     "MONITOR\\DEFAULT_MONITOR", "Generic PnP Monitor"},
    {"PCI\\VEN_8086&DEV_1237\\3&267A616A&0&00", "{4D36E97D-E325-11CE-BFC1-08002BE10318}",
     "PCI\\VEN_8086&DEV_1237", "Intel 440FX PCI Host Bridge"},
    {"ROOT\\SYSTEM\\0000", "{4D36E97D-E325-11CE-BFC1-08002BE10318}", "ROOT\\SWENUM",
     "Plug and Play Software Device Enumerator"},
    {"USB\\ROOT_HUB30\\4&2B8A5E8&0&0", "{36FC9E60-C465-11CF-8056-444553540000}", "USB\\ROOT_HUB30",
     "USB Root Hub (USB 3.0)"},
};

std::string utf16le(const std::string &ascii, bool multi) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    out.append(multi ? 4 : 2, '\0');
    return out;
}

// Makes the device tree with its seed devices, whole or not at all.
DWORD ensure_tree() {
    struct stat st = {};
    if (::stat(devices_dir().c_str(), &st) == 0) return ERROR_SUCCESS;
    Lock lock;
    DWORD rc = lock_tree(lock);
    if (rc != ERROR_SUCCESS) return rc;
    if (::stat(devices_dir().c_str(), &st) == 0) return ERROR_SUCCESS;
    std::string seed = tmp_dir() + "/seed";
    std::error_code ec;
    for (const auto &d : SEED) {
        std::string dir = seed + "/" + d.cls;
        fs::create_directories(dir, ec);
        if (ec) return from_errno(ec.value());
        Record rec;
        rec.properties[SPDRP_HARDWAREID] = {REG_MULTI_SZ, utf16le(d.hardware_id, true)};
        rec.properties[SPDRP_DEVICEDESC] = {REG_SZ, utf16le(d.desc, false)};
        std::string file = dir + "/" + encode_id(d.id);
        std::string text = serialise(rec);
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return from_errno(errno);
        bool ok = write_all(fd, text);
        ::close(fd);
        if (!ok) return ERROR_GEN_FAILURE;
    }
    // The seed tree lives in tmp/ until it is complete, so a half-made
    // tree is swept by the next writer instead of being taken for real.
    if (::rename(seed.c_str(), devices_dir().c_str()) != 0) return from_errno(errno);
    return ERROR_SUCCESS;
}

}  // namespace

bool write_all(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string tree_root() {
    const char *root = std::getenv("PNPSIM_ROOT");
    if (root == nullptr || *root == '\0') return "/var/lib/pnpsim";
    return root;
}

std::string upper_ascii(std::string s) {
    for (char &c : s) c = static_cast<char>(ascii_case(static_cast<unsigned char>(c), true));
    return s;
}

bool id_valid(const std::string &id) {
    if (id.empty() || id.size() >= MAX_DEVICE_ID_LEN) return false;
    for (char c : id) {
        if (c <= 0x20 || c >= 0x7F || c == ',') return false;
    }
    return true;
}

std::string guid_string(const GUID &g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool parse_guid(const std::string &s, GUID &g) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
    auto field = [&](std::size_t at, std::size_t digits, unsigned long long &v) {
        v = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            int d = hex_digit(s[at + i]);
            if (d < 0) return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        return true;
    };
    if (s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-') return false;
    unsigned long long a = 0, b = 0, c = 0, d = 0, e = 0;
    if (!field(1, 8, a) || !field(10, 4, b) || !field(15, 4, c) || !field(20, 4, d) ||
        !field(25, 12, e))
        return false;
    g.Data1 = static_cast<DWORD>(a);
    g.Data2 = static_cast<WORD>(b);
    g.Data3 = static_cast<WORD>(c);
    g.Data4[0] = static_cast<BYTE>(d >> 8);
    g.Data4[1] = static_cast<BYTE>(d);
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(e >> (8 * (5 - i)));
    return true;
}

bool guid_equal(const GUID &a, const GUID &b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, 8) == 0;
}

DWORD tree_snapshot(const DeviceVisitor &visit) {
    DWORD rc = ensure_tree();
    if (rc != ERROR_SUCCESS) return rc;
    std::string id;
    for (const auto &[dir, cls] : class_dirs()) {
        DIR *d = ::opendir(dir.c_str());
        if (d == nullptr) continue;
        while (dirent *e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            bool regular = e->d_type == DT_REG || e->d_type == DT_UNKNOWN;
            std::string_view name = e->d_name;
            bool phantom = name.ends_with(PHANTOM_SUFFIX);
            if (phantom) name.remove_suffix(PHANTOM_SUFFIX.size());
            if (regular && decode_id(name, id)) visit(id, cls, phantom);
        }
        ::closedir(d);
    }
    return ERROR_SUCCESS;
}

bool tree_writable() {
    struct stat st = {};
    std::string root = tree_root();
    if (::stat((root + "/lock").c_str(), &st) == 0) {
        return ::access((root + "/lock").c_str(), W_OK) == 0 && ::access(root.c_str(), W_OK) == 0;
    }
    // No tree yet: whoever can make its directory can write it.
    std::string dir = root;
    while (::stat(dir.c_str(), &st) != 0) {
        auto slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            dir = slash == 0 ? "/" : ".";
            break;
        }
        dir.resize(slash);
    }
    return ::access(dir.c_str(), W_OK) == 0;
}

namespace {

// ROOT\<NAME>\NNNN with the lowest number that no node holds; "" when
// none is left.
std::string lowest_free_id(const std::string &name) {
    const std::string prefix = "ROOT\\" + upper_ascii(name) + "\\";
    std::set<DWORD> used;
    DWORD rc = tree_snapshot([&](std::string_view id, const GUID &, bool) {
        DWORD n = 0;
        if (id.size() == prefix.size() + 4 && id.substr(0, prefix.size()) == prefix &&
            parse_number(std::string(id.substr(prefix.size())), n)) {
            used.insert(n);
        }
    });
    if (rc != ERROR_SUCCESS) return {};
    for (unsigned n = 0; n <= 9999; ++n) {
        char num[8];
        std::snprintf(num, sizeof num, "%04u", n);
        std::string id = prefix + num;
        if (used.count(n) == 0) return id;
    }
    return {};
}

}  // namespace

DWORD tree_create(const std::string &name_or_id, bool generate, const GUID &cls, const Record &rec,
                  std::string &id) {
    DWORD rc = ensure_tree();
    if (rc != ERROR_SUCCESS) return rc;
    Lock lock;
    rc = lock_tree(lock);
    if (rc != ERROR_SUCCESS) return rc;
    if (generate) {
        // Chosen under the lock, so that concurrent creations never pick
        // the same number; the phantom holds it from now on.
        id = lowest_free_id(name_or_id);
        if (id.empty()) return ERROR_INVALID_DEVINST_NAME;
    } else {
        id = upper_ascii(name_or_id);
        if (!find_device(id).empty()) return ERROR_DEVINST_ALREADY_EXISTS;
    }
    std::string name = encode_id(id) + std::string(PHANTOM_SUFFIX);
    if (!id_valid(id) || name.size() > NAME_MAX_BYTES) return ERROR_INVALID_DEVINST_NAME;
    std::string dir = devices_dir() + "/" + guid_string(cls);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return from_errno(ec.value());
    return write_record(dir + "/" + name, rec);
}

namespace {

// Under the writers' lock: the file of the node with this ID that `owner`
// may act on, and its record when `rec` is given.
DWORD locked_find(Lock &lock, const std::string &id, const std::string &owner, std::string &path,
                  Record *rec = nullptr) {
    DWORD rc = ensure_tree();
    if (rc == ERROR_SUCCESS) rc = lock_tree(lock);
    if (rc != ERROR_SUCCESS) return rc;
    path = find_device(id);
    if (path.empty() || (!owner.empty() && !path.ends_with(PHANTOM_SUFFIX))) {
        return ERROR_NO_SUCH_DEVINST;
    }
    if (rec == nullptr && owner.empty()) return ERROR_SUCCESS;
    Record mine;
    Record &read = rec != nullptr ? *rec : mine;
    rc = read_record(path, read);
    if (rc != ERROR_SUCCESS) return rc;
    return !owner.empty() && read.owner != owner ? ERROR_NO_SUCH_DEVINST : ERROR_SUCCESS;
}

}  // namespace

DWORD tree_register(const std::string &id, const std::string &owner) {
    Lock lock;
    std::string path;
    DWORD rc = locked_find(lock, id, owner, path);
    if (rc != ERROR_SUCCESS) return rc;
    if (!path.ends_with(PHANTOM_SUFFIX)) return ERROR_DEVINST_ALREADY_EXISTS;
    std::string whole = path.substr(0, path.size() - PHANTOM_SUFFIX.size());
    if (::rename(path.c_str(), whole.c_str()) != 0) return from_errno(errno);
    return ERROR_SUCCESS;
}

DWORD tree_remove(const std::string &id, const std::string &owner) {
    Lock lock;
    std::string path;
    DWORD rc = locked_find(lock, id, owner, path);
    if (rc != ERROR_SUCCESS) return rc;
    if (::unlink(path.c_str()) != 0) return from_errno(errno);
    return ERROR_SUCCESS;
}

DWORD tree_read(const std::string &id, Record &rec, const GUID *cls) {
    std::string path = find_device(id, cls);
    if (path.empty()) return ERROR_NO_SUCH_DEVINST;
    return read_record(path, rec);
}

DWORD tree_set_property(const std::string &id, const std::string &owner, DWORD property,
                        const Value &v) {
    Lock lock;
    std::string path;
    Record rec;
    DWORD rc = locked_find(lock, id, owner, path, &rec);
    if (rc != ERROR_SUCCESS) return rc;
    rec.properties[property] = v;
    return write_record(path, rec);
}

}  // namespace pnpsim

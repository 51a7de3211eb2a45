// The Windows device-installation, registry, token and console interfaces
// over the stand-in's device tree.
#include "pnpsim.h"
#include "text.h"
#include "tree.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <unistd.h>

using pnpsim::Record;
using pnpsim::Value;

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// PNPSIM_FAIL="Name[:code][@n],..." makes each named function fail, with
// `code` (decimal, default ERROR_GEN_FAILURE) as its error: every time, or
// only at its n-th call in this process. The name * stands for every
// function that can fail, counted together: "*:code@n" fails the n-th such
// call, whichever function makes it. Each failure made is named on standard
// error, so that a test knows which call it hit. PNPSIM_PAUSE="Name:ms[@n],..."
// makes a function wait first, so that a test can act between two calls of
// a running program: for `ms` milliseconds, or until the file PNPSIM_RESUME
// names exists, whichever comes first.
bool injected(const char *function, DWORD &code, const char *variable = "PNPSIM_FAIL") {
    const char *env = std::getenv(variable);
    if (env == nullptr) return false;
    static std::mutex calls_mutex;
    static std::unordered_map<std::string, unsigned long> calls;
    unsigned long any = 0;
    unsigned long mine = 0;
    {
        std::lock_guard<std::mutex> g(calls_mutex);
        any = ++calls[std::string(variable) + "*"];
        mine = ++calls[std::string(variable) + function];
    }
    std::string list = env;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = std::min(list.find(',', start), list.size());
        std::string item = list.substr(start, comma - start);
        start = comma + 1;
        std::size_t at = item.find('@');
        std::size_t colon = item.find(':');
        std::string name = item.substr(0, std::min(colon, at));
        if (name != function && name != "*") continue;
        unsigned long call = name == "*" ? any : mine;
        if (at != std::string::npos && call != std::strtoul(item.c_str() + at + 1, nullptr, 10)) {
            continue;
        }
        code = colon < at ? static_cast<DWORD>(std::strtoul(item.c_str() + colon + 1, nullptr, 10))
                          : ERROR_GEN_FAILURE;
        if (std::strcmp(variable, "PNPSIM_FAIL") == 0) {
            std::fprintf(stderr, "pnpsim: %s failed as asked\n", function);
        }
        return true;
    }
    return false;
}

bool fail_injected(const char *function) {
    DWORD code = 0;
    if (injected(function, code, "PNPSIM_PAUSE")) {
        const char *resume = std::getenv("PNPSIM_RESUME");
        for (DWORD waited = 0; waited < code && (resume == nullptr || ::access(resume, F_OK) != 0);
             waited += 5) {
            ::usleep(5000);
        }
    }
    if (!injected(function, code)) return false;
    last_error = code;
    return true;
}

BOOL fail(DWORD code) {
    last_error = code;
    return FALSE;
}

// What an element made in this set holds beyond its ID and class: the mark
// of the phantom it made in the tree (record.owner), and the class-install
// parameters.
struct Pending {
    Record record;
    bool has_remove_params = false;
    SP_REMOVEDEVICE_PARAMS remove_params{};
};

// Where an element's device node is: a phantom in the tree, or registered.
enum class Node : std::uint8_t { phantom, whole };

// A set of all devices holds thousands of elements, so they are small: the
// IDs live together in the set's arena and the classes in a short table.
struct Element {
    std::uint32_t id_at = 0;   // where the ID starts in the arena
    std::uint16_t cls_at = 0;  // the class's place in the class table
    Node node = Node::phantom;
    bool gone = false;  // removed through this set
    std::unique_ptr<Pending> more;
};

struct DevInfoSet {
    bool has_class = false;
    GUID cls{};
    DWORD serial = 0;
    std::string arena;  // NUL-terminated IDs, one after another
    std::vector<GUID> classes;
    std::vector<Element> elements;
};

std::string_view id_view(const DevInfoSet &s, const Element &e) {
    return {s.arena.c_str() + e.id_at};
}

std::string id_of(const DevInfoSet &s, const Element &e) { return std::string(id_view(s, e)); }

void set_id(DevInfoSet &s, Element &e, std::string_view id) {
    e.id_at = static_cast<std::uint32_t>(s.arena.size());
    s.arena.append(id);
    s.arena += '\0';
}

void set_class(DevInfoSet &s, Element &e, const GUID &cls) {
    for (std::size_t i = 0; i < s.classes.size(); ++i) {
        if (pnpsim::guid_equal(s.classes[i], cls)) {
            e.cls_at = static_cast<std::uint16_t>(i);
            return;
        }
    }
    e.cls_at = static_cast<std::uint16_t>(s.classes.size());
    s.classes.push_back(cls);
}

struct Token {
    bool elevated = false;
};

// Handles are pointers to these objects, known by kind, so that a stale or
// foreign handle is refused instead of followed.
enum class Kind { set, token };

std::mutex handles_mutex;
// Never destroyed: what a process leaves open at its end (a set or a token
// whose closing failed) is still held then, as the platform holds it.
auto &handles = *new std::unordered_map<const void *, Kind>;
auto &sets_by_serial = *new std::unordered_map<DWORD, DevInfoSet *>;
DWORD next_serial = 1;

// A DevInst names an element of a live set: the set's serial in the high 12
// bits, the element's position + 1 in the low 20.
constexpr DWORD SERIAL_BITS = 12;
constexpr DWORD INDEX_BITS = 32 - SERIAL_BITS;
constexpr DWORD MAX_SERIAL = (1U << SERIAL_BITS) - 1;
constexpr DWORD MAX_ELEMENTS = (1U << INDEX_BITS) - 2;

template <typename T>
T *lookup(const void *h, Kind kind) {
    std::lock_guard<std::mutex> g(handles_mutex);
    auto it = handles.find(h);
    if (it == handles.end() || it->second != kind) return nullptr;
    return static_cast<T *>(const_cast<void *>(h));
}

// Takes a handle out of the table before its object is deleted.
void forget(const void *h) {
    std::lock_guard<std::mutex> g(handles_mutex);
    handles.erase(h);
}

DevInfoSet *new_set() {
    std::lock_guard<std::mutex> g(handles_mutex);
    for (DWORD tries = 0; tries < MAX_SERIAL; ++tries) {
        DWORD serial = next_serial;
        next_serial = next_serial == MAX_SERIAL ? 1 : next_serial + 1;
        if (sets_by_serial.count(serial) != 0) continue;
        auto *s = new DevInfoSet;
        s->serial = serial;
        sets_by_serial[serial] = s;
        handles[s] = Kind::set;
        return s;
    }
    return nullptr;
}

std::string narrow(PCWSTR w, bool &ascii) {
    std::string s;
    ascii = true;
    for (; *w != 0; ++w) {
        if (*w >= 0x80) ascii = false;
        s += static_cast<char>(*w & 0x7F);
    }
    return s;
}

std::string wide_bytes(PCWSTR w) {
    std::size_t n = 0;
    while (w[n] != 0) ++n;
    return {reinterpret_cast<const char *>(w), (n + 1) * sizeof(WCHAR)};
}

// Reserved names the set and the element, so that element data of another
// set is told apart from this set's.
void fill(const DevInfoSet &s, std::size_t index, SP_DEVINFO_DATA *d) {
    d->ClassGuid = s.classes[s.elements[index].cls_at];
    d->DevInst = (s.serial << INDEX_BITS) | static_cast<DWORD>(index + 1);
    d->Reserved = (static_cast<ULONG_PTR>(s.serial) << 32) | (index + 1);
}

// The set that a handle names, or null with ERROR_INVALID_HANDLE.
DevInfoSet *get_set(HDEVINFO h) {
    auto *s = lookup<DevInfoSet>(h, Kind::set);
    if (s == nullptr) last_error = ERROR_INVALID_HANDLE;
    return s;
}

// The element that `d` names in the set that `h` names (kept in `s`), or
// null with the error set: as on Windows, element data that is missing, of
// the wrong size or not of this set is an invalid parameter.
Element *get_element(HDEVINFO h, const SP_DEVINFO_DATA *d, DevInfoSet *&s) {
    s = get_set(h);
    if (s == nullptr) return nullptr;
    std::size_t index = d == nullptr ? 0 : (d->Reserved & 0xFFFFFFFFU);
    if (d == nullptr || d->cbSize != sizeof(SP_DEVINFO_DATA) || (d->Reserved >> 32) != s->serial ||
        index == 0 || index > s->elements.size()) {
        last_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    Element &e = s->elements[index - 1];
    if (e.gone) {
        last_error = ERROR_NO_SUCH_DEVINST;
        return nullptr;
    }
    return &e;
}

Pending &more(Element &e) {
    if (!e.more) e.more = std::make_unique<Pending>();
    return *e.more;
}

bool known_property(DWORD property, DWORD &type) {
    switch (property) {
    case SPDRP_HARDWAREID:
        type = REG_MULTI_SZ;
        return true;
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
        type = REG_SZ;
        return true;
    default:
        return false;
    }
}

// A mark no other set, in this process or another, will ever make.
std::string new_owner() {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    std::lock_guard<std::mutex> g(m);
    return std::to_string(::getpid()) + "." + std::to_string(rng());
}

// The mark of the phantom this element made, or "". The tree acts for it
// only on that phantom, so once the node is registered or gone, or made
// again by another set, the mark changes nothing.
std::string owner_of(const Element &e) { return e.more ? e.more->record.owner : std::string(); }

BOOL register_device(DevInfoSet &s, Element &e) {
    if (e.node == Node::whole) return fail(ERROR_DEVINST_ALREADY_EXISTS);
    if (!pnpsim::tree_writable()) return fail(ERROR_ACCESS_DENIED);
    DWORD rc = pnpsim::tree_register(id_of(s, e), owner_of(e));
    if (rc != ERROR_SUCCESS) return fail(rc);
    e.node = Node::whole;
    return TRUE;
}

BOOL remove_device(DevInfoSet &s, Element &e) {
    if (e.more && e.more->has_remove_params &&
        e.more->remove_params.Scope != DI_REMOVEDEVICE_GLOBAL &&
        e.more->remove_params.Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!pnpsim::tree_writable()) return fail(ERROR_ACCESS_DENIED);
    // A phantom goes as a registered device does; the element stays in its
    // set, its ID no longer readable.
    DWORD rc = pnpsim::tree_remove(id_of(s, e), owner_of(e));
    if (rc != ERROR_SUCCESS) return fail(rc);
    e.gone = true;
    return TRUE;
}

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

HDEVINFO SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND /*hwndParent*/) {
    if (fail_injected(__func__)) return INVALID_HANDLE_VALUE;
    DevInfoSet *s = new_set();
    if (s == nullptr) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid != nullptr) {
        s->has_class = true;
        s->cls = *ClassGuid;
    }
    last_error = ERROR_SUCCESS;
    return s;
}

namespace {

void destroy(DevInfoSet *s) {
    forget(s);
    {
        std::lock_guard<std::mutex> g(handles_mutex);
        sets_by_serial.erase(s->serial);
    }
    // The phantoms of elements that were never registered go with their
    // set; a process that dies first leaves them, as on Windows.
    for (const auto &e : s->elements) {
        std::string owner = owner_of(e);
        if (!owner.empty()) pnpsim::tree_remove(id_of(*s, e), owner);
    }
    delete s;
}

}  // namespace

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = get_set(DeviceInfoSet);
    if (s == nullptr) return FALSE;
    destroy(s);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID *ClassGuid,
                              PCWSTR DeviceDescription, HWND /*hwndParent*/, DWORD CreationFlags,
                              PSP_DEVINFO_DATA DeviceInfoData) {
    if (fail_injected(__func__)) return FALSE;
    if (DeviceName == nullptr) return fail(ERROR_INVALID_DEVINST_NAME);
    DevInfoSet *s = get_set(DeviceInfoSet);
    if (s == nullptr) return FALSE;
    if (ClassGuid == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if ((CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) != 0) {
        return fail(ERROR_INVALID_FLAGS);
    }
    if (s->has_class && !pnpsim::guid_equal(s->cls, *ClassGuid)) {
        return fail(ERROR_CLASS_MISMATCH);
    }
    if (s->elements.size() >= MAX_ELEMENTS) return fail(ERROR_NOT_ENOUGH_MEMORY);
    bool ascii = true;
    std::string name = narrow(DeviceName, ascii);
    if (!ascii) return fail(ERROR_INVALID_DEVINST_NAME);
    bool generate = (CreationFlags & DICD_GENERATE_ID) != 0;
    if (generate && name.find('\\') != std::string::npos) return fail(ERROR_INVALID_DEVINST_NAME);
    Element e;
    Pending &p = more(e);
    if (DeviceDescription != nullptr) {
        p.record.properties[SPDRP_DEVICEDESC] = {REG_SZ, wide_bytes(DeviceDescription)};
    }
    // The node exists from now on, a phantom that holds its number, so
    // creating it is already a write of the tree, which only an
    // administrator may make.
    if (!pnpsim::tree_writable()) return fail(ERROR_ACCESS_DENIED);
    std::string id;
    p.record.owner = new_owner();
    DWORD rc = pnpsim::tree_create(name, generate, *ClassGuid, p.record, id);
    if (rc != ERROR_SUCCESS) return fail(rc);
    set_id(*s, e, id);
    set_class(*s, e, *ClassGuid);
    s->elements.push_back(std::move(e));
    // As on Windows, element data of the wrong size is refused after the
    // element has been made.
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInfoData != nullptr) fill(*s, s->elements.size() - 1, DeviceInfoData);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, const BYTE *PropertyBuffer,
                                       DWORD PropertyBufferSize) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = nullptr;
    Element *e = get_element(DeviceInfoSet, DeviceInfoData, s);
    if (e == nullptr) return FALSE;
    DWORD type = REG_NONE;
    if (!known_property(Property, type)) return fail(ERROR_INVALID_REG_PROPERTY);
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Value v{type, std::string(reinterpret_cast<const char *>(PropertyBuffer),
                              PropertyBuffer == nullptr ? 0 : PropertyBufferSize)};
    DWORD rc = pnpsim::tree_set_property(id_of(*s, *e), owner_of(*e), Property, v);
    if (rc != ERROR_SUCCESS) return fail(rc);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = nullptr;
    Element *e = get_element(DeviceInfoSet, DeviceInfoData, s);
    if (e == nullptr) return FALSE;
    DWORD type = REG_NONE;
    if (!known_property(Property, type)) return fail(ERROR_INVALID_REG_PROPERTY);
    Record rec;
    DWORD rc = pnpsim::tree_read(id_of(*s, *e), rec, &s->classes[e->cls_at]);
    if (rc != ERROR_SUCCESS) return fail(rc);
    auto it = rec.properties.find(Property);
    if (it == rec.properties.end()) return fail(ERROR_INVALID_DATA);  // as Windows says
    const Value &v = it->second;
    auto size = static_cast<DWORD>(v.data.size());
    if (RequiredSize != nullptr) *RequiredSize = size;
    if (PropertyRegDataType != nullptr) *PropertyRegDataType = v.type;
    if (PropertyBuffer == nullptr || PropertyBufferSize < size) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(PropertyBuffer, v.data.data(), size);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = nullptr;
    Element *e = get_element(DeviceInfoSet, DeviceInfoData, s);
    if (e == nullptr) return FALSE;
    BOOL ok = FALSE;
    switch (InstallFunction) {
    case DIF_REGISTERDEVICE:
        ok = register_device(*s, *e);
        break;
    case DIF_REMOVE:
        ok = remove_device(*s, *e);
        break;
    default:
        return fail(ERROR_DI_DO_DEFAULT);
    }
    if (ok) last_error = ERROR_SUCCESS;
    return ok;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                          DWORD /*HwProfile*/, DWORD KeyType, REGSAM /*samDesired*/) {
    auto *invalid = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (fail_injected(__func__)) return invalid;
    DevInfoSet *s = nullptr;
    Element *e = get_element(DeviceInfoSet, DeviceInfoData, s);
    if (e == nullptr) return invalid;
    if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) {
        last_error = ERROR_INVALID_FLAGS;
        return invalid;
    }
    if (KeyType != DIREG_DEV && KeyType != DIREG_DRV) {
        last_error = ERROR_INVALID_FLAGS;
        return invalid;
    }
    if (e->node != Node::whole) {
        last_error = ERROR_DEVINFO_NOT_REGISTERED;
        return invalid;
    }
    // No driver is ever installed, and a device without one has neither a
    // driver key nor a hardware key until SetupDiCreateDevRegKey makes it,
    // which nothing here does.
    last_error = ERROR_KEY_DOES_NOT_EXIST;
    return invalid;
}

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND /*hwndParent*/,
                              DWORD Flags) {
    if (fail_injected(__func__)) return INVALID_HANDLE_VALUE;
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0 ||
        (Flags & ~(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE)) != 0) {
        last_error = ERROR_INVALID_FLAGS;
        return INVALID_HANDLE_VALUE;
    }
    bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    bool present = (Flags & DIGCF_PRESENT) != 0;
    if (!all && ClassGuid == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    std::string prefix;
    if (Enumerator != nullptr) {
        bool ascii = true;
        prefix = pnpsim::upper_ascii(narrow(Enumerator, ascii)) + "\\";
    }
    DevInfoSet *s = new_set();
    if (s == nullptr) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return INVALID_HANDLE_VALUE;
    }
    DWORD rc = pnpsim::tree_snapshot([&](std::string_view id, const GUID &cls, bool phantom) {
        // A phantom is not present.
        if (present && phantom) return;
        if (!all && !pnpsim::guid_equal(cls, *ClassGuid)) return;
        if (id.substr(0, prefix.size()) != prefix) return;
        if (s->elements.size() >= MAX_ELEMENTS) return;
        Element e;
        set_id(*s, e, id);
        set_class(*s, e, cls);
        e.node = phantom ? Node::phantom : Node::whole;
        s->elements.push_back(std::move(e));
    });
    if (rc != ERROR_SUCCESS) {
        destroy(s);
        last_error = rc;
        return INVALID_HANDLE_VALUE;
    }
    // The tree keeps IDs upper-cased, so ordinal order is the order of IDs
    // ignoring case.
    const char *arena = s->arena.c_str();
    std::sort(s->elements.begin(), s->elements.end(), [arena](const Element &a, const Element &b) {
        return std::strcmp(arena + a.id_at, arena + b.id_at) < 0;
    });
    last_error = ERROR_SUCCESS;
    return s;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = get_set(DeviceInfoSet);
    if (s == nullptr) return FALSE;
    if (DeviceInfoData == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= s->elements.size()) return fail(ERROR_NO_MORE_ITEMS);
    fill(*s, MemberIndex, DeviceInfoData);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize) {
    if (fail_injected(__func__)) return FALSE;
    DevInfoSet *s = nullptr;
    Element *e = get_element(DeviceInfoSet, DeviceInfoData, s);
    if (e == nullptr) return FALSE;
    if (ClassInstallParams == nullptr ||
        ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
        ClassInstallParams->InstallFunction != DIF_REMOVE ||
        ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Pending &p = more(*e);
    std::memcpy(&p.remove_params, ClassInstallParams, sizeof(SP_REMOVEDEVICE_PARAMS));
    p.has_remove_params = true;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
    DWORD code = 0;
    if (injected(__func__, code)) return code;
    if (Buffer == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    std::lock_guard<std::mutex> g(handles_mutex);
    auto it = sets_by_serial.find(dnDevInst >> INDEX_BITS);
    DWORD index = dnDevInst & ((1U << INDEX_BITS) - 1);
    if (it == sets_by_serial.end() || index == 0 || index > it->second->elements.size()) {
        return CR_INVALID_DEVNODE;
    }
    const Element &e = it->second->elements[index - 1];
    if (e.gone) return CR_NO_SUCH_DEVNODE;
    std::string_view id = id_view(*it->second, e);
    // As the platform does: the ID and its NUL when they fit, the bare ID
    // when only it fits, CR_BUFFER_SMALL otherwise.
    std::size_t n = std::min<std::size_t>(id.size(), BufferLen);
    for (std::size_t i = 0; i < n; ++i) Buffer[i] = static_cast<WCHAR>(id[i]);
    if (id.size() < BufferLen) Buffer[id.size()] = 0;
    return id.size() <= BufferLen ? CR_SUCCESS : CR_BUFFER_SMALL;
}

// No device here has a hardware key, so no key is ever opened: every key
// handle is invalid.
LSTATUS RegSetValueExW(HKEY /*hKey*/, LPCWSTR /*lpValueName*/, DWORD /*Reserved*/, DWORD /*dwType*/,
                       const BYTE * /*lpData*/, DWORD /*cbData*/) {
    DWORD code = 0;
    if (injected(__func__, code)) return static_cast<LSTATUS>(code);
    return ERROR_INVALID_HANDLE;
}

LSTATUS RegCloseKey(HKEY /*hKey*/) { return ERROR_INVALID_HANDLE; }

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }  // the pseudo-handle, as on Windows

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (fail_injected(__func__)) return FALSE;
    if (TokenHandle == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (ProcessHandle != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE);
    if ((DesiredAccess & TOKEN_QUERY) == 0) return fail(ERROR_ACCESS_DENIED);
    // Elevated is what root is here: the effective user may write anything.
    auto *t = new Token{::geteuid() == 0};
    {
        std::lock_guard<std::mutex> g(handles_mutex);
        handles[t] = Kind::token;
    }
    *TokenHandle = t;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         void *TokenInformation, DWORD TokenInformationLength,
                         PDWORD ReturnLength) {
    if (fail_injected(__func__)) return FALSE;
    auto *t = lookup<Token>(TokenHandle, Kind::token);
    if (t == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (TokenInformationClass != TokenElevation) return fail(ERROR_INVALID_PARAMETER);
    if (ReturnLength != nullptr) *ReturnLength = sizeof(TOKEN_ELEVATION);
    if (TokenInformation == nullptr || TokenInformationLength < sizeof(TOKEN_ELEVATION)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    TOKEN_ELEVATION rec{t->elevated ? 1U : 0U};
    std::memcpy(TokenInformation, &rec, sizeof rec);
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (fail_injected(__func__)) return FALSE;
    auto *t = lookup<Token>(hObject, Kind::token);
    if (t == nullptr) return fail(ERROR_INVALID_HANDLE);
    forget(t);
    delete t;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetConsoleOutputCP(UINT /*wCodePageID*/) {
    if (fail_injected(__func__)) return FALSE;
    return TRUE;  // a terminal here takes UTF-8 already
}

namespace {

// The standard handles stand for file descriptors 0, 1 and 2.
int std_fds[3] = {0, 1, 2};

int fd_of(HANDLE h) {
    for (int &fd : std_fds) {
        if (h == &fd) return fd;
    }
    return -1;
}

}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle) {
    if (fail_injected(__func__)) return INVALID_HANDLE_VALUE;
    if (nStdHandle == STD_INPUT_HANDLE) return &std_fds[0];
    if (nStdHandle == STD_OUTPUT_HANDLE) return &std_fds[1];
    if (nStdHandle == STD_ERROR_HANDLE) return &std_fds[2];
    last_error = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    if (fail_injected(__func__)) return FALSE;
    int fd = fd_of(hConsoleHandle);
    // As on Windows, a file or a pipe is not a console: the handle is refused.
    if (fd < 0 || ::isatty(fd) == 0) return fail(ERROR_INVALID_HANDLE);
    if (lpMode == nullptr) return fail(ERROR_INVALID_PARAMETER);
    *lpMode = fd == 0 ? 0x7 : ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                   LPDWORD lpNumberOfCharsWritten, LPVOID /*lpReserved*/) {
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = 0;
    if (fail_injected(__func__)) return FALSE;
    int fd = fd_of(hConsoleOutput);
    if (fd < 0 || ::isatty(fd) == 0) return fail(ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr && nNumberOfCharsToWrite != 0) return fail(ERROR_INVALID_PARAMETER);
    // Each call is text of its own: a surrogate pair split over two calls
    // is two unpaired halves, as a console shows them.
    std::string bytes = pnpsim::utf8_from_utf16(
        std::u16string_view(static_cast<const WCHAR *>(lpBuffer), nNumberOfCharsToWrite));
    if (!pnpsim::write_all(fd, bytes)) return fail(ERROR_GEN_FAILURE);
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    last_error = ERROR_SUCCESS;
    return TRUE;
}

// The stand-in's persistent device tree: one file per registered device,
// kept under PNPSIM_ROOT as devices/{CLASS-GUID}/<encoded instance ID>.
//
// A device appears or disappears only by rename() or unlink() of its file, so
// a reader never sees half a device, and a writer killed at any instant
// leaves at most a stray file in tmp/, which the next writer sweeps. Writers
// serialise on an flock() of the tree's lock file; readers take no lock.
#pragma once

#include "pnpsim.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pnpsim {

// The registry data the platform keeps for one device: its device
// properties (SPDRP_*) and the values of its hardware key.
struct Value {
    DWORD type = REG_NONE;
    std::string data;  // raw bytes, as the registry keeps them
};

struct Record {
    std::map<DWORD, Value> properties;
    std::map<std::string, Value> values;  // by upper-cased value name
};

// Where the tree lives: $PNPSIM_ROOT, default /var/lib/pnpsim.
std::string tree_root();

// Visits every readable device, in no particular order, from one read of
// each class directory. Entries that cannot be read as devices are left
// out and named in *skipped when it is given.
using DeviceVisitor = std::function<void(std::string_view id, const GUID &cls)>;
DWORD tree_snapshot(const DeviceVisitor &visit, std::vector<std::string> *skipped = nullptr);

// `cls`, when given, is where the device is looked for first.
bool tree_exists(const std::string &id, const GUID *cls = nullptr);

// ROOT\<NAME>\NNNN with the lowest number that no registered device uses
// and `also_taken`, when given, does not refuse; "" when none is left.
using IdFilter = std::function<bool(const std::string &id)>;
std::string lowest_free_id(const std::string &name, const IdFilter &also_taken = nullptr);

// Registers a new device. With `generate`, `name_or_id` is a device name and
// the ID becomes ROOT\<NAME>\NNNN with the lowest free number; otherwise it
// is the full ID. The chosen ID is returned in `id`.
DWORD tree_register(const std::string &name_or_id, bool generate, const GUID &cls,
                    const Record &rec, std::string &id);
DWORD tree_remove(const std::string &id);
DWORD tree_read(const std::string &id, Record &rec, const GUID *cls = nullptr);
DWORD tree_set_property(const std::string &id, DWORD property, const Value &v);
DWORD tree_set_value(const std::string &id, const std::string &name, const Value &v);
// Whether this process may change the tree (an existing tree's lock file
// opens for writing, or a missing tree can be made).
bool tree_writable();

// Writes all of `data` to `fd`, through interruptions and short writes.
bool write_all(int fd, std::string_view data);

// Instance IDs hold the characters 0x21..0x7E except the comma, at most
// MAX_DEVICE_ID_LEN - 1 of them; the platform keeps them upper-cased.
bool id_valid(const std::string &id);
std::string upper_ascii(std::string s);
int compare_nocase(const std::string &a, const std::string &b);
std::string guid_string(const GUID &g);
bool parse_guid(const std::string &s, GUID &g);
bool guid_equal(const GUID &a, const GUID &b);

// A file name that stands for an instance ID, and back; decoding refuses
// anything that is not the exact encoding of a valid ID.
std::string encode_id(const std::string &id);
bool decode_id(std::string_view name, std::string &id);

}  // namespace pnpsim

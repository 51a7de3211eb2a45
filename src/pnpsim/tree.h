// The stand-in's persistent device tree: one file per device node, kept
// under PNPSIM_ROOT as devices/{CLASS-GUID}/<encoded instance ID>, and with
// PHANTOM_SUFFIX after the name while the node is a phantom: made by
// SetupDiCreateDeviceInfoW and not registered yet, as Windows marks such a
// node with Phantom = 1. The mark is in the name, so that an enumeration
// tells phantoms from registered devices without opening a file.
//
// A node appears, becomes whole or disappears only by one rename() or
// unlink() of its file, so a reader never sees half a device, and a writer
// killed at any instant leaves at most a stray file in tmp/, which the next
// writer sweeps, or a phantom, as a process killed on Windows does. Writers
// serialise on an flock() of the tree's lock file; readers take no lock.
#pragma once

#include "pnpsim.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pnpsim {

inline constexpr std::string_view PHANTOM_SUFFIX = ",phantom";

// The registry data the platform keeps for one device node: its device
// properties (SPDRP_*). A device without a driver has no hardware key, so
// there are no key values to keep.
struct Value {
    DWORD type = REG_NONE;
    std::string data;  // raw bytes, as the registry keeps them
};

struct Record {
    std::map<DWORD, Value> properties;
    // Who made a phantom: the device-information set's own mark, so that a
    // set never registers, changes or deletes a node that someone else made
    // under the same ID after its own phantom was removed.
    std::string owner;
};

// Where the tree lives: $PNPSIM_ROOT, default /var/lib/pnpsim.
std::string tree_root();

// Visits every device node, phantoms included, in no particular order,
// from one read of each class directory; entries that are not device
// nodes are left out.
using DeviceVisitor = std::function<void(std::string_view id, const GUID &cls, bool phantom)>;
DWORD tree_snapshot(const DeviceVisitor &visit);

// Makes a phantom node owned by `rec.owner`. With `generate`, `name_or_id`
// is a device name and the ID becomes ROOT\<NAME>\NNNN with the lowest
// free number; otherwise it is the full ID. The ID is returned in `id`.
DWORD tree_create(const std::string &name_or_id, bool generate, const GUID &cls, const Record &rec,
                  std::string &id);
// The calls below act on the node with this ID. An `owner` that is not
// empty names the phantom it must be: a node that is whole, or another
// owner's phantom, is ERROR_NO_SUCH_DEVINST to it.
// Makes a phantom whole.
DWORD tree_register(const std::string &id, const std::string &owner);
DWORD tree_remove(const std::string &id, const std::string &owner = {});
DWORD tree_read(const std::string &id, Record &rec, const GUID *cls = nullptr);
DWORD tree_set_property(const std::string &id, const std::string &owner, DWORD property,
                        const Value &v);
// Whether this process may change the tree (an existing tree's lock file
// opens for writing, or a missing tree can be made).
bool tree_writable();

// Writes all of `data` to `fd`, through interruptions and short writes.
bool write_all(int fd, std::string_view data);

// Instance IDs hold the characters 0x21..0x7E except the comma, at most
// MAX_DEVICE_ID_LEN - 1 of them; the platform keeps them upper-cased.
bool id_valid(const std::string &id);
std::string upper_ascii(std::string s);
std::string guid_string(const GUID &g);
bool parse_guid(const std::string &s, GUID &g);
bool guid_equal(const GUID &a, const GUID &b);

}  // namespace pnpsim

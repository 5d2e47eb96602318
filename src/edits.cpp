// The two operations that write to nodes: parent links and missing source
// locations. Writes have the effect of ordinary attribute assignment, which
// may run interpreter code; every node and value the call holds is an owned
// reference. Writes made before a failure stay made.
//
// On free-threaded builds another thread may write the same attributes,
// swap a node's `__dict__` or change its class between any two steps. The
// dictionary a plain store goes into is held from the moment it is read
// (store_kind), the values read are held (get_item_held), and the class
// attributes that decide a plain store are held by the record
// (ClassAttributes): a store decided just before another thread's change
// lands as if made before it. A location found present and then deleted
// by another thread is inherited as it was read.
#include <array>
#include <optional>
#include <vector>

#include "compiler.hpp"
#include "expand.hpp"
#include "functions.hpp"
#include "pycompat.hpp"
#include "thread_caches.hpp"
#include "type_info.hpp"

namespace arbolus {

namespace {

// The attribute names the edits write. The index of a name is its index in
// ClassAttributes::found.
enum NameIndex : size_t { PARENT = 0, LINENO, COL_OFFSET, END_LINENO, END_COL_OFFSET, NAME_COUNT };

static_assert(NAME_COUNT == WRITER_NAME_COUNT);

constexpr std::array<const char*, NAME_COUNT> NAME_TEXTS = {
    "parent", "lineno", "col_offset", "end_lineno", "end_col_offset"};

using Names = std::array<PyObject*, NAME_COUNT>;

// The names interned in the calling interpreter, so that every store passes
// the string object the parser's dictionaries hold, with its hash cached.
// Kept with the thread's caches: an interned string belongs to the
// interpreter that made it. Null with an exception set on failure.
std::optional<Names> writer_names(ThreadCaches& caches) {
    Names names;
    for (size_t i = 0; i < NAME_COUNT; ++i) {
        Strong& name = caches.writer_names[i];
        if (!name) {
            name = Strong::steal(PyUnicode_InternFromString(NAME_TEXTS[i]));
            if (!name) return std::nullopt;
        }
        names[i] = name.get();
    }
    return names;
}

// Looks the names up on cls's MRO as the class is now. The reads are
// dictionary reads of str keys, but a class dictionary may hold keys of
// other classes, whose `__eq__` a read may call, and that code may change
// any class: what was found is recorded only when the class's version tag
// is the same after the reads as before them. The record stays unknown
// (version 0), so that assignments take the attribute protocol, also when
// the class has no version tag or its MRO is not a tuple of classes. False
// with an exception set when a read fails.
bool refresh_class_attributes(const TypeInfo& info, PyTypeObject* cls, const Names& names) {
    info.class_attributes = {};
    if (PyUnstable_Type_AssignVersionTag(cls) == 0 || arbolus_type_version(cls) == 0) return true;
    const unsigned int version = arbolus_type_version(cls);
    // Held: the code a read runs may give the class another MRO.
    Strong mro = Strong::borrow(cls->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return true;
    ClassAttributes attributes;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) return true;
        Strong dict = Strong::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) return false;
        for (size_t n = 0; n < NAME_COUNT; ++n) {
            if (attributes.found[n].get() != nullptr) continue;  // a class before this one has it
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(dict.get(), names[n], &found) < 0) return false;
            Strong held = Strong::steal(found);
            attributes.found[n] = Held::borrow(found);
        }
    }
    if (arbolus_type_version(cls) != version) return true;
    attributes.version = version;
    info.class_attributes = attributes;
    return true;
}

// Where assigning `obj.<names[which]>` goes.
enum class Store { Error, Protocol, Plain };

// Plain (with *dict set) when the assignment is exactly a store into the
// instance dictionary: the class uses the generic assignment, what the
// class holds under the name is no data descriptor, and the instance has an
// exact dict. Whether an object is a data descriptor is asked of its type
// at every store, as assignment itself does: a type can gain `__set__`
// without the version tags of the classes holding its instances changing.
// Protocol otherwise; Error (exception set) when info_of(), which gives the
// class's record, or reading the class fails. Both may run interpreter
// code, which may replace the instance's dict, change its class or give the
// class an assignment hook: the dict and the hook are read after them, and
// a changed class takes the protocol.
template <class InfoOf>
Store store_kind(PyObject* obj, size_t which, const Names& names, InfoOf&& info_of,
                 Held* dict) {
    PyTypeObject* cls = Py_TYPE(obj);
    if (cls->tp_setattro != PyObject_GenericSetAttr) return Store::Protocol;
    const TypeInfo* info = info_of(cls);
    if (info == nullptr) return Store::Error;
    const ClassAttributes& attributes = info->class_attributes;
    const unsigned int version = arbolus_type_version(cls);
    if (version == 0 || attributes.version != version) {
        if (!refresh_class_attributes(*info, cls, names)) return Store::Error;
        if (attributes.version == 0) return Store::Protocol;
    }
    PyObject* found = attributes.found[which].get();
    if (found != nullptr && Py_TYPE(found)->tp_descr_set != nullptr) return Store::Protocol;
    if (Py_TYPE(obj) != cls || cls->tp_setattro != PyObject_GenericSetAttr) return Store::Protocol;
    // Held on free-threaded builds: another thread may assign `__dict__`
    // and drop this one before the store (which then lands in it, as if
    // made before the swap).
    Held d = instance_dict_held(obj);
    if (!d || !PyDict_CheckExact(d.get())) return Store::Protocol;
    *dict = std::move(d);
    return Store::Plain;
}

// obj.<names[which]> = value, with the effect of ordinary assignment.
// -1 with an exception set on failure.
template <class InfoOf>
int assign(PyObject* obj, size_t which, PyObject* value, const Names& names, InfoOf&& info_of) {
    Held dict;
    switch (store_kind(obj, which, names, info_of, &dict)) {
        case Store::Plain:
            return PyDict_SetItem(dict.get(), names[which], value);
        case Store::Protocol:
            return PyObject_SetAttr(obj, names[which], value);
        case Store::Error:
            break;
    }
    return -1;
}

}  // namespace

PyObject* set_parents(PyObject* node) {
    Strong root = Strong::borrow(node);
    ThreadCaches& caches = thread_caches();
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return nullptr;
    const std::optional<Names> names = writer_names(caches);
    if (!names) return nullptr;

    auto info_of = [&](PyTypeObject* cls) { return walk->type_info(cls); };
    std::vector<Strong> stack;
    stack.push_back(root);
    CycleWatch watch;
    while (!stack.empty()) {
        Strong p = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, root.get())) return nullptr;
        // The children go straight onto the stack, last first; all of them
        // are pushed before the first store, and stored in field order.
        const size_t start = stack.size();
        if (!walk->push_children(p.get(), stack)) return nullptr;
        for (size_t i = stack.size(); i-- > start;) {
            if (assign(stack[i].get(), PARENT, p.get(), *names, info_of) < 0) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

namespace {

struct LocationAttribute {
    size_t name;  // NameIndex
    uint8_t bit;
    bool none_is_missing;
};

constexpr std::array<LocationAttribute, 4> LOCATIONS = {{
    {LINENO, LOC_LINENO, false},
    {COL_OFFSET, LOC_COL_OFFSET, false},
    {END_LINENO, LOC_END_LINENO, true},
    {END_COL_OFFSET, LOC_END_COL_OFFSET, true},
}};

// The four values in force for a subtree, in LOCATIONS order.
using LocationRecord = std::array<Strong, 4>;

struct Pending {
    Strong node;
    size_t record;  // index of the record the node inherits
};

// The location `loc` of node `n`, whose usual position in `dict` (n's
// dictionary when the repair started) holds no key: reads it if it
// is present elsewhere, else writes the inherited value `in_force`, which
// becomes the value the subtree inherits. When the write is a plain store
// into `dict`, one insert-if-absent probe does both. Out of line: parsed
// nodes never get here. False with an exception set.
template <class InfoOf>
ARBOLUS_NOINLINE bool fill_if_absent(PyObject* n, PyObject* dict, const LocationAttribute& loc,
                                      Strong& in_force, const Names& names, InfoOf&& info_of) {
    PyObject* name = names[loc.name];
    PyObject* value = nullptr;
    Held store_dict;
    const Store kind = store_kind(n, loc.name, names, info_of, &store_dict);
    if (kind == Store::Error) return false;
    if (kind == Store::Plain && store_dict.get() == dict) {
        const int r = PyDict_SetDefaultRef(dict, name, in_force.get(), &value);
        if (r < 0) return false;
        if (r == 0) {
            Py_DECREF(value);  // inserted: the value is in_force's own
            return true;
        }
        Strong found = Strong::steal(value);
        if (value != Py_None || !loc.none_is_missing) {
            in_force = std::move(found);
            return true;
        }
        // A None that counts as missing (immortal): written below.
    } else {
        Strong held;
        if (pydict::get_item_held(dict, name, value, held) < 0) return false;
        if (value != nullptr && (value != Py_None || !loc.none_is_missing)) {
            in_force = Strong::borrow(value);
            return true;
        }
    }
    return assign(n, loc.name, in_force.get(), names, info_of) == 0;
}

}  // namespace

PyObject* fix_missing_locations(PyObject* node) {
    Strong result = Strong::borrow(node);
    ThreadCaches& caches = thread_caches();
    std::optional<Walk> walk = Walk::make(caches);
    if (!walk) return nullptr;
    // In the frame: read through the caches inside the loop, each name would
    // be loaded again after every store.
    const std::optional<Names> found_names = writer_names(caches);
    if (!found_names) return nullptr;
    const Names names = *found_names;
    Strong one = Strong::steal(PyLong_FromLong(1));
    Strong zero = Strong::steal(PyLong_FromLong(0));
    if (!one || !zero) return nullptr;

    // Append-only: siblings share their parent's record by index.
    std::vector<LocationRecord> records;
    records.push_back({one, zero, one, zero});
    std::vector<Pending> stack;
    stack.push_back({result, 0});
    std::vector<Strong> children;
    CycleWatch watch;

    while (!stack.empty()) {
        Pending item = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, node)) return nullptr;
        PyObject* n = item.node.get();
        size_t inherit = item.record;
        const TypeInfo* found = walk->type_info(Py_TYPE(n));
        if (found == nullptr) return nullptr;
        const TypeInfo& info = *found;
        const uint8_t locations = info.locations;
        // (An assignment hook may have changed the node's class meanwhile.)
        auto own_info = [&](PyTypeObject* cls) {
            return reinterpret_cast<PyObject*>(cls) == info.cls.get() ? &info : walk->type_info(cls);
        };
        if (locations != 0) {
            Strong dict = Strong::borrow(instance_dict_held(n).get());
            // Each value is set once: found present, else inherited. (The
            // record table does not change while one node is repaired.)
            const LocationRecord& inherited = records[inherit];
            LocationRecord record;
            for (size_t a = 0; a < LOCATIONS.size(); ++a) {
                const LocationAttribute& loc = LOCATIONS[a];
                if (!(locations & loc.bit)) {
                    record[a] = inherited[a];
                    continue;
                }
                PyObject* name = names[loc.name];
                if (dict) {
                    // Parsed nodes keep their locations right after their
                    // fields, in this order.
                    const size_t pos = info.fields.size() + a;
                    PyObject* value = pydict::value_if_key_at(dict.get(), pos, name);
                    if (value == nullptr) {
                        if (pydict::position_free(dict.get(), pos)) {
                            record[a] = inherited[a];
                            if (!fill_if_absent(n, dict.get(), loc, record[a], names, own_info)) {
                                return nullptr;
                            }
                            continue;
                        }
                    }
                    // (Owned on free-threaded builds, where another thread
                    // may replace the value.)
                    Strong held;
                    if (value == nullptr && pydict::get_item_held(dict.get(), name, value, held) < 0) {
                        return nullptr;
                    }
                    if (value != nullptr && (value != Py_None || !loc.none_is_missing)) {
                        record[a] = Strong::borrow(value);
                        continue;
                    }
                }
                record[a] = inherited[a];
                if (assign(n, loc.name, record[a].get(), names, own_info) < 0) return nullptr;
            }
            records.push_back(std::move(record));
            inherit = records.size() - 1;
        }
        children.clear();
        if (!walk->push_children(n, children)) return nullptr;
        for (Strong& child : children) stack.push_back({std::move(child), inherit});
    }
    return result.release();
}

}  // namespace arbolus

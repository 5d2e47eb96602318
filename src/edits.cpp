// The two operations that write to nodes: parent links and missing source
// locations. Writes go through ordinary attribute assignment, which may run
// interpreter code; every node and value the call holds is an owned
// reference. Writes made before a failure stay made.
#include <array>
#include <vector>

#include "expand.hpp"
#include "functions.hpp"
#include "type_info.hpp"

namespace arbolus {

namespace {

// An attribute name interned once per process and kept for its life, so
// every store passes the same string object with its hash cached.
PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        PyObject* name = PyUnicode_InternFromString(text);
        if (name == nullptr) return nullptr;
        slot = name;
    }
    return slot;
}

PyObject* PARENT_NAME = nullptr;

}  // namespace

PyObject* set_parents(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    PyObject* parent_name = interned(PARENT_NAME, "parent");
    if (parent_name == nullptr) return nullptr;

    std::vector<Strong> stack;
    std::vector<Strong> children;
    stack.push_back(root);
    CycleWatch watch;
    while (!stack.empty()) {
        Strong p = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(*walk, root.get())) return nullptr;
        if (!walk->push_children(p.get(), children)) return nullptr;
        // The buffer holds the children last first: store in field order.
        for (size_t i = children.size(); i-- > 0;) {
            if (PyObject_SetAttr(children[i].get(), parent_name, p.get()) < 0) return nullptr;
        }
        for (Strong& child : children) stack.push_back(std::move(child));
        children.clear();
    }
    Py_RETURN_NONE;
}

namespace {

struct LocationAttribute {
    const char* name;
    uint8_t bit;
    bool none_is_missing;
};

constexpr std::array<LocationAttribute, 4> LOCATIONS = {{
    {"lineno", LOC_LINENO, false},
    {"col_offset", LOC_COL_OFFSET, false},
    {"end_lineno", LOC_END_LINENO, true},
    {"end_col_offset", LOC_END_COL_OFFSET, true},
}};

std::array<PyObject*, 4> LOCATION_NAMES = {nullptr, nullptr, nullptr, nullptr};

// The four values in force for a subtree, in LOCATIONS order.
using LocationRecord = std::array<Strong, 4>;

struct Pending {
    Strong node;
    size_t record;  // index of the record the node inherits
};

}  // namespace

PyObject* fix_missing_locations(PyObject* node) {
    Strong result = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    std::array<PyObject*, 4> names{};
    for (size_t a = 0; a < LOCATIONS.size(); ++a) {
        names[a] = interned(LOCATION_NAMES[a], LOCATIONS[a].name);
        if (names[a] == nullptr) return nullptr;
    }
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
        const TypeInfo* info = walk->type_info(Py_TYPE(n));
        if (info == nullptr) return nullptr;
        const uint8_t locations = info->locations;
        if (locations != 0) {
            Strong dict = Strong::borrow(get_instance_dict_fast(n));
            LocationRecord record = records[inherit];
            for (size_t a = 0; a < LOCATIONS.size(); ++a) {
                if (!(locations & LOCATIONS[a].bit)) continue;
                if (dict) {
                    // Parsed nodes keep their locations right after their
                    // fields, in this order.
                    PyObject* value =
                        pydict::lookup_at(dict.get(), info->fields.size() + a, names[a]);
                    if (value != nullptr && !(value == Py_None && LOCATIONS[a].none_is_missing)) {
                        record[a] = Strong::borrow(value);
                        continue;
                    }
                    if (value == nullptr && PyErr_Occurred()) return nullptr;
                }
                if (PyObject_SetAttr(n, names[a], record[a].get()) < 0) return nullptr;
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

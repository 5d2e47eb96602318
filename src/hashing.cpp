// Structural hashes of subtrees: what `ast.dump` shows of a subtree (classes,
// field values in field order, list items in order, leaf values), with each
// leaf value's class mixed in. One pre-order walk collects the nodes; hashing
// them in reverse order reaches every child before its parent, so a parent
// only looks its children up.
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "compiler.hpp"
#include "expand.hpp"
#include "functions.hpp"
#include "recursion.hpp"

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
extern "C" PyObject* _PyDict_NewPresized(Py_ssize_t minused);
#endif

namespace arbolus {

namespace {

constexpr uint64_t MIX_MULTIPLIER = 0x9E3779B97F4A7C15ull;

inline uint64_t mix(uint64_t h, uint64_t x) { return (std::rotl(h, 5) ^ x) * MIX_MULTIPLIER; }

inline uint64_t word(const void* address) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
}

// Leaves whose own hash agrees with their dumped text. Anything else that is
// neither a node nor a list (floats, tuples, subclasses such as enum
// members) is hashed through its repr.
inline bool hashes_as_dumped(PyObject* v) {
    if (v == Py_None || v == Py_Ellipsis) return true;
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyLong_Type || t == &PyBool_Type;
}

struct Hashes {
    PointerMap<uint64_t> map;
    // Distinct nodes in the order they were hashed (children first).
    std::vector<std::pair<PyObject*, uint64_t>> order;
};

std::optional<Hashes> hash_subtrees(Walk& walk, PyObject* root);

bool hashed(Hashes& hashes, PyObject* node, uint64_t& out) {
    uint64_t* h = hashes.map.find(reinterpret_cast<uintptr_t>(node));
    if (h == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the tree changed while it was being hashed");
        return false;
    }
    out = *h;
    return true;
}

class Run {
public:
    Run(Walk& walk, Hashes& hashes) : walk_(walk), hashes_(hashes) {}

    // A field value or list item other than an exact list.
    bool hash_value(PyObject* v, uint64_t& out) {
        if (walk_.is_node(v)) return hash_node_value(v, out);
        if (!hashes_as_dumped(v)) return hash_other(v, out);
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1 && PyErr_Occurred()) return false;
        out = mix(word(Py_TYPE(v)), static_cast<uint64_t>(static_cast<int64_t>(h)));
        return true;
    }

    // An exact list, as `dump` shows it: its items in order, lists among
    // them included. The caller holds the list.
    bool hash_list(PyObject* list, uint64_t& out) {
        uint64_t lh = mix(~uint64_t{0}, static_cast<uint64_t>(PyList_GET_SIZE(list)));
        bool ok = for_each_item(list, [&](Py_ssize_t, PyObject* item) {
            Strong held = Strong::borrow(item);
            uint64_t ih;
            if (Py_IS_TYPE(item, &PyList_Type) ? !hash_inner_list(item, ih) : !hash_value(item, ih)) {
                return false;
            }
            lh = mix(lh, ih);
            return true;
        });
        if (!ok) return false;
        out = lh;
        return true;
    }

    bool hash_field(uint64_t& acc, size_t position, PyObject* value) {
        Strong v = Strong::borrow(value);
        uint64_t lh;
        if (Py_IS_TYPE(value, &PyList_Type) ? !hash_list(value, lh) : !hash_value(value, lh)) {
            return false;
        }
        acc = mix(mix(acc, position), lh);
        return true;
    }

    bool node_hash(PyObject* node, uint64_t& out) {
        const TypeInfo* info = walk_.type_info(Py_TYPE(node));
        if (info == nullptr) return false;
        uint64_t acc = mix(0, word(Py_TYPE(node)));
        bool ok = for_each_field(node, *info, [&](size_t i, PyObject* value) {
            return hash_field(acc, i, value);
        });
        if (!ok) return false;
        out = acc;
        return true;
    }

private:
    bool hash_node_value(PyObject* v, uint64_t& out) {
        if (uint64_t* h = hashes_.map.find(reinterpret_cast<uintptr_t>(v))) {
            out = *h;
            return true;
        }
        return hash_separately(v, out);
    }

    // A node that was not in the tree when it was walked (interpreter code
    // added it meanwhile, or it sits where the walk does not look): hashed
    // in a separate run of its own. A property that makes a new node on
    // every read nests such runs without end.
    ARBOLUS_NOINLINE bool hash_separately(PyObject* v, uint64_t& out) {
        RecursionGuard guard(" while hashing a subtree");
        if (!guard) return false;
        Strong held = Strong::borrow(v);
        std::optional<Hashes> fresh = hash_subtrees(walk_, held.get());
        return fresh && hashed(*fresh, held.get(), out);
    }

    // Nesting as deep as the lists are: a list inside itself ends in
    // RecursionError, as it does for `dump`.
    ARBOLUS_NOINLINE bool hash_inner_list(PyObject* list, uint64_t& out) {
        RecursionGuard guard(" while hashing a list");
        return guard && hash_list(list, out);
    }

    // Values that are neither nodes nor hashed as themselves. What `dump`
    // shows structurally is hashed the same way: a bare `ast.AST()` (no node
    // of the tree, but dumped as one, fields and all) as a root of its own,
    // a list subclass as a list. Anything else by its repr.
    ARBOLUS_NOINLINE bool hash_other(PyObject* v, uint64_t& out) {
        if (Py_IS_TYPE(v, walk_.base_type())) return hash_node_value(v, out);
        if (PyList_Check(v)) return hash_inner_list(v, out);
        Strong text = Strong::steal(PyObject_Repr(v));
        if (!text) return false;
        Py_hash_t h = PyObject_Hash(text.get());
        if (h == -1 && PyErr_Occurred()) return false;
        out = mix(word(Py_TYPE(v)), static_cast<uint64_t>(static_cast<int64_t>(h)));
        return true;
    }

    Walk& walk_;
    Hashes& hashes_;
};

// Depth-first pre-order with one entry per visit.
std::optional<std::vector<Strong>> pre_order(Walk& walk, PyObject* root) {
    std::vector<Strong> stack;
    std::vector<Strong> order;
    stack.push_back(Strong::borrow(root));
    CycleWatch watch;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        if (!watch.visit(walk, root)) return std::nullopt;
        if (!walk.push_children(n.get(), stack)) return std::nullopt;
        order.push_back(std::move(n));
    }
    return order;
}

std::optional<Hashes> hash_subtrees(Walk& walk, PyObject* root) {
    std::optional<std::vector<Strong>> order = pre_order(walk, root);
    if (!order) return std::nullopt;
    Hashes hashes{PointerMap<uint64_t>(order->size()), {}};
    Run run(walk, hashes);
    // The nodes are hashed in an order known in advance: start loading a
    // node's header, then its dictionary's entries, some steps before it.
    constexpr size_t AHEAD = 8;
    const std::vector<Strong>& nodes = *order;
    for (size_t i = nodes.size(); i-- > 0;) {
        if (i >= 2 * AHEAD) prefetch(nodes[i - 2 * AHEAD].get());
        if (i >= AHEAD) prefetch_fields(nodes[i - AHEAD].get());
        PyObject* n = nodes[i].get();
        auto key = reinterpret_cast<uintptr_t>(n);
        if (hashes.map.find(key) != nullptr) continue;  // shared: hashed once
        uint64_t h;
        if (!run.node_hash(n, h)) return std::nullopt;
        // The value step may have run a fresh run or interpreter code, but
        // not inserted this node into this map: only this loop does.
        hashes.map.insert(key, h);
        hashes.order.emplace_back(n, h);
    }
    return hashes;
}

// A dict with room for `n` entries, so filling it never rehashes. The
// interpreter exports its presizing constructor without declaring it
// publicly; it is used only for the versions it is known to have.
PyObject* new_dict_for(size_t n) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#else
    (void)n;
    return PyDict_New();
#endif
}

inline PyObject* signed_hash(uint64_t h) {
    return PyLong_FromLongLong(static_cast<long long>(static_cast<int64_t>(h)));
}

}  // namespace

PyObject* subtree_hashes(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    std::optional<Hashes> hashes = hash_subtrees(*walk, root.get());
    if (!hashes) return nullptr;
    Strong dict = Strong::steal(new_dict_for(hashes->order.size()));
    if (!dict) return nullptr;
    // Keys in pre-order of each node's last visit: the root comes first.
    for (size_t i = hashes->order.size(); i-- > 0;) {
        auto [address, h] = hashes->order[i];
        Strong key = Strong::steal(PyLong_FromVoidPtr(address));
        if (!key) return nullptr;
        Strong value = Strong::steal(signed_hash(h));
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* subtree_hash(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    std::optional<Hashes> hashes = hash_subtrees(*walk, root.get());
    if (!hashes) return nullptr;
    uint64_t h;
    if (!hashed(*hashes, root.get(), h)) return nullptr;
    return signed_hash(h);
}

}  // namespace arbolus

// Structural hashes of subtrees: what `ast.dump` shows of a subtree (classes,
// field values in field order, list items in order, leaf values), with each
// leaf value's class mixed in. One pre-order walk collects the nodes; hashing
// them in reverse order reaches every child before its parent, so a parent
// only looks its children up.
//
// The walk also takes notes of what it read: each field's position, its leaf
// value already hashed or a mark where a child sits. As long as no
// interpreter code can have run since the walk read a node, its fields still
// hold what the walk saw, and the hash step works from the notes instead of
// reading every field a second time. Code can run only in an attribute
// lookup, a dictionary lookup that compares keys of other classes than str,
// the first reading of a class's declarations, a cycle search, or the repr of
// an unusual leaf value; from the first node where any of these may have
// happened, the hash step reads the fields afresh, as they stand then.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "compiler.hpp"
#include "expand.hpp"
#include "functions.hpp"
#include "pycompat.hpp"
#include "recursion.hpp"

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

inline uint64_t leaf_hash(PyObject* v, Py_hash_t h) {
    return mix(word(Py_TYPE(v)), static_cast<uint64_t>(static_cast<int64_t>(h)));
}

struct Hashes {
    // Every node hashed so far, where children are looked up by address.
    PointerMap<uint64_t> map;
    // Distinct nodes in the order they were hashed (children first), when
    // the caller wants them all.
    std::vector<std::pair<PyObject*, uint64_t>> order;
    uint64_t root = 0;
};

// What the caller of a run needs: every distinct node's hash, or the root's.
enum class Want { All, Root };

std::optional<Hashes> hash_subtrees(Walk& walk, PyObject* root, Want want);

bool hashed(Hashes& hashes, PyObject* node, uint64_t& out) {
    uint64_t* h = hashes.map.find(reinterpret_cast<uintptr_t>(node));
    if (h == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the tree changed while it was being hashed");
        return false;
    }
    out = *h;
    return true;
}

// The hash step of nodes whose fields are read afresh.
class Run {
public:
    Run(Walk& walk, Hashes& hashes) : walk_(walk), hashes_(hashes) {}

    // A field value or list item other than an exact list.
    bool hash_value(PyObject* v, uint64_t& out) {
        if (walk_.is_node(v)) return hash_node_value(v, out);
        if (!hashes_as_dumped(v)) return hash_other(v, out);
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1 && PyErr_Occurred()) return false;
        out = leaf_hash(v, h);
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
        std::optional<Hashes> fresh = hash_subtrees(walk_, held.get(), Want::Root);
        if (!fresh) return false;
        out = fresh->root;
        return true;
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
        out = leaf_hash(v, h);
        return true;
    }

    Walk& walk_;
    Hashes& hashes_;
};

// --- the walk's notes ---------------------------------------------------------

// A node's notes: mix(0, class word), then per field read, in field order,
//   NOTE_LEAF | position << 2, then the value's hash;
//   NOTE_CHILD | position << 2, for a node: the next visit that an earlier
//     child's subtree has not taken;
//   NOTE_LIST | position << 2 | length << 32, then mix(~0, length), then per
//     item NOTE_CHILD, or NOTE_LEAF and the item's hash.
enum : uint64_t { NOTE_CHILD = 0, NOTE_LEAF = 1, NOTE_LIST = 2, NOTE_KIND = 3 };
constexpr uint64_t MAX_NOTED_POSITION = (uint64_t{1} << 30) - 1;
constexpr uint64_t MAX_NOTED_LENGTH = (uint64_t{1} << 32) - 1;

enum class Leaf { Hashed, Unnoted, Failed };

// The hash an exact str carries, or -1 when it has none yet.
inline Py_hash_t cached_str_hash(PyObject* s) {
#if PY_VERSION_HEX >= 0x030F0000
    return PyUnstable_Unicode_GET_CACHED_HASH(s);
#elif !defined(Py_GIL_DISABLED)
    return reinterpret_cast<PyASCIIObject*>(s)->hash;
#else
    (void)s;
    return -1;
#endif
}

// Hashes a leaf value the way the hash step would, when doing so runs no
// interpreter code: the values hashed as themselves, and exact floats and
// complex numbers, whose repr the interpreter makes itself. Anything else is
// left to the hash step (Unnoted).
Leaf quiet_leaf_hash(PyObject* v, uint64_t& out) {
    if (hashes_as_dumped(v)) {
        // Names and strings usually carry their hash already.
        Py_hash_t h = Py_IS_TYPE(v, &PyUnicode_Type) ? cached_str_hash(v) : -1;
        if (h == -1) h = PyObject_Hash(v);
        if (h == -1 && PyErr_Occurred()) return Leaf::Failed;
        out = leaf_hash(v, h);
        return Leaf::Hashed;
    }
    if (!Py_IS_TYPE(v, &PyFloat_Type) && !Py_IS_TYPE(v, &PyComplex_Type)) return Leaf::Unnoted;
    Strong text = Strong::steal(PyObject_Repr(v));
    if (!text) return Leaf::Failed;
    Py_hash_t h = PyObject_Hash(text.get());
    if (h == -1 && PyErr_Occurred()) return Leaf::Failed;
    out = leaf_hash(v, h);
    return Leaf::Hashed;
}

// What one walk read.
struct Walked {
    std::vector<Strong> nodes;     // one per visit, in pre-order
    std::vector<size_t> starts;    // where each visit's notes begin; one more at the end
    std::vector<uint64_t> notes;
    // Visits [0, reread) are read afresh by the hash step: the first one the
    // walk could not note in full, and every visit before it, or all when
    // interpreter code may have run during the walk.
    size_t reread = 0;
};

class Collector {
public:
    Collector(Walk& walk, Walked& out) : walk_(walk), out_(out) {}

    // Pushes the children of `node` as push_children does, and notes it.
    bool visit(PyObject* node, std::vector<Strong>& stack) {
        PyTypeObject* cls = Py_TYPE(node);
        const TypeInfo* info = walk_.known_type_info(cls);
        if (info == nullptr) {
            code_ran_ = true;  // reading the class's declarations
            info = walk_.type_info(cls);
            if (info == nullptr) return false;
        }
        std::vector<uint64_t>& notes = out_.notes;
        noted_ = true;
        notes.push_back(mix(0, word(cls)));
        const size_t start = stack.size();
        bool ok = for_each_field(node, *info, [&](size_t i, PyObject* value) {
            if (i > MAX_NOTED_POSITION) noted_ = false;
            const uint64_t at = (static_cast<uint64_t>(i) & MAX_NOTED_POSITION) << 2;
            if (Py_IS_TYPE(value, &PyList_Type)) {
                const auto length = static_cast<uint64_t>(PyList_GET_SIZE(value));
                if (length > MAX_NOTED_LENGTH) noted_ = false;
                notes.push_back(NOTE_LIST | at | (length & MAX_NOTED_LENGTH) << 32);
                notes.push_back(mix(~uint64_t{0}, length));
                return for_each_item(value, [&](Py_ssize_t, PyObject* item) {
                    return note_value(item, NOTE_CHILD, stack);
                });
            }
            return note_value(value, NOTE_CHILD | at, stack);
        }, &code_ran_);
        if (!ok) return false;
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        if (!noted_) out_.reread = out_.nodes.size() + 1;
        return true;
    }

    // A cycle search reads fields by attribute lookup.
    void cycle_search_may_run() { code_ran_ = true; }

    bool quiet() const { return !code_ran_; }

private:
    // A child is pushed; a leaf is hashed now when that is quiet. `tag` is
    // the entry's first word with NOTE_CHILD as its kind.
    bool note_value(PyObject* v, uint64_t tag, std::vector<Strong>& stack) {
        if (walk_.is_child(v)) {
            stack.push_back(Strong::borrow(v));
            out_.notes.push_back(tag);
            return true;
        }
        if (code_ran_) {
            noted_ = false;  // notes are of no use any more
            return true;
        }
        uint64_t h;
        switch (quiet_leaf_hash(v, h)) {
            case Leaf::Hashed:
                out_.notes.push_back(tag | NOTE_LEAF);
                out_.notes.push_back(h);
                return true;
            case Leaf::Unnoted:
                noted_ = false;
                return true;
            case Leaf::Failed:
                break;
        }
        return false;
    }

    Walk& walk_;
    Walked& out_;
    bool code_ran_ = false;  // interpreter code may have run by now
    bool noted_ = true;  // the node being visited is noted in full
};

// Depth-first pre-order with one entry per visit, noted.
std::optional<Walked> pre_order(Walk& walk, PyObject* root) {
    Walked walked;
    Collector collector(walk, walked);
    std::vector<Strong> stack;
    stack.push_back(Strong::borrow(root));
    CycleWatch watch;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        if (walked.nodes.size() + 1 >= CYCLE_CHECK_VISITS) collector.cycle_search_may_run();
        if (!watch.visit(walk, root)) return std::nullopt;
        walked.starts.push_back(walked.notes.size());
        if (!collector.visit(n.get(), stack)) return std::nullopt;
        walked.nodes.push_back(std::move(n));
    }
    walked.starts.push_back(walked.notes.size());
    if (!collector.quiet()) walked.reread = walked.nodes.size();
    return walked;
}

// A visit hashed from its notes, with the visit after its subtree.
struct Replayed {
    uint64_t hash;
    size_t next;
};

// Hashes visit `v` from its notes; every later visit is done already.
inline Replayed replay(const Walked& walked, size_t v, const Replayed* done) {
    const uint64_t* p = walked.notes.data() + walked.starts[v];
    const uint64_t* end = walked.notes.data() + walked.starts[v + 1];
    size_t next = v + 1;
    auto child = [&] {
        const Replayed& c = done[next];
        next = c.next;
        return c.hash;
    };
    uint64_t acc = *p++;
    while (p != end) {
        const uint64_t entry = *p++;
        uint64_t h;
        switch (entry & NOTE_KIND) {
            case NOTE_CHILD:
                h = child();
                break;
            case NOTE_LEAF:
                h = *p++;
                break;
            default:
                h = *p++;
                for (uint64_t k = entry >> 32; k > 0; --k) {
                    h = mix(h, *p++ == NOTE_CHILD ? child() : *p++);
                }
                break;
        }
        acc = mix(mix(acc, (entry >> 2) & MAX_NOTED_POSITION), h);
    }
    return {acc, next};
}

std::optional<Hashes> hash_subtrees(Walk& walk, PyObject* root, Want want) {
    std::optional<Walked> walked = pre_order(walk, root);
    if (!walked) return std::nullopt;
    const std::vector<Strong>& nodes = walked->nodes;
    const size_t count = nodes.size();
    const bool all = want == Want::All;
    Hashes hashes{PointerMap<uint64_t>(all ? count : 8), {}, 0};
    if (all) hashes.order.reserve(count);
    auto remember = [&](PyObject* n, uint64_t h) {
        // Shared nodes were noted once per visit, alike: the first from the end counts.
        if (hashes.map.insert_if_absent(reinterpret_cast<uintptr_t>(n), h)) {
            hashes.order.emplace_back(n, h);
        }
    };

    size_t i = count;
    if (walked->reread < count) {
        auto done = std::make_unique_for_overwrite<Replayed[]>(count);
        while (i > walked->reread) {
            --i;
            done[i] = replay(*walked, i, done.get());
            if (all) remember(nodes[i].get(), done[i].hash);
        }
        if (i == 0) {
            hashes.root = done[0].hash;
            return hashes;
        }
        if (!all) {
            for (size_t j = count; j-- > i;) remember(nodes[j].get(), done[j].hash);
        }
    }

    Run run(walk, hashes);
    // The nodes are hashed in an order known in advance: start loading a
    // node's header, then its dictionary's entries, some steps before it.
    constexpr size_t AHEAD = 8;
    while (i-- > 0) {
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
    if (!hashed(hashes, root, hashes.root)) return std::nullopt;
    return hashes;
}

// An int of the given sign and magnitude. Where the interpreter has no
// 64-bit constructor, ints past one digit get their digits written straight
// into a new int (the layout the interpreter's header describes; from 3.12
// on, its sign value is checked with the other private layouts), which
// saves the general conversion's work; smaller values go through it, so
// that they come from the interpreter's shared small ints.
PyObject* new_int(uint64_t magnitude, bool negative) {
#if PY_VERSION_HEX >= 0x030E0000
    if (!negative) return PyLong_FromUInt64(magnitude);
    // A negated magnitude past the int64 range never arises: hashes are
    // 64 bits with their sign taken from the top bit.
    return PyLong_FromInt64(static_cast<int64_t>(~magnitude + 1));
#else
#if PYLONG_BITS_IN_DIGIT == 30 && (defined(ARBOLUS_CHECKED_LAYOUTS) || PY_VERSION_HEX < 0x030C0000)
    if (magnitude > PyLong_MASK) {
        const int bits = std::bit_width(magnitude);
        const Py_ssize_t digits = (bits + PyLong_SHIFT - 1) / PyLong_SHIFT;
        PyLongObject* result = _PyLong_New(digits);
        if (result == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
        for (Py_ssize_t d = 0; d < digits; ++d) {
            result->long_value.ob_digit[d] = static_cast<digit>(magnitude & PyLong_MASK);
            magnitude >>= PyLong_SHIFT;
        }
        result->long_value.lv_tag =
            static_cast<uintptr_t>(digits) << _PyLong_NON_SIZE_BITS | (negative ? 2 : 0);
#else
        // Until 3.12 the layout is public: the sign is the size's.
        for (Py_ssize_t d = 0; d < digits; ++d) {
            result->ob_digit[d] = static_cast<digit>(magnitude & PyLong_MASK);
            magnitude >>= PyLong_SHIFT;
        }
        Py_SET_SIZE(result, negative ? -digits : digits);
#endif
        return reinterpret_cast<PyObject*>(result);
    }
#endif
    const auto m = static_cast<long long>(magnitude);
    return PyLong_FromLongLong(negative ? -m : m);
#endif
}

inline PyObject* signed_hash(uint64_t h) {
    const bool negative = (h >> 63) != 0;
    return new_int(negative ? ~h + 1 : h, negative);
}

// Stores {id(node): hash} with the key's hash computed here: an int's hash
// is its value modulo the interpreter's hash modulus.
bool store(PyObject* dict, PyObject* node, uint64_t h) {
    const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(node));
    Strong key = Strong::steal(new_int(address, false));
    if (!key) return false;
    Strong value = Strong::steal(signed_hash(h));
    if (!value) return false;
    const auto key_hash = static_cast<Py_hash_t>(address % PyHASH_MODULUS);
    return pydict::set_item_known_hash(dict, key.get(), value.get(), key_hash) == 0;
}

}  // namespace

PyObject* subtree_hashes(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    std::optional<Hashes> hashes = hash_subtrees(*walk, root.get(), Want::All);
    if (!hashes) return nullptr;
    Strong dict = Strong::steal(pydict::new_presized(hashes->order.size()));
    if (!dict) return nullptr;
    // Keys in pre-order of each node's last visit: the root comes first.
    for (size_t i = hashes->order.size(); i-- > 0;) {
        auto [address, h] = hashes->order[i];
        if (!store(dict.get(), address, h)) return nullptr;
    }
    return dict.release();
}

PyObject* subtree_hash(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    std::optional<Hashes> hashes = hash_subtrees(*walk, root.get(), Want::Root);
    if (!hashes) return nullptr;
    return signed_hash(hashes->root);
}

}  // namespace arbolus

// The engine behind structural hashes and fingerprints. What a node's value
// is made of is the mixer's business (hashing.cpp, fingerprints.cpp); the
// walk, its notes, their replay and the fallback that reads fields afresh
// are shared.
//
// The walk takes notes of what it read: each field's position, its leaf
// value already digested by the mixer or a mark where a child sits. As long
// as no interpreter code can have run since the walk read a node, its
// fields still hold what the walk saw, and the hash step works from the
// notes instead of reading every field a second time. Code can run only in
// an attribute lookup, a dictionary lookup that compares keys of other
// classes than str, the first reading of a class's declarations, a cycle
// search, or what the mixer does with an unusual leaf (a repr, say).
//
// A run first tries the quiet walk: depth first, children in reverse order,
// each node hashed from its notes as soon as its last child is, so that it
// keeps the notes and values of the open nodes alone (memory in proportion
// to the depth times the widest list). It gives up, having run no code,
// where one of the above would be needed. The run then starts again with
// the full walk: one pre-order walk notes every node; hashing them in
// reverse order reaches every child before its parent. From the first node
// where code may have run, the hash step reads the fields afresh, as they
// stand then. Both walks hash the nodes in the same order (reverse
// pre-order), and where no code runs the notes are all there is to read,
// so the quiet walk's values are the full walk's.
//
// On free-threaded builds other threads' code runs all the time, and may
// change any node between the walk and the hash step: the notes are not
// used there (Collector::code_ran_), and every node is read afresh, its
// value describing its fields as they were at that reading (the nodes at
// different moments). What keeps that sound: every node the walk met is
// held (Walked::nodes), so the addresses values are keyed by are those of
// live nodes, and every field value and list item is held while it is read
// (for_each_field, for_each_item); the walk reads each list's items under
// the list's lock (for_each_item_quietly).
//
// A mixer M provides:
//   Value                         a node's result, copied freely;
//   CHANGED, SUBTREE, LIST        error text and recursion-guard context;
//   start_note(cls, info, note, code_ran)   a node's first note (false with
//                                 an exception set);
//   start_note_quietly(cls, info, note)     the same where making it runs no
//                                 code, else false with nothing done;
//   list_note(length)             the word after a list's entry;
//   quiet_leaf(v, note)           a leaf's note, when making it runs no code;
//   begin(note) / child_field / leaf_field / begin_list / child_item /
//   leaf_item / end_list / end    the replay of one node's notes;
//   bare(note)                    the value of a node whose notes are its
//                                 start note alone;
//   Fresh, begin_fresh, field, end_fresh   a node read afresh (see Run).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "compiler.hpp"
#include "expand.hpp"
#include "pycompat.hpp"
#include "recursion.hpp"

namespace arbolus {

template <class V>
struct SubtreeValues {
    // Every node done so far, where children are looked up by address.
    PointerMap<V> map;
    // Distinct nodes in the order they were done (children first), when
    // the caller wants them all.
    std::vector<std::pair<PyObject*, V>> order;
    V root{};
};

// What the caller of a run needs: every distinct node's value, or the root's.
enum class Want { All, Root };

template <class M>
std::optional<SubtreeValues<typename M::Value>> hash_subtrees(Walk& walk, PyObject* root,
                                                              Want want);

// The hash step of nodes whose fields are read afresh: what the mixers
// share. The mixer reads each field's value through it.
template <class M>
class Run {
public:
    using Value = typename M::Value;

    Run(Walk& walk, SubtreeValues<Value>& values, M& mixer)
        : walk_(walk), values_(values), mixer_(mixer) {}

    Walk& walk() { return walk_; }

    bool node_value(PyObject* node, Value& out) {
        const TypeInfo* info = walk_.type_info(Py_TYPE(node));
        if (info == nullptr) return false;
        typename M::Fresh acc;
        if (!mixer_.begin_fresh(Py_TYPE(node), *info, acc)) return false;
        bool ok = for_each_field(node, *info, [&](size_t i, PyObject* value) {
            Strong held = Strong::borrow(value);
            return mixer_.field(*this, acc, *info, i, value);
        });
        if (!ok) return false;
        out = mixer_.end_fresh(acc);
        return true;
    }

    // A node's value when it is a field value or list item.
    bool child(PyObject* v, Value& out) {
        if (Value* h = values_.map.find(reinterpret_cast<uintptr_t>(v))) {
            out = *h;
            return true;
        }
        return separately(v, out);
    }

    // Calls step(item) for each item of a list, holding the item; the
    // length is read again before every item.
    template <class Step>
    static bool items(PyObject* list, Step&& step) {
        return for_each_item(list, [&](Py_ssize_t, PyObject* item) {
            Strong held = Strong::borrow(item);
            return step(item);
        });
    }

    // Runs f() one level deeper: values nested outside the tree's fields
    // (a list inside a list, a list inside itself) nest as deep as they do.
    template <class F>
    ARBOLUS_NOINLINE static bool nested(F&& f) {
        RecursionGuard guard(M::LIST);
        return guard && f();
    }

private:
    // A node that was not in the tree when it was walked (interpreter code
    // added it meanwhile, or it sits where the walk does not look): done in
    // a separate run of its own. A property that makes a new node on every
    // read nests such runs without end.
    ARBOLUS_NOINLINE bool separately(PyObject* v, Value& out) {
        RecursionGuard guard(M::SUBTREE);
        if (!guard) return false;
        Strong held = Strong::borrow(v);
        auto fresh = hash_subtrees<M>(walk_, held.get(), Want::Root);
        if (!fresh) return false;
        out = fresh->root;
        return true;
    }

    Walk& walk_;
    SubtreeValues<Value>& values_;
    M& mixer_;
};

// --- the walk's notes ---------------------------------------------------------

// A node's notes: the mixer's start note, then per field read, in field order,
//   NOTE_LEAF | position << 2, then the value's note;
//   NOTE_CHILD | position << 2, for a node: the next visit that an earlier
//     child's subtree has not taken;
//   NOTE_LIST | position << 2 | length << 32, then the mixer's list note,
//     then per item NOTE_CHILD, or NOTE_LEAF and the item's note.
enum : uint64_t { NOTE_CHILD = 0, NOTE_LEAF = 1, NOTE_LIST = 2, NOTE_KIND = 3 };
constexpr uint64_t MAX_NOTED_POSITION = (uint64_t{1} << 30) - 1;
constexpr uint64_t MAX_NOTED_LENGTH = (uint64_t{1} << 32) - 1;

enum class Leaf { Hashed, Unnoted, Failed };

// What the full walk read.
struct Walked {
    std::vector<Strong> nodes;     // one per visit, in pre-order
    std::vector<size_t> starts;    // where each visit's notes begin; one more at the end
    std::vector<uint64_t> notes;
    // Visits [0, reread) are read afresh by the hash step: the first one the
    // walk could not note in full, and every visit before it, or all when
    // interpreter code may have run during the walk.
    size_t reread = 0;
};

// How a visit went: noted in full; not (the quiet walk gives up there,
// having run no interpreter code); or failed, with an exception set.
enum class Noted { Full, Partly, Failed };

// Notes nodes, and pushes their children for the walk. The full walk
// (Quiet false) pushes them so that they pop in field order, the quiet walk
// so that they pop in reverse.
template <class M, bool Quiet>
class Collector {
public:
    Collector(Walk& walk, std::vector<uint64_t>& notes) : walk_(walk), notes_(notes) {}

    ARBOLUS_FLATTEN Noted visit(PyObject* node, std::vector<Strong>& stack) {
        PyTypeObject* cls = Py_TYPE(node);
        const TypeInfo* info = walk_.known_type_info(cls);
        if (info == nullptr) {
            if constexpr (Quiet) return Noted::Partly;
            code_ran_ = true;  // reading the class's declarations
            info = walk_.type_info(cls);
            if (info == nullptr) return Noted::Failed;
        }
        noted_ = true;
        uint64_t first;
        if constexpr (Quiet) {
            if (!M::start_note_quietly(cls, *info, first)) return Noted::Partly;
        } else {
            if (!M::start_note(cls, *info, first, code_ran_)) return Noted::Failed;
        }
        notes_.push_back(first);
        const size_t start = stack.size();
        auto step = [&](size_t i, PyObject* value) {
            if (i > MAX_NOTED_POSITION) noted_ = false;
            const uint64_t at = (static_cast<uint64_t>(i) & MAX_NOTED_POSITION) << 2;
            if (Py_IS_TYPE(value, &PyList_Type)) {
                const auto length = static_cast<uint64_t>(PyList_GET_SIZE(value));
                if (length > MAX_NOTED_LENGTH) noted_ = false;
                notes_.push_back(NOTE_LIST | at | (length & MAX_NOTED_LENGTH) << 32);
                notes_.push_back(M::list_note(length));
                return for_each_item_quietly(value, [&](Py_ssize_t, PyObject* item) {
                    return note_value(item, NOTE_CHILD, stack);
                });
            }
            return note_value(value, NOTE_CHILD | at, stack);
        };
        if constexpr (Quiet) {
            bool refused = false;
            if (!for_each_field<StepRuns::Code, SlowReads::Refuse>(node, *info, step, &refused)) {
                return refused || !PyErr_Occurred() ? Noted::Partly : Noted::Failed;
            }
        } else {
            if (!for_each_field(node, *info, step, &code_ran_)) return Noted::Failed;
            std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(start), stack.end());
        }
        return noted_ ? Noted::Full : Noted::Partly;
    }

    // A cycle search reads fields by attribute lookup.
    void cycle_search_may_run() { code_ran_ = true; }

    bool quiet() const { return !code_ran_; }

private:
    // A child is pushed; a leaf is noted now when that is quiet. `tag` is
    // the entry's first word with NOTE_CHILD as its kind. The quiet walk
    // stops at the first leaf it cannot note.
    bool note_value(PyObject* v, uint64_t tag, std::vector<Strong>& stack) {
        if (walk_.is_child(v)) {
            stack.push_back(Strong::borrow(v));
            notes_.push_back(tag);
            return true;
        }
        if (code_ran_) {
            noted_ = false;  // notes are of no use any more
            return true;
        }
        uint64_t h;
        switch (M::quiet_leaf(v, h)) {
            case Leaf::Hashed:
                notes_.push_back(tag | NOTE_LEAF);
                notes_.push_back(h);
                return true;
            case Leaf::Unnoted:
                noted_ = false;
                return !Quiet;
            case Leaf::Failed:
                break;
        }
        return false;
    }

    Walk& walk_;
    std::vector<uint64_t>& notes_;
    // Interpreter code may have run by now. On free-threaded builds other
    // threads' code runs all the time: the notes are never used there (a
    // leaf's note may be the leaf itself, which another thread may replace
    // and free before the replay), and every node is read afresh.
    bool code_ran_ = ARBOLUS_FREE_THREADED;
    bool noted_ = true;  // the node being visited is noted in full
};

// The full walk: depth-first pre-order with one entry per visit, noted.
template <class M>
std::optional<Walked> pre_order(Walk& walk, PyObject* root) {
    Walked walked;
    Collector<M, false> collector(walk, walked.notes);
    std::vector<Strong> stack;
    stack.push_back(Strong::borrow(root));
    CycleWatch watch;
    while (!stack.empty()) {
        Strong n = std::move(stack.back());
        stack.pop_back();
        if (walked.nodes.size() + 1 >= CYCLE_CHECK_VISITS) collector.cycle_search_may_run();
        if (!watch.visit(walk, root)) return std::nullopt;
        walked.starts.push_back(walked.notes.size());
        const Noted noted = collector.visit(n.get(), stack);
        if (noted == Noted::Failed) return std::nullopt;
        if (noted == Noted::Partly) walked.reread = walked.nodes.size() + 1;
        walked.nodes.push_back(std::move(n));
    }
    walked.starts.push_back(walked.notes.size());
    if (!collector.quiet()) walked.reread = walked.nodes.size();
    return walked;
}

// The value of a node from its notes [p, end). child() gives the value of
// each child in turn, in field order.
template <class M, class Child>
inline typename M::Value replay(M& mixer, const uint64_t* p, const uint64_t* end, Child&& child) {
    if (p + 1 == end) return mixer.bare(*p);  // a node without fields read
    auto acc = mixer.begin(*p++);
    while (p != end) {
        const uint64_t entry = *p++;
        const uint64_t at = (entry >> 2) & MAX_NOTED_POSITION;
        switch (entry & NOTE_KIND) {
            case NOTE_CHILD:
                mixer.child_field(acc, at, child());
                break;
            case NOTE_LEAF:
                mixer.leaf_field(acc, at, *p++);
                break;
            default: {
                auto list = mixer.begin_list(acc, at, entry >> 32, *p++);
                for (uint64_t k = entry >> 32; k > 0; --k) {
                    if (*p++ == NOTE_CHILD) {
                        mixer.child_item(list, child());
                    } else {
                        mixer.leaf_item(list, *p++);
                    }
                }
                mixer.end_list(acc, at, list);
                break;
            }
        }
    }
    return mixer.end(acc);
}

// A visit of the full walk done from its notes, with the visit after its subtree.
template <class V>
struct Replayed {
    V value;
    size_t next;
};

// Does visit `v` from its notes; every later visit is done already.
template <class M>
inline Replayed<typename M::Value> replay_visit(M& mixer, const Walked& walked, size_t v,
                                                const Replayed<typename M::Value>* done) {
    size_t next = v + 1;
    auto value = replay(mixer, walked.notes.data() + walked.starts[v],
                        walked.notes.data() + walked.starts[v + 1],
                        [&]() -> const typename M::Value& {
                            const Replayed<typename M::Value>& c = done[next];
                            next = c.next;
                            return c.value;
                        });
    return {value, next};
}

// The quiet walk: true with the root's value in `out` and done(node, value)
// called for each visit in reverse pre-order; false when it gave up
// (`failed` false: no interpreter code has run) or failed (`failed` true,
// an exception set).
//
// The stack holds the nodes still to visit; an open node is one whose
// children are not all done. The open nodes' children's values are on
// `values`, the first child's on top.
template <class M, class Done>
bool quiet_walk(Walk& walk, PyObject* root, M& mixer, typename M::Value& out, bool& failed,
                Done&& done) {
    using Value = typename M::Value;
    struct Open {
        Strong node;
        size_t stack;   // where its children begin on the stack
        size_t notes;   // where its notes begin
        size_t values;  // where its children's values begin
    };
    std::vector<Strong> stack;
    std::vector<Open> open;
    std::vector<uint64_t> notes;
    std::vector<Value> values;
    Collector<M, true> collector(walk, notes);
    failed = false;
    size_t visits = 0;
    stack.push_back(Strong::borrow(root));
    while (true) {
        // The node done next, from its notes [from, end) and its children's
        // values [base, end): an open node once the stack is back where its
        // children began, the last of them done (open nodes that pushed
        // their children at one height close innermost first), or a node
        // just visited that has no child.
        Strong n;
        size_t from;
        size_t base;
        const bool closing = !open.empty() && open.back().stack == stack.size();
        if (closing) {
            from = open.back().notes;
            base = open.back().values;
        } else {
            if (stack.empty()) break;
            n = std::move(stack.back());
            stack.pop_back();
            // The full walk searches for a cycle here, which may run code.
            if (++visits >= CYCLE_CHECK_VISITS) return false;
            from = notes.size();
            const size_t height = stack.size();
            switch (collector.visit(n.get(), stack)) {
                case Noted::Full:
                    break;
                case Noted::Partly:
                    return false;
                case Noted::Failed:
                    failed = true;
                    return false;
            }
            if (stack.size() != height) {
                open.push_back({std::move(n), height, from, values.size()});
                continue;
            }
            base = values.size();
        }
        size_t top = values.size();
        const Value v = replay(mixer, notes.data() + from, notes.data() + notes.size(),
                               [&]() -> const Value& { return values[--top]; });
        notes.resize(from);
        values.resize(base);
        values.push_back(v);
        if (closing) {
            done(open.back().node.get(), v);
            open.pop_back();
        } else {
            done(n.get(), v);
        }
    }
    out = values.back();
    return true;
}

// Key-only entries of an address map.
struct Seen {};

// Whether the quiet walk may meet `node` again, where the walk holds it
// once: not when nothing else holds it but the one field or list item it
// was read from (no code runs meanwhile to add another). Free-threaded
// builds count references in two parts, which other threads merge: there
// any node may be met again.
inline bool may_meet_again(PyObject* node) {
#ifdef Py_GIL_DISABLED
    (void)node;
    return true;
#else
    return Py_REFCNT(node) > 2;
#endif
}

template <class M>
std::optional<SubtreeValues<typename M::Value>> hash_subtrees(Walk& walk, PyObject* root,
                                                              Want want) {
    using Value = typename M::Value;
    const bool all = want == Want::All;
    M mixer;
    // Free-threaded builds skip the quiet walk: it hashes a node from notes
    // taken while its subtree was walked, and another thread may change (and
    // free) what they point at meanwhile. The full walk reads every node
    // afresh there.
    if (!ARBOLUS_FREE_THREADED) {
        SubtreeValues<Value> values;
        bool failed;
        bool walked;
        if (all) {
            // Shared nodes were visited once per path, alike: the first one
            // done counts, as in the full walk's run.
            PointerMap<Seen> seen;
            walked = quiet_walk(walk, root, mixer, values.root, failed,
                                [&](PyObject* n, const Value& h) {
                                    if (!may_meet_again(n) ||
                                        seen.insert_if_absent(reinterpret_cast<uintptr_t>(n), {})) {
                                        values.order.emplace_back(n, h);
                                    }
                                });
        } else {
            walked = quiet_walk(walk, root, mixer, values.root, failed,
                                [](PyObject*, const Value&) {});
        }
        if (walked) return values;
        if (failed) return std::nullopt;
    }

    std::optional<Walked> walked = pre_order<M>(walk, root);
    if (!walked) return std::nullopt;
    const std::vector<Strong>& nodes = walked->nodes;
    const size_t count = nodes.size();
    SubtreeValues<Value> values{PointerMap<Value>(all ? count : 8), {}, {}};
    if (all) values.order.reserve(count);
    auto remember = [&](PyObject* n, const Value& h) {
        // Shared nodes were noted once per visit, alike: the first from the end counts.
        if (values.map.insert_if_absent(reinterpret_cast<uintptr_t>(n), h)) {
            values.order.emplace_back(n, h);
        }
    };

    size_t i = count;
    if (walked->reread < count) {
        auto done = std::make_unique_for_overwrite<Replayed<Value>[]>(count);
        while (i > walked->reread) {
            --i;
            done[i] = replay_visit(mixer, *walked, i, done.get());
            if (all) remember(nodes[i].get(), done[i].value);
        }
        if (i == 0) {
            values.root = done[0].value;
            return values;
        }
        if (!all) {
            for (size_t j = count; j-- > i;) remember(nodes[j].get(), done[j].value);
        }
    }

    Run<M> run(walk, values, mixer);
    // The nodes are done in an order known in advance: start loading a
    // node's header, then its dictionary's entries, some steps before it.
    constexpr size_t AHEAD = 8;
    while (i-- > 0) {
        if (i >= 2 * AHEAD) prefetch(nodes[i - 2 * AHEAD].get());
        if (i >= AHEAD) prefetch_fields(nodes[i - AHEAD].get());
        PyObject* n = nodes[i].get();
        auto key = reinterpret_cast<uintptr_t>(n);
        if (values.map.find(key) != nullptr) continue;  // shared: done once
        Value h;
        if (!run.node_value(n, h)) return std::nullopt;
        // The value step may have run a fresh run or interpreter code, but
        // not inserted this node into this map: only this loop does.
        values.map.insert(key, h);
        values.order.emplace_back(n, h);
    }
    Value* h = values.map.find(reinterpret_cast<uintptr_t>(root));
    if (h == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, M::CHANGED);
        return std::nullopt;
    }
    values.root = *h;
    return values;
}

// An int of the given sign and magnitude, through the 64-bit constructors
// (which pycompat.hpp gives the versions without them).
PyObject* new_int(uint64_t magnitude, bool negative);

// Stores {id(node): make_value()} in `dict`, with the key's hash computed
// here: an int's hash is its value modulo the interpreter's hash modulus.
// make_value returns a new reference, or null with an exception set.
template <class MakeValue>
inline bool store_by_id(PyObject* dict, PyObject* node, MakeValue&& make_value) {
    const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(node));
    Strong key = Strong::steal(new_int(address, false));
    if (!key) return false;
    Strong value = Strong::steal(make_value());
    if (!value) return false;
    const auto key_hash = static_cast<Py_hash_t>(address % PyHASH_MODULUS);
    return pydict::set_item_known_hash(dict, key.get(), value.get(), key_hash) == 0;
}

}  // namespace arbolus

// Subtree fingerprints: 128-bit Merkle hashes that hold across processes,
// hash seeds, machines and interpreter versions. Each node is spelled out
// as a byte stream (docs/fingerprints.md: its class by module and qualified
// name, its fields by name, leaves by exact type, a child as its own 16
// bytes) and the stream is hashed with XXH3-128. The walk, its notes and
// the fresh reading are the hashing engine's (hash_engine.hpp); this file
// is its second mixer.
//
// A leaf's note is the leaf object itself: its encoding runs no interpreter
// code, and the replay runs before any code can have changed the node that
// holds it.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "compiler.hpp"
#include "functions.hpp"
#include "hash_engine.hpp"

namespace arbolus {

namespace {

constexpr char8_t FORMAT = 0x01;

enum Tag : char8_t {
    TAG_NODE = 'n',
    TAG_LIST = 'l',
    TAG_STR = 's',
    TAG_BYTES = 'b',
    TAG_INT = 'i',
    TAG_FLOAT = 'f',
    TAG_COMPLEX = 'c',
    TAG_TRUE = 'T',
    TAG_FALSE = 'F',
    TAG_NONE = 'z',
    TAG_ELLIPSIS = 'e',
    TAG_TUPLE = 'u',
    TAG_FROZENSET = 'S',
};

struct Fingerprint {
    uint64_t high;
    uint64_t low;
};

// The stream's bytes are char8_t, which unlike char aliases nothing else:
// a byte written does not make the compiler load the buffer's own pointers
// again.
using Octet = char8_t;

// A growing byte buffer. Every write first asks for room, which also leaves
// SLACK bytes past it: enough for a short copy of fixed length.
class Bytes {
public:
    static constexpr size_t SLACK = 2 * SPELLING_PAD;

    void clear() noexcept { end_ = data_.get(); }
    size_t size() const noexcept { return static_cast<size_t>(end_ - data_.get()); }
    const Octet* data() const noexcept { return data_.get(); }

    // Where n more bytes are to be written; advance(n) once they are.
    Octet* room(size_t n) {
        if (static_cast<size_t>(limit_ - end_) < n + SLACK) grow(n + SLACK);
        return end_;
    }
    void advance(size_t n) noexcept { end_ += n; }

    void put(Octet byte) {
        *room(1) = byte;
        advance(1);
    }

    // n bytes that can be read without reading past their end.
    void put(const void* source, size_t n) {
        copy(room(n), source, n);
        advance(n);
    }

    // Copies n bytes without reading past their end: short copies of fixed
    // length, overlapping where n is not one.
    static void copy(Octet* p, const void* source, size_t n) {
        const auto* q = static_cast<const Octet*>(source);
        if (n >= 16) {
            std::memcpy(p, q, n);
        } else if (n >= 8) {
            std::memcpy(p, q, 8);
            std::memcpy(p + n - 8, q + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(p, q, 4);
            std::memcpy(p + n - 4, q + n - 4, 4);
        } else if (n > 0) {
            p[0] = q[0];
            p[n / 2] = q[n / 2];
            p[n - 1] = q[n - 1];
        }
    }

    // A spelling: its text followed by SPELLING_PAD bytes that may be read.
    void put_spelled(const std::string& spelled) { advance(spelled_at(room(spelled_size(spelled)), spelled)); }

    static size_t spelled_size(const std::string& spelled) { return spelled.size() - SPELLING_PAD; }

    // Writes a spelling at p, which has room for it and SLACK bytes more;
    // returns its length.
    static size_t spelled_at(Octet* p, const std::string& spelled) {
        const size_t n = spelled_size(spelled);
        if (n <= SPELLING_PAD) {
            std::memcpy(p, spelled.data(), SPELLING_PAD);
        } else {
            std::memcpy(p, spelled.data(), n);
        }
        return n;
    }

    // Writes varint(n) at p, which has room for 10 bytes; returns its length.
    static size_t varint_at(Octet* p, uint64_t n) {
        size_t k = 0;
        for (; n >= 0x80; n >>= 7) p[k++] = static_cast<Octet>(n | 0x80);
        p[k++] = static_cast<Octet>(n);
        return k;
    }

    void varint(uint64_t n) { advance(varint_at(room(10), n)); }

    // Inserts varint(n) at offset `at`, moving what follows.
    void insert_varint(size_t at, uint64_t n) {
        const size_t old_size = size();
        varint(n);  // may move the data
        std::rotate(data_.get() + at, data_.get() + old_size, end_);
    }

    // The bytes, then SPELLING_PAD zero bytes.
    std::string spelled() const {
        std::string out(reinterpret_cast<const char*>(data()), size());
        out.append(SPELLING_PAD, '\0');
        return out;
    }

    std::string str() const { return {reinterpret_cast<const char*>(data()), size()}; }

private:
    ARBOLUS_NOINLINE void grow(size_t n) {
        const size_t size = this->size();
        const size_t capacity = std::max(std::bit_ceil(size + n), size_t{512});
        auto bigger = std::make_unique_for_overwrite<Octet[]>(capacity);
        if (size > 0) std::memcpy(bigger.get(), data_.get(), size);
        data_ = std::move(bigger);
        end_ = data_.get() + size;
        limit_ = data_.get() + capacity;
    }

    std::unique_ptr<Octet[]> data_;
    Octet* end_ = nullptr;
    Octet* limit_ = nullptr;
};

inline void put_be64(void* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = byteswap64(v);
    std::memcpy(p, &v, 8);
}

// The canonical form: the high 64 bits, then the low, each big-endian.
inline void put_fingerprint(void* p, const Fingerprint& f) {
    put_be64(p, f.high);
    put_be64(static_cast<char*>(p) + 8, f.low);
}

inline Fingerprint digest(const void* data, size_t size) {
    const XXH128_hash_t h = XXH3_128bits(data, size);
    return {h.high64, h.low64};
}

// UTF-8 with lone surrogates encoded as any other code point.
void put_text(Bytes& out, PyObject* s) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        out.varint(static_cast<uint64_t>(length));
        out.put(PyUnicode_DATA(s), static_cast<size_t>(length));
        return;
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    size_t n = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        n += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    out.varint(n);
    Octet* p = out.room(n);
    out.advance(n);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            *p++ = static_cast<Octet>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<Octet>(0xC0 | c >> 6);
            *p++ = static_cast<Octet>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = static_cast<Octet>(0xE0 | c >> 12);
            *p++ = static_cast<Octet>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<Octet>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<Octet>(0xF0 | c >> 18);
            *p++ = static_cast<Octet>(0x80 | (c >> 12 & 0x3F));
            *p++ = static_cast<Octet>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<Octet>(0x80 | (c & 0x3F));
        }
    }
}

// The shortest big-endian two's complement form.
void put_small_int(Bytes& out, int64_t v) {
    const auto magnitude = static_cast<uint64_t>(v >= 0 ? v : ~v);
    const size_t n = (static_cast<size_t>(std::bit_width(magnitude)) + 8) / 8;
    // The low n bytes of the value's eight, big-endian.
    Octet* p = out.room(9);
    p[0] = static_cast<Octet>(n);
    put_be64(p + 1, static_cast<uint64_t>(v) << (64 - 8 * n));
    out.advance(n + 1);
}

ARBOLUS_NOINLINE void put_big_int(Bytes& out, PyObject* v) {
    const Py_ssize_t want = PyLong_AsNativeBytes(v, nullptr, 0, Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (want < 0) throw std::runtime_error("an exact int without a byte form");
    std::vector<unsigned char> buffer(static_cast<size_t>(want) + 1);
    const Py_ssize_t got = PyLong_AsNativeBytes(v, buffer.data(), want + 1,
                                                Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (got < 0 || got > want + 1) throw std::runtime_error("an int larger than its byte form");
    // Leading bytes that only repeat the sign of the next are left out.
    size_t start = 0;
    while (start + 1 < buffer.size() &&
           ((buffer[start] == 0x00 && !(buffer[start + 1] & 0x80)) ||
            (buffer[start] == 0xFF && (buffer[start + 1] & 0x80)))) {
        ++start;
    }
    out.varint(buffer.size() - start);
    out.put(buffer.data() + start, buffer.size() - start);
}

inline void put_int(Bytes& out, PyObject* v) {
    out.put(TAG_INT);
    auto* number = reinterpret_cast<PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(number)) {
        put_small_int(out, static_cast<int64_t>(PyUnstable_Long_CompactValue(number)));
    } else {
        put_big_int(out, v);
    }
}

inline void put_double(Octet* p, double d) {
    const uint64_t bits = d != d ? 0x7FF8000000000000ull : std::bit_cast<uint64_t>(d);
    put_be64(p, bits);
}

// Writes a leaf of the types whose encoding runs no interpreter code and
// cannot fail (but for memory); false, with nothing written, for any other.
inline bool put_scalar(Bytes& out, PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type) {
        const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(v));
        if (PyUnicode_IS_COMPACT_ASCII(v) && length < 0x80) {
            // Names and most strings: the tag, a one-byte length, the text.
            Octet* p = out.room(length + 2);
            p[0] = TAG_STR;
            p[1] = static_cast<Octet>(length);
            Bytes::copy(p + 2, PyUnicode_DATA(v), length);
            out.advance(length + 2);
            return true;
        }
        out.put(TAG_STR);
        put_text(out, v);
    } else if (t == &PyLong_Type) {
        put_int(out, v);
    } else if (v == Py_None) {
        out.put(TAG_NONE);
    } else if (t == &PyBool_Type) {
        out.put(v == Py_True ? TAG_TRUE : TAG_FALSE);
    } else if (t == &PyFloat_Type) {
        Octet* p = out.room(9);
        p[0] = TAG_FLOAT;
        put_double(p + 1, PyFloat_AS_DOUBLE(v));
        out.advance(9);
    } else if (t == &PyBytes_Type) {
        const auto n = static_cast<size_t>(PyBytes_GET_SIZE(v));
        out.put(TAG_BYTES);
        out.varint(n);
        out.put(PyBytes_AS_STRING(v), n);
    } else if (t == &PyComplex_Type) {
        const Py_complex c = reinterpret_cast<PyComplexObject*>(v)->cval;
        Octet* p = out.room(17);
        p[0] = TAG_COMPLEX;
        put_double(p + 1, c.real);
        put_double(p + 9, c.imag);
        out.advance(17);
    } else if (v == Py_Ellipsis) {
        out.put(TAG_ELLIPSIS);
    } else {
        return false;
    }
    return true;
}

// The class's spelling, made again when the class may have changed.
// `code_ran` is set when reading the class's module may have run
// interpreter code. False with an exception set.
ARBOLUS_NOINLINE bool respell(PyTypeObject* cls, const TypeInfo& info, bool& code_ran) {
    ClassSpelling& s = info.spelling;
    const bool heap = PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE);
    unsigned int version = 0;
    if (heap) {
        // Read before the names: a change the lookups make shows as a new version.
        if (PyUnstable_Type_AssignVersionTag(cls)) version = arbolus_type_version(cls);
        PyObject* dict = cls->tp_dict;
        if (dict == nullptr || !PyDict_Check(dict) || !pydict::str_lookup_runs_no_code(dict)) {
            code_ran = true;
        }
    }
    Strong module = Strong::steal(PyType_GetModuleName(cls));
    if (!module) return false;
    if (!PyUnicode_Check(module.get())) {
        Strong class_name = Strong::steal(PyType_GetFullyQualifiedName(cls));
        if (!class_name) return false;
        Strong type_name = Strong::steal(PyType_GetFullyQualifiedName(Py_TYPE(module.get())));
        if (!type_name) return false;
        PyErr_Format(PyExc_TypeError,
                     "cannot fingerprint an instance of %U: its __module__ is %U, not str",
                     class_name.get(), type_name.get());
        return false;
    }
    Strong qualname = Strong::steal(PyType_GetQualName(cls));
    if (!qualname) return false;
    Bytes header;
    header.put(FORMAT);
    put_text(header, module.get());
    put_text(header, qualname.get());
    if (s.fields.size() != info.fields.size()) {
        std::vector<std::string> fields;
        fields.reserve(info.fields.size());
        for (const Strong& name : info.fields) {
            Bytes b;
            put_text(b, name.get());
            fields.push_back(b.spelled());
        }
        s.fields = std::move(fields);
    }
    s.header = header.spelled();
    const Fingerprint bare = digest(header.data(), header.size());
    s.bare[0] = bare.high;
    s.bare[1] = bare.low;
    s.qualname = std::move(qualname);
    s.version = version;
    s.fixed = !heap;
    return true;
}

// Whether the class's spelling is the one made last.
inline bool spelled(PyTypeObject* cls, const TypeInfo& info) {
    const ClassSpelling& s = info.spelling;
    // A heap type's spelling carries its version (never 0); a static type's
    // is fixed once known.
    if (arbolus_type_version(cls) == s.version && s.version != 0) {
        return reinterpret_cast<PyHeapTypeObject*>(cls)->ht_qualname == s.qualname.get();
    }
    return s.fixed;
}

inline bool spell(PyTypeObject* cls, const TypeInfo& info, bool& code_ran) {
    return spelled(cls, info) || respell(cls, info, code_ran);
}

struct FingerprintMixer {
    using Value = Fingerprint;
    static constexpr const char* CHANGED = "the tree changed while it was being fingerprinted";
    static constexpr const char* SUBTREE = " while fingerprinting a subtree";
    static constexpr const char* LIST = " while fingerprinting a list";

    // --- the walk's notes: the class's record, leaves as themselves

    static bool start_note(PyTypeObject* cls, const TypeInfo& info, uint64_t& note,
                           bool& code_ran) {
        if (!spell(cls, info, code_ran)) return false;
        note = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&info));
        return true;
    }

    // Making the spelling again may run code.
    static bool start_note_quietly(PyTypeObject* cls, const TypeInfo& info, uint64_t& note) {
        if (!spelled(cls, info)) return false;
        note = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&info));
        return true;
    }

    static uint64_t list_note(uint64_t) { return 0; }

    static Leaf quiet_leaf(PyObject* v, uint64_t& out) {
        PyTypeObject* t = Py_TYPE(v);
        if (t == &PyUnicode_Type || t == &PyLong_Type || v == Py_None || t == &PyBool_Type ||
            t == &PyFloat_Type || t == &PyBytes_Type || t == &PyComplex_Type ||
            v == Py_Ellipsis) {
            out = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v));
            return Leaf::Hashed;
        }
        return Leaf::Unnoted;
    }

    // --- replay of the notes

    using Acc = const ClassSpelling*;

    Fingerprint bare(uint64_t note) {
        const ClassSpelling& s = reinterpret_cast<const TypeInfo*>(note)->spelling;
        return {s.bare[0], s.bare[1]};
    }
    Acc begin(uint64_t note) {
        const ClassSpelling& s = reinterpret_cast<const TypeInfo*>(note)->spelling;
        stream_.clear();
        stream_.put_spelled(s.header);
        return &s;
    }
    // Each field's fixed part is written after one check for room.
    void child_field(Acc s, uint64_t at, const Fingerprint& f) {
        const std::string& name = s->fields[at];
        Octet* p = stream_.room(Bytes::spelled_size(name) + 17);
        p += Bytes::spelled_at(p, name);
        p[0] = TAG_NODE;
        put_fingerprint(p + 1, f);
        stream_.advance(Bytes::spelled_size(name) + 17);
    }
    void leaf_field(Acc s, uint64_t at, uint64_t note) {
        auto* v = reinterpret_cast<PyObject*>(note);
        if (v == Py_None) return;
        const std::string& name = s->fields[at];
        if (Py_IS_TYPE(v, &PyUnicode_Type) && PyUnicode_IS_COMPACT_ASCII(v) &&
            PyUnicode_GET_LENGTH(v) < 0x80) {
            const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(v));
            const size_t total = Bytes::spelled_size(name) + 2 + length;
            Octet* p = stream_.room(total);
            p += Bytes::spelled_at(p, name);
            p[0] = TAG_STR;
            p[1] = static_cast<Octet>(length);
            Bytes::copy(p + 2, PyUnicode_DATA(v), length);
            stream_.advance(total);
            return;
        }
        stream_.put_spelled(name);
        put_scalar(stream_, v);
    }
    bool begin_list(Acc s, uint64_t at, uint64_t length, uint64_t) {
        if (length == 0) return false;
        const std::string& name = s->fields[at];
        Octet* const start = stream_.room(Bytes::spelled_size(name) + 11);
        Octet* p = start + Bytes::spelled_at(start, name);
        *p++ = TAG_LIST;
        p += Bytes::varint_at(p, length);
        stream_.advance(static_cast<size_t>(p - start));
        return true;
    }
    void child_item(bool, const Fingerprint& f) { put_child(f); }
    void leaf_item(bool, uint64_t note) { put_scalar(stream_, reinterpret_cast<PyObject*>(note)); }
    void end_list(Acc, uint64_t, bool) {}
    Fingerprint end(Acc s) { return digest(*s); }

    // --- fields read afresh

    using Fresh = const TypeInfo*;
    using Run = arbolus::Run<FingerprintMixer>;

    bool begin_fresh(PyTypeObject* cls, const TypeInfo& info, Fresh& acc) {
        bool code_ran = false;
        if (!spell(cls, info, code_ran)) return false;
        stream_.clear();
        stream_.put_spelled(info.spelling.header);
        acc = &info;
        return true;
    }

    bool field(Run& run, Fresh, const TypeInfo& info, size_t position, PyObject* value) {
        if (value == Py_None) return true;
        if (Py_IS_TYPE(value, &PyList_Type) && PyList_GET_SIZE(value) == 0) return true;
        // The names were made with the header, which was read before any field.
        stream_.put_spelled(info.spelling.fields[position]);
        const Where where{info.cls.get(), info.fields[position].get()};
        if (Py_IS_TYPE(value, &PyList_Type)) return put_list(run, value, where);
        return put_value(run, value, where);
    }

    Fingerprint end_fresh(Fresh info) { return digest(info->spelling); }

    // --- a root that is no node

    // The root's encoding as a value, hashed. `items` is null, or the
    // root's items as a list when the root is a list or a tuple: both are
    // spelled as a list field's value is.
    bool root_value(Run& run, PyObject* root, PyObject* items, Fingerprint& out) {
        stream_.clear();
        const Where where{nullptr, root};
        if (!(items != nullptr ? put_list(run, items, where) : put_value(run, root, where))) {
            return false;
        }
        out = arbolus::digest(stream_.data(), stream_.size());
        return true;
    }

private:
    // Where a value was found, for the error that names it: a class and its
    // field, or no class and the root the value is or is inside of.
    struct Where {
        PyObject* cls;
        PyObject* field;
    };

    void put_child(const Fingerprint& f) {
        Octet* p = stream_.room(17);
        p[0] = TAG_NODE;
        put_fingerprint(p + 1, f);
        stream_.advance(17);
    }

    // The node's stream hashed; one that holds the class's header alone
    // has its fingerprint made already.
    Fingerprint digest(const ClassSpelling& s) {
        if (stream_.size() == s.header.size() - SPELLING_PAD) return {s.bare[0], s.bare[1]};
        return arbolus::digest(stream_.data(), stream_.size());
    }

    // A field value or list item other than an exact list.
    bool put_value(Run& run, PyObject* v, const Where& where) {
        if (run.walk().is_node(v) || Py_IS_TYPE(v, run.walk().base_type())) {
            Fingerprint f;
            if (!run.child(v, f)) return false;
            put_child(f);
            return true;
        }
        if (Py_IS_TYPE(v, &PyList_Type)) {
            return Run::nested([&] { return put_list(run, v, where); });
        }
        return put_leaf(stream_, v, where);
    }

    // An exact list: its items in order. Interpreter code run meanwhile may
    // change its length, so the count is written after the items.
    bool put_list(Run& run, PyObject* list, const Where& where) {
        stream_.put(TAG_LIST);
        const size_t at = stream_.size();
        uint64_t count = 0;
        bool ok = Run::items(list, [&](PyObject* item) {
            ++count;
            return put_value(run, item, where);
        });
        if (!ok) return false;
        stream_.insert_varint(at, count);
        return true;
    }

    // A leaf: a scalar, or a tuple or frozenset of leaves. Nothing here runs
    // interpreter code.
    static bool put_leaf(Bytes& out, PyObject* v, const Where& where) {
        if (put_scalar(out, v)) return true;
        if (Py_IS_TYPE(v, &PyTuple_Type)) {
            return Run::nested([&] {
                const Py_ssize_t n = PyTuple_GET_SIZE(v);
                out.put(TAG_TUPLE);
                out.varint(static_cast<uint64_t>(n));
                for (Py_ssize_t i = 0; i < n; ++i) {
                    if (!put_leaf(out, PyTuple_GET_ITEM(v, i), where)) return false;
                }
                return true;
            });
        }
        if (Py_IS_TYPE(v, &PyFrozenSet_Type)) {
            return Run::nested([&] { return put_frozenset(out, v, where); });
        }
        Strong type_name = Strong::steal(PyType_GetFullyQualifiedName(Py_TYPE(v)));
        if (!type_name) return false;
        if (where.cls == nullptr) return no_root_value(v, type_name.get(), where.field);
        Strong class_name = Strong::steal(
            PyType_GetFullyQualifiedName(reinterpret_cast<PyTypeObject*>(where.cls)));
        if (!class_name) return false;
        PyErr_Format(PyExc_TypeError,
                     "cannot fingerprint a value of type %U in field '%U' of %U: only nodes, "
                     "lists and values of the exact types str, bytes, int, float, complex, "
                     "bool, None, Ellipsis, tuple and frozenset have a fingerprint",
                     type_name.get(), where.field, class_name.get());
        return false;
    }

    // The TypeError for a value given as the root, or found among its items.
    ARBOLUS_NOINLINE static bool no_root_value(PyObject* v, PyObject* type_name, PyObject* root) {
        if (v == root) {
            PyErr_Format(PyExc_TypeError,
                         "cannot fingerprint a root of type %U: only nodes, lists, tuples and "
                         "values of the exact types str, bytes, int, float, complex, bool, "
                         "None, Ellipsis and frozenset have a fingerprint",
                         type_name);
            return false;
        }
        Strong root_name = Strong::steal(PyType_GetFullyQualifiedName(Py_TYPE(root)));
        if (!root_name) return false;
        PyErr_Format(PyExc_TypeError,
                     "cannot fingerprint a value of type %U in a root of type %U: only nodes, "
                     "lists and values of the exact types str, bytes, int, float, complex, "
                     "bool, None, Ellipsis, tuple and frozenset have a fingerprint",
                     type_name, root_name.get());
        return false;
    }

    // The items' encodings, sorted.
    static bool put_frozenset(Bytes& out, PyObject* set, const Where& where) {
        std::vector<std::string> items;
        items.reserve(static_cast<size_t>(PySet_GET_SIZE(set)));
        Strong iterator = Strong::steal(PyObject_GetIter(set));
        if (!iterator) return false;
        while (Strong item = Strong::steal(PyIter_Next(iterator.get()))) {
            Bytes b;
            if (!put_leaf(b, item.get(), where)) return false;
            items.push_back(b.str());
        }
        if (PyErr_Occurred()) return false;
        std::sort(items.begin(), items.end());
        out.put(TAG_FROZENSET);
        out.varint(items.size());
        for (const std::string& item : items) out.put(item.data(), item.size());
        return true;
    }

    Bytes stream_;
};

PyObject* fingerprint_bytes(const Fingerprint& f) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, 16);
    if (b != nullptr) put_fingerprint(PyBytes_AS_STRING(b), f);
    return b;
}

using Values = SubtreeValues<Fingerprint>;

// A root that is no node is spelled as a field's value would be, and its
// fingerprint is that spelling hashed: a leaf by its encoding, a list by
// its items, a tuple as the list of its items. The nodes among a list's
// items are done first, each in a run of its own with its subtree, as a
// list field's items are.
//
// Each run lets its nodes go when it ends, and a node no longer in the
// tree then dies: a later run may find another node at its address. So
// the items looked up by address are held to the end, and with `want` All
// a later run's value for an address replaces an earlier one's: a node
// still alive at the end is the only one its address has meant since its
// own run. The dict made of the values lists the root first, then each
// run's nodes in the run's order, a node where it first appears.
std::optional<Values> fingerprint_value(Walk& walk, PyObject* root, Want want) {
    Strong items;
    if (Py_IS_TYPE(root, &PyList_Type)) {
        items = Strong::borrow(root);
    } else if (Py_IS_TYPE(root, &PyTuple_Type)) {
        items = Strong::steal(PySequence_List(root));
        if (!items) return std::nullopt;
    }
    Values values;  // its map: the items done, each held in `held`
    std::vector<Strong> held;
    std::vector<std::pair<PyObject*, Fingerprint>> entries;  // in dict order
    // Interpreter code run meanwhile may change the list: its length is
    // read again at every step.
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const auto key = reinterpret_cast<uintptr_t>(item);
        if (!walk.is_node(item) || values.map.find(key) != nullptr) continue;
        held.push_back(Strong::borrow(item));
        auto done = hash_subtrees<FingerprintMixer>(walk, item, want);
        if (!done) return std::nullopt;
        values.map.insert(key, done->root);
        for (size_t k = done->order.size(); k-- > 0;) entries.push_back(done->order[k]);
    }
    FingerprintMixer mixer;
    FingerprintMixer::Run run(walk, values, mixer);
    if (!mixer.root_value(run, root, items.get(), values.root)) return std::nullopt;
    if (want == Want::All) {
        // Reversed, as the runs give them: children first, the root last.
        values.order.assign(entries.rbegin(), entries.rend());
        values.order.emplace_back(root, values.root);
    }
    return values;
}

// Whether the root is spelled as a node: any instance of `ast.AST`.
bool node_root(const Walk& walk, PyObject* root) {
    return walk.is_node(root) || Py_IS_TYPE(root, walk.base_type());
}

}  // namespace

PyObject* subtree_fingerprints(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    auto values = node_root(*walk, root.get())
                      ? hash_subtrees<FingerprintMixer>(*walk, root.get(), Want::All)
                      : fingerprint_value(*walk, root.get(), Want::All);
    if (!values) return nullptr;
    Strong dict = Strong::steal(pydict::new_presized(values->order.size()));
    if (!dict) return nullptr;
    // Keys in pre-order of each node's last visit: the root comes first. A
    // key met again keeps its place and takes the later value (see
    // fingerprint_value).
    for (size_t i = values->order.size(); i-- > 0;) {
        const auto& entry = values->order[i];
        if (!store_by_id(dict.get(), entry.first,
                         [&entry] { return fingerprint_bytes(entry.second); })) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* subtree_fingerprint(PyObject* node) {
    Strong root = Strong::borrow(node);
    std::optional<Walk> walk = Walk::make(thread_caches());
    if (!walk) return nullptr;
    auto values = node_root(*walk, root.get())
                      ? hash_subtrees<FingerprintMixer>(*walk, root.get(), Want::Root)
                      : fingerprint_value(*walk, root.get(), Want::Root);
    if (!values) return nullptr;
    return fingerprint_bytes(values->root);
}

}  // namespace arbolus

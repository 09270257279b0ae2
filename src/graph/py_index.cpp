#include "graph/py_index.hpp"

#include <algorithm>

#include "binding/pyclass.hpp"
#include "graph/py_graph.hpp"

namespace quorvel {

using py::Ref;

std::size_t& exclusive_element_borrows() noexcept {
    static std::size_t count = 0;
    return count;
}

std::uint64_t dict_version(PyObject* dict) noexcept {
#if QV_DICT_VERSIONS
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

namespace {

enum class Built { Yes, No, Error };

// Walks the dict once: No when the state cannot be indexed (a walk would
// raise on some entry) or changed meanwhile. Every few thousand entries it
// lets signal handlers run (Ctrl-C): they may run Python code, which may
// change the dict -- the walk then gives up -- or build and publish an index
// of their own: this one is private until it is done.
template <class V, class Index, class Add>
Built build(PyObject* dict, PyTypeObject* cls, bool str_keys, Index& index, Add&& add) {
    index.exact_keys = true;
    const std::uint64_t version = dict_version(dict);
    Py_ssize_t p = 0;
    PyObject *key, *value;
    std::size_t steps = 0;
    while (PyDict_Next(dict, &p, &key, &value)) {
        if ((++steps & 0xFFF) == 0) {
            if (PyErr_CheckSignals() < 0) return Built::Error;
            if (dict_version(dict) != version) return Built::No;
        }
        if (Py_TYPE(value) != cls) return Built::No;
        if (!PyUnicode_CheckExact(key)) {
            if (str_keys && !PyUnicode_Check(key)) return Built::No;
            index.exact_keys = false;
        }
        const auto ordinal = static_cast<std::uint32_t>(index.pos.size());
        index.pos.push_back(p - 1);
        add(py::value_of<V>(value), ordinal);
    }
    index.end = p;
    return Built::Yes;
}

template <class Index, class Build>
std::shared_ptr<const Index> current(PyObject* dict, std::shared_ptr<Index>& slot, std::uint64_t& refused,
                                     Build&& build_into) {
#if QV_DICT_VERSIONS
    if (!dict || exclusive_element_borrows() != 0) return nullptr;
    const std::uint64_t version = dict_version(dict);
    if (slot && slot->version == version) return slot;
    if (refused == version) return nullptr;
    std::shared_ptr<Index> fresh;
    Built built = Built::No;
    try {
        fresh = std::make_shared<Index>();
        built = build_into(*fresh);
    } catch (const std::bad_alloc&) {
        PyErr_Format(PyExc_MemoryError, "out of memory indexing a graph dict of %zd entries",
                     PyDict_GET_SIZE(dict));
        return nullptr;
    }
    if (built == Built::Error) return nullptr;
    if (dict_version(dict) != version) return nullptr;
    if (built == Built::No) {
        refused = version;
        return nullptr;
    }
    fresh->version = version;
    slot = std::move(fresh);
    return slot;
#else
    (void)dict, (void)slot, (void)refused, (void)build_into;
    return nullptr;
#endif
}

struct EdgeAdder {
    EdgeIndex& index;
    void operator()(const EdgeValue& edge, std::uint32_t ordinal) const {
        const std::uint32_t s = index.types.intern(*edge.start.type);
        const std::uint32_t e = index.types.intern(*edge.end.type);
        index.start_gid.push_back(s);
        index.end_gid.push_back(e);
        index.by_start.add(s, ordinal);
        index.by_end.add(e, ordinal);
    }
};

// Groups every ordinal by `gid_of[ordinal]`, in order.
void fill(Groups& groups, const std::vector<std::uint32_t>& gid_of, std::size_t n_groups) {
    std::vector<std::uint32_t> sizes(n_groups, 0);
    for (std::uint32_t g : gid_of) ++sizes[g];
    groups.lists.resize(n_groups);
    for (std::size_t g = 0; g < n_groups; ++g) groups.lists[g].reserve(sizes[g]);
    for (std::size_t o = 0; o < gid_of.size(); ++o)
        groups.lists[gid_of[o]].push_back(static_cast<std::uint32_t>(o));
}

// Where the entry our store appended landed: the one entry after the
// index's end. False when the store reorganised the table (a resize that
// dropped deleted slots moves every entry after them).
bool appended_at(PyObject* dict, const DictIndex& index, PyObject* key, PyObject* value, Py_ssize_t& at) {
    Py_ssize_t p = index.end;
    PyObject *k, *v;
    if (!PyDict_Next(dict, &p, &k, &v) || k != key || v != value) return false;
    at = p - 1;
    Py_ssize_t q = p;
    return !PyDict_Next(dict, &q, &k, &v);
}

// The shared store: `follow(index, old, appended_at)` updates the index for
// a replaced (old != null) or appended entry and says whether it could.
template <class Index, class Follow>
bool store(PyObject* dict, std::shared_ptr<Index>* slot, PyObject* key, PyObject* value, Follow&& follow) {
    // Following is only sound when no Python code can have run during the
    // store: every key an exact str, and no one else walking this index.
    Index* index = slot && *slot && slot->use_count() == 1 ? slot->get() : nullptr;
    if (index && !(index->exact_keys && PyUnicode_CheckExact(key) && index->version == dict_version(dict)))
        index = nullptr;
    // The replaced value is released only after the index is updated: its
    // finalizer may change the dict again, which the index then sees as a
    // new version.
    Ref old;
    if (index) {
        old = Ref::borrow(PyDict_GetItemWithError(dict, key));
        if (!old && PyErr_Occurred()) return false;
    }
    if (PyDict_SetItem(dict, key, value) < 0) return false;
    if (index) {
        Py_ssize_t at = 0;
        bool ok = old ? follow(*index, old.get(), Py_ssize_t(-1))
                      : appended_at(dict, *index, key, value, at) && follow(*index, nullptr, at);
        if (ok) index->version = dict_version(dict);
    }
    return true;
}

}  // namespace

OrdinalSpan EdgeIndex::between(std::uint32_t start, std::uint32_t end) const {
    if (start >= by_start.lists.size() || end == TypeGroups::kNone) return {};
    if (pair_offsets_.empty()) {
        // Made on first use after the index was built or last grew (see
        // forget_pairs), with no Python code run; put in place only whole.
        std::vector<std::uint32_t> offsets, ends, ordinals;
        offsets.reserve(by_start.lists.size() + 1);
        ends.reserve(pos.size());
        ordinals.reserve(pos.size());
        std::vector<std::pair<std::uint32_t, std::uint32_t>> group;
        for (const auto& list : by_start.lists) {
            offsets.push_back(static_cast<std::uint32_t>(ends.size()));
            group.clear();
            for (std::uint32_t o : list) group.emplace_back(end_gid[o], o);
            std::sort(group.begin(), group.end());
            for (const auto& [e, o] : group) {
                ends.push_back(e);
                ordinals.push_back(o);
            }
        }
        offsets.push_back(static_cast<std::uint32_t>(ends.size()));
        pair_offsets_.swap(offsets);
        pair_ends_.swap(ends);
        pair_ordinals_.swap(ordinals);
    }
    const auto first = pair_ends_.begin() + pair_offsets_[start];
    const auto last = pair_ends_.begin() + pair_offsets_[start + 1];
    const auto [lo, hi] = std::equal_range(first, last, end);
    const std::uint32_t* base = pair_ordinals_.data();
    return {base + (lo - pair_ends_.begin()), base + (hi - pair_ends_.begin())};
}

bool index_current(PyObject* dict, const DictIndex& index) noexcept {
    return dict_version(dict) == index.version;
}

std::shared_ptr<const NodeIndex> current_node_index(PyObject* nodes, GraphIndex* gi) {
    if (!gi) return nullptr;
    return current(nodes, gi->nodes, gi->nodes_refused, [&](NodeIndex& index) {
        std::vector<std::uint32_t> gid_of;
        const Built built = build<NodeValue>(
            nodes, node_type(), true, index,
            [&](const NodeValue& n, std::uint32_t) { gid_of.push_back(index.types.intern(*n.type)); });
        if (built == Built::Yes) fill(index.by_type, gid_of, index.types.size());
        return built;
    });
}

std::shared_ptr<const EdgeIndex> current_edge_index(PyObject* edges, GraphIndex* gi) {
    if (!gi) return nullptr;
    return current(edges, gi->edges, gi->edges_refused, [&](EdgeIndex& index) {
        // The walk notes each edge's two groups; the groupings are filled
        // after it, each list made at its final size.
        const Built built =
            build<EdgeValue>(edges, edge_type(), false, index, [&](const EdgeValue& e, std::uint32_t) {
                index.start_gid.push_back(index.types.intern(*e.start.type));
                index.end_gid.push_back(index.types.intern(*e.end.type));
            });
        if (built == Built::Yes) {
            fill(index.by_start, index.start_gid, index.types.size());
            fill(index.by_end, index.end_gid, index.types.size());
        }
        return built;
    });
}

bool store_indexed_node(PyObject* nodes, GraphIndex* gi, PyObject* key, PyObject* node) {
    const Digest& type = py::value_of<NodeValue>(node).type->digest();
    return store(
        nodes, gi ? &gi->nodes : nullptr, key, node, [&](NodeIndex& index, PyObject* old, Py_ssize_t at) {
            if (old)
                return Py_TYPE(old) == node_type() && py::value_of<NodeValue>(old).type->digest() == type;
            const auto ordinal = static_cast<std::uint32_t>(index.pos.size());
            index.pos.push_back(at);
            index.end = at + 1;
            index.by_type.add(index.types.intern(type), ordinal);
            return true;
        });
}

bool store_indexed_edge(PyObject* edges, GraphIndex* gi, PyObject* key, PyObject* edge) {
    const EdgeValue& value = py::value_of<EdgeValue>(edge);
    const Digest& start = value.start.type->digest();
    const Digest& end = value.end.type->digest();
    return store(edges, gi ? &gi->edges : nullptr, key, edge,
                 [&](EdgeIndex& index, PyObject* old, Py_ssize_t at) {
                     if (old) {
                         if (Py_TYPE(old) != edge_type()) return false;
                         const EdgeValue& was = py::value_of<EdgeValue>(old);
                         return was.start.type->digest() == start && was.end.type->digest() == end;
                     }
                     const auto ordinal = static_cast<std::uint32_t>(index.pos.size());
                     index.forget_pairs();
                     index.pos.push_back(at);
                     index.end = at + 1;
                     EdgeAdder{index}(value, ordinal);
                     return true;
                 });
}

}  // namespace quorvel

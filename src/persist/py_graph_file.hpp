// The graph file: a versioned JSON document holding a whole graph.
//
//   {"format": "quorvel-graph", "version": 1,
//    "types": [...],        every distinct type once: "Name", or [left, right]
//                           naming two earlier entries by index
//    "properties": [...],   every distinct properties dict once
//    "nodes": [{"key": k, "type": t, "properties": p}, ...]
//    "edges": [{"key": k, "term": name, "type": t, "start": s, "end": e,
//               "properties": p}, ...]}
//
// Tables keep the file flat (a type a million deep is a million short
// entries; JSON nesting only comes from property values) and keep sharing: a
// dict held by several nodes and edges is one entry of "properties", and
// comes back as one dict. An edge's end is the key of the node it shares its
// type and dict with, or, when no stored node does (the edge was made from a
// node never stored, or one replaced since), the node itself: {"type": t,
// "properties": p}. docs/saving.md describes the format for other tools.
#pragma once

#include <string>
#include <string_view>

#include "binding/ref.hpp"
#include "persist/py_snapshot.hpp"

namespace quorvel {

constexpr const char* kGraphFileFormat = "quorvel-graph";
constexpr long kGraphFileVersion = 1;

// Runs `f`, which must touch no Python object and throw nothing, with the
// interpreter lock released (for reading and writing files).
template <class F>
auto without_interpreter_lock(F f) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    auto result = f();
    PyEval_RestoreThread(state);
    return result;
}

// Where the text goes: kept in memory, or written to a file descriptor in
// chunks as it grows.
class OutputSink {
public:
    OutputSink() = default;
    OutputSink(int fd, PyObject* path) : fd_(fd), path_(path) {}

    std::string& text() noexcept { return text_; }
    // Writes the text out once enough of it has gathered (files only).
    bool spill() { return fd_ < 0 || text_.size() < (std::size_t{1} << 20) || write_out(); }
    bool finish() { return fd_ < 0 || write_out(); }

private:
    bool write_out();
    std::string text_;
    int fd_ = -1;
    PyObject* path_ = nullptr;  // for the OSError
};

// Writes the snapshot (which holds no foreign entry) as a graph file. A
// property value JSON cannot hold is a TypeError naming the node or edge and
// the key.
bool write_graph_file(const GraphSnapshot& snapshot, OutputSink& out);

// Reads a graph file into two new dicts. Anything malformed is a ValueError
// naming the first bad record, its line and column; `source` (a path, or
// null) is named too.
bool read_graph_file(std::string_view text, PyObject* source, py::Ref& nodes, py::Ref& edges);

}  // namespace quorvel

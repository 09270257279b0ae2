// Graph.to_json, Graph.from_json, Graph.save and Graph.load.
#include "persist/py_graph_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "binding/args.hpp"
#include "binding/pyclass.hpp"
#include "persist/py_persist.hpp"

namespace quorvel {

using py::Ref;

namespace {

// The graph's entries, or TypeError naming the first one a file cannot hold.
bool snapshot_for_file(PyObject* self, GraphSnapshot& out) {
    if (!take_snapshot(py::value_of<GraphValue>(self), out)) return false;
    if (!out.foreign_key) return true;
    raise_foreign_entry(out, "save");
    return false;
}

Ref new_graph(Ref nodes, Ref edges) {
    PyTypeObject* cls = graph_type();
    if (!cls) return Ref();
    return py::make_object<GraphValue>(cls, std::move(nodes), std::move(edges));
}

Ref graph_from_text(std::string_view text, PyObject* source) {
    Ref nodes, edges;
    if (!read_graph_file(text, source, nodes, edges)) return Ref();
    return new_graph(std::move(nodes), std::move(edges));
}

// A path argument (str, bytes or os.PathLike) as the bytes the system takes.
bool fs_path(PyObject* path, Ref& out) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return false;
    out = Ref::steal(converted);
    return true;
}

void raise_os_error(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// A file written beside its target and renamed over it once complete and
// flushed, so that the target never shows half a file. Until then the
// destructor closes and removes it, whatever stopped the writing (an error,
// Ctrl-C, an exception).
class TemporaryFile {
public:
    explicit TemporaryFile(std::string target) : target_(std::move(target)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlink(name_.c_str());
    }

    // Creates it (never opening an existing file) with the permissions a new
    // file gets, or those of the file it will replace. False with errno set.
    bool create() {
        static unsigned counter = 0;
        const std::size_t slash = target_.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
        if (base.size() > 200) base.resize(200);
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[48];
            std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()), counter++);
            std::string name = dir + "." + base + suffix;
            fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                name_ = std::move(name);
                struct stat existing;
                if (::stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
                    (void)::fchmod(fd_, existing.st_mode & 07777);
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    int fd() const noexcept { return fd_; }

    // Flushes, closes and renames it over the target. False with errno set.
    bool commit() {
        const int fd = std::exchange(fd_, -1);
        const bool flushed = without_interpreter_lock([fd]() noexcept { return ::fsync(fd) == 0; });
        if (::close(fd) != 0 || !flushed || ::rename(name_.c_str(), target_.c_str()) != 0) return false;
        name_.clear();
        return true;
    }

private:
    std::string target_;
    std::string name_;  // empty until created, and again once renamed
    int fd_ = -1;
};

// The whole file, or an errno value. Runs without the interpreter lock.
int read_file(const char* name, std::string& text) noexcept {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    try {
        struct stat st;
        if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
        char chunk[1 << 16];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error = errno;
            if (n <= 0) break;
            text.append(chunk, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    }
    ::close(fd);
    return error;
}

}  // namespace

PyObject* graph_to_json(PyObject* self, PyObject*) {
    GraphSnapshot snapshot;
    if (!snapshot_for_file(self, snapshot)) return nullptr;
    OutputSink out;
    if (!write_graph_file(snapshot, out)) return nullptr;
    const std::string& text = out.text();
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* graph_from_json(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref text;
    if (!py::bind_args("from_json", args, kwargs, {{"text"}}, &text)) return nullptr;
    if (PyBytes_Check(text.get()))
        return graph_from_text(
                   {PyBytes_AS_STRING(text.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(text.get()))},
                   nullptr)
            .release();
    std::string_view view;
    if (!PyUnicode_Check(text.get())) {
        py::raise_arg_type("text", "str or bytes", text.get());
        return nullptr;
    }
    if (!py::to_utf8_view(text.get(), "text", view)) return nullptr;
    return graph_from_text(view, nullptr).release();
}

PyObject* graph_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref path;
    if (!py::bind_args("save", args, kwargs, {{"path"}}, &path)) return nullptr;
    Ref target;
    if (!fs_path(path.get(), target)) return nullptr;
    GraphSnapshot snapshot;
    if (!snapshot_for_file(self, snapshot)) return nullptr;
    TemporaryFile file(PyBytes_AS_STRING(target.get()));
    if (!file.create()) {
        raise_os_error(path.get());
        return nullptr;
    }
    OutputSink out(file.fd(), path.get());
    if (!write_graph_file(snapshot, out)) return nullptr;
    if (!file.commit()) {
        raise_os_error(path.get());
        return nullptr;
    }
    return py::none();
}

PyObject* graph_load(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref path;
    if (!py::bind_args("load", args, kwargs, {{"path"}}, &path)) return nullptr;
    Ref path_bytes;
    if (!fs_path(path.get(), path_bytes)) return nullptr;
    std::string text;
    const char* name = PyBytes_AS_STRING(path_bytes.get());
    const int error = without_interpreter_lock([&]() noexcept { return read_file(name, text); });
    if (error == ENOMEM) return PyErr_NoMemory();
    if (error) {
        errno = error;
        raise_os_error(path.get());
        return nullptr;
    }
    // Errors name the file as a str, whatever kind of path was given.
    Ref shown = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path_bytes.get()),
                                                            PyBytes_GET_SIZE(path_bytes.get())));
    if (!shown) return nullptr;
    return graph_from_text(text, shown.get()).release();
}

}  // namespace quorvel

// Bytes into orvex.parcel.unpack, two ways. Every input is read as a parcel
// as it stands. An input that starts with 'P' is also made into an X value
// whose pickle is the program (fuzz_support.h) of its bytes from the fourth
// on; its second byte places the value (alone, in a list, as a dict's value
// or as its key), and its third, from 0x80, puts (byte - 0x80) * 4 lists
// around that, so that the reader's own depth adds to the pickle's.
//
// A clean refusal is UnpackError (or a subclass) or the interpreter's
// TypeError for an unhashable dict key; any other exception, a crash or a
// sanitizer report is a finding. So is any change to the classes registered
// for X payloads, their __init__ or the pickle helpers (fuzz_support.h).
// What is accepted must hold no built-in function (in no list, tuple, dict or
// instance attribute: the unpickler's helpers must not leak), must not
// contain itself, must nest no deeper than the 500-level bound (lists,
// tuples, dicts and instances with attributes, those a pickle made counting
// with the native ones around it), and must pack again, into at most 256
// bytes per byte of the parcel plus 1024, then read back. The size is first
// counted on the value itself, as pack would unfold shared lists, so that a
// blow-up is reported before pack spends its time on it. Pack may refuse
// only with ValueError.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

constexpr size_t max_depth = 500;
// Distinct objects a walk visits at most; beyond them it sees leaves.
constexpr size_t max_walk = 1 << 20;

PyObject* pack;
PyObject* unpack;
PyObject* unpack_error;

void set_up()
{
    ensure_python();
    Ref module = Ref::steal(PyImport_ImportModule("orvex.parcel"));
    if (!module)
        finding("cannot import orvex.parcel");
    pack = PyObject_GetAttrString(module.get(), "pack");
    unpack = PyObject_GetAttrString(module.get(), "unpack");
    unpack_error = PyObject_GetAttrString(module.get(), "UnpackError");
    if (!pack || !unpack || !unpack_error)
        finding("orvex.parcel lacks pack, unpack or UnpackError");
    set_up_watch();
}

bool is_unhashable_key_error()
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
    const char* message =
        text && pyglue::text_check(text.get()) ? pyglue::text_as_utf8(text.get()) : nullptr;
    bool unhashable = message && std::strncmp(message, "unhashable type", 15) == 0;
    PyErr_Restore(type, value, tb);
    return unhashable;
}

Ref call(PyObject* func, PyObject* arg)
{
    return Ref::steal(PyObject_CallFunctionObjArgs(func, arg, nullptr));
}

size_t size_bound(size_t parcel_size) { return 256 * parcel_size + 1024; }

size_t bit_length(size_t n)
{
    size_t bits = 0;
    for (; n; n >>= 1)
        ++bits;
    return bits;
}

bool is_container(PyObject* obj)
{
    return PyList_Check(obj) || PyTuple_Check(obj) || PyDict_Check(obj);
}

// What a walk over an unpacked value found.
struct Shape {
    size_t depth;     // levels of non-empty containers and instances with attributes
    size_t unfolded;  // elements pack writes natively, a shared one at each use (capped)
    bool builtin;     // a built-in function somewhere inside
    bool cycle;       // something inside contains itself
};

// An iterative walk over the graph of a value, each object once: lists,
// tuples and dicts, and the attributes of instances (pack pickles an
// instance whole, as one element). An edge back to an object still being
// walked (a value that contains itself) is noted, and left out of depth and
// size.
class Walk {
public:
    explicit Walk(size_t cap) : cap_(cap) {}

    Shape run(PyObject* root)
    {
        enter(root);
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            if (top.next < top.children.size())
                enter(top.children[top.next++]);
            else
                leave();
        }
        const Node& node = nodes_[root];
        return {node.depth, node.unfolded, builtin_, cycle_};
    }

private:
    struct Node {
        size_t depth = 0;
        size_t unfolded = 1;
        bool done = false;
    };
    struct Frame {
        PyObject* obj;
        std::vector<PyObject*> children;
        size_t next;
    };

    void enter(PyObject* obj)
    {
        if (nodes_.count(obj) || nodes_.size() >= max_walk)
            return;
        builtin_ = builtin_ || PyCFunction_Check(obj);
        nodes_.emplace(obj, Node());
        stack_.push_back(Frame{obj, children_of(obj), 0});
    }

    void leave()
    {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        size_t depth = 0, unfolded = 1;
        for (PyObject* child : frame.children) {
            auto found = nodes_.find(child);
            if (found == nodes_.end())
                continue;
            if (!found->second.done) {
                cycle_ = true;
                continue;
            }
            depth = std::max(depth, found->second.depth);
            unfolded = std::min(cap_, unfolded + found->second.unfolded);
        }
        Node& node = nodes_[frame.obj];
        node.depth = depth + (frame.children.empty() ? 0 : 1);
        node.unfolded = is_container(frame.obj) ? unfolded : 1;
        node.done = true;
    }

    static void add_dict_items(PyObject* dict, std::vector<PyObject*>& out)
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            out.push_back(key);
            out.push_back(value);
        }
    }

    std::vector<PyObject*> children_of(PyObject* obj)
    {
        std::vector<PyObject*> out;
        if (PyList_Check(obj)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
                out.push_back(PyList_GET_ITEM(obj, i));
        } else if (PyTuple_Check(obj)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
                out.push_back(PyTuple_GET_ITEM(obj, i));
        } else if (PyDict_Check(obj)) {
            add_dict_items(obj, out);
        } else if (Py_TYPE(obj)->tp_dictoffset != 0 && !pyglue::is_class(obj)) {
            Ref attributes = Ref::steal(PyObject_GetAttrString(obj, "__dict__"));
            if (attributes && PyDict_Check(attributes.get()))
                add_dict_items(attributes.get(), out);
            PyErr_Clear();
            held_.push_back(std::move(attributes));
        }
        return out;
    }

    size_t cap_;
    bool builtin_ = false;
    bool cycle_ = false;
    std::unordered_map<PyObject*, Node> nodes_;
    std::vector<Frame> stack_;
    std::vector<Ref> held_;  // instances' attribute dicts, alive for the walk
};

void check_value(PyObject* value, size_t parcel_size)
{
    const size_t bound = size_bound(parcel_size);
    Shape shape = Walk(bound + 1).run(value);
    note_outcome(Py_TYPE(value)->tp_name, 0);
    note_outcome("depth", bit_length(shape.depth));
    note_outcome("unfolded", bit_length(shape.unfolded));
    if (shape.builtin)
        finding("unpack gave a built-in function: an unpickler helper leaked");
    if (shape.cycle)
        finding("unpack gave a value that contains itself");
    if (shape.depth > max_depth)
        finding("unpack gave a value nested deeper than 500 levels");
    if (shape.unfolded > bound)
        finding("unpack gave a value that unfolds past 256 elements per parcel byte + 1024");
}

void check_round_trip(PyObject* value, size_t parcel_size)
{
    Ref again = call(pack, value);
    if (!again) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            finding("pack refused a value that unpack gave");
        PyErr_Clear();
        return;
    }
    if (static_cast<size_t>(PyBytes_GET_SIZE(again.get())) > size_bound(parcel_size))
        finding("pack made more than 256 bytes per parcel byte + 1024 of what unpack gave");
    if (!call(unpack, again.get()))
        finding("unpack refused what pack made of its own result");
    check_watched();
}

void check_parcel(const char* bytes, size_t size)
{
    Ref parcel = Ref::steal(PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size)));
    if (!parcel)
        finding("cannot make the parcel string");
    Ref value = call(unpack, parcel.get());
    check_watched();
    if (!value) {
        note_error();
        if (!PyErr_ExceptionMatches(unpack_error) && !is_unhashable_key_error())
            finding("unpack raised an exception outside its contract");
        PyErr_Clear();
        return;
    }
    check_value(value.get(), size);
    check_round_trip(value.get(), size);
}

// The parcel of an input that starts with 'P' (see the header).
std::string pickle_parcel(const uint8_t* data, size_t size)
{
    std::string x = x_value(pickle_program(data + 3, size - 3));
    switch (data[1] % 4) {
    case 1:
        x = "c\x01" + x;
        break;
    case 2:
        x = "d\x01i\x01" + x;
        break;
    case 3:
        x = "d\x01" + x + "N";
        break;
    }
    size_t lists = data[2] >= 0x80 ? (data[2] - 0x80) * 4 : 0;
    std::string parcel;
    for (size_t i = 0; i < lists; ++i)
        parcel += "c\x01";
    return parcel + x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = (set_up(), true);
    (void)ready;
    check_parcel(reinterpret_cast<const char*>(data), size);
    if (size >= 3 && data[0] == 'P') {
        std::string parcel = pickle_parcel(data, size);
        check_parcel(parcel.data(), parcel.size());
    }
    return 0;
}

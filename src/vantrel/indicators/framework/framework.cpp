// The framework shared by every indicator module: see framework.hpp.
#include "framework/framework.hpp"

#include <frameobject.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#if PY_VERSION_HEX >= 0x030C0000
#define VI_T_PYSSIZET Py_T_PYSSIZET
#define VI_READONLY Py_READONLY
#else
#include <structmember.h>
#define VI_T_PYSSIZET T_PYSSIZET
#define VI_READONLY READONLY
#endif

namespace vi {

Names names{};

// Process-wide state of this extension module. Each indicator is its own shared
// library with its own copy of these; they are written only while the module
// is executed (under the import lock) and only read afterwards.
namespace {

ModuleDef* g_module_def = nullptr;     // the one module definition of this library
PyObject* g_module = nullptr;          // the one module object, once fully executed
// The interpreter that loaded it first: claimed atomically, since interpreters with
// their own GIL may import at the same moment.
std::atomic<std::int64_t> g_interpreter{-1};
bool g_names_ready = false;
PyObject* g_ndarray = nullptr;         // numpy.ndarray, for the type test of coerced inputs
PyTypeObject* g_function_type = nullptr;

// What `np` and `pd` were bound to at import, and the attributes of theirs whose identity
// makes them genuine (genuine_numpy, genuine_pandas). Held for the life of the process.
struct Genuine {
    PyObject* numpy;
    PyObject* float64;
    PyObject* asarray;
    PyObject* empty;
    PyObject* zeros;
    PyObject* nan;
    PyObject* int64;
    PyObject* pandas;
    PyObject* Series;
    PyObject* DataFrame;
    PyObject* Index;
};
Genuine g_genuine{};

// The column labels of the light frames: a template Index made by pandas from the names,
// remade when pandas would now infer another dtype for them (see columns_index).
PyObject* g_columns_names = nullptr;   // the names, as a list
PyObject* g_columns_template = nullptr;
PyObject* g_columns_key = nullptr;     // what the template's dtype was inferred under

}  // namespace

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw PythonError{};
    return s;  // kept for the life of the process
}

static void init_names() {
    if (g_names_ready) return;  // a failure part-way leaves it false, so a retry redoes it
    names.np = intern("np");
    names.pd = intern("pd");
    names.Series = intern("Series");
    names.DataFrame = intern("DataFrame");
    names.values = intern("values");
    names.index = intern("index");
    names.name = intern("name");
    names.dtype = intern("dtype");
    names.copy = intern("copy");
    names.asarray = intern("asarray");
    names.astype = intern("astype");
    names.float64 = intern("float64");
    names.int64 = intern("int64");
    names.empty = intern("empty");
    names.zeros = intern("zeros");
    names.nan = intern("nan");
    names.kw_dtype = check(Py_BuildValue("(O)", names.dtype)).release();
    names.kw_name_copy = check(Py_BuildValue("(OO)", names.name, names.copy)).release();
    names.kw_index_name_copy = check(Py_BuildValue("(OOO)", names.index, names.name, names.copy)).release();
    names.kw_copy = check(Py_BuildValue("(O)", names.copy)).release();
    names.kw_index_copy = check(Py_BuildValue("(OO)", names.index, names.copy)).release();
    names.Index = intern("Index");
    names.columns = intern("columns");
    names.kind = intern("kind");
    names.T = intern("T");
    names.StringDtype = intern("StringDtype");
    names.kw_deep = check(Py_BuildValue("(O)", intern("deep"))).release();
    names.kw_na_value = check(Py_BuildValue("(O)", intern("na_value"))).release();
    names.kw_columns_copy = check(Py_BuildValue("(OO)", names.columns, names.copy)).release();
    names.kw_columns_index_copy =
        check(Py_BuildValue("(OOO)", names.columns, names.index, names.copy)).release();
    g_names_ready = true;
}

// ===========================================================================
// Argument binding.
//
// Positional arguments fill the leading parameters. With keywords present,
// each parameter after them is looked up by name in turn: a required one that
// is missing raises the count error with its own position as the given count;
// an optional one is looked up only while keywords remain. Keywords not yet
// used are then checked in the order given: a name of a parameter filled by
// position is a duplicate, any other name is unexpected.

static void raise_count(const FunctionDef& def, Py_ssize_t required, Py_ssize_t found) {
    const auto total = static_cast<Py_ssize_t>(def.params.size());
    Py_ssize_t expected;
    const char* qualifier;
    if (found < required) {
        expected = required;
        qualifier = "at least";
    } else {
        expected = total;
        qualifier = "at most";
    }
    if (required == total) qualifier = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, qualifier, expected, expected == 1 ? "" : "s", found);
}

static int same_name(PyObject* key, PyObject* name) {
    if (key == name) return 1;
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
    int cmp = PyUnicode_Compare(key, name);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0;
}

// The value passed under keyword `name`, nullptr when absent; throws on error.
static PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {  // interned names usually match by identity
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        int same = same_name(PyTuple_GET_ITEM(kwnames, k), name);
        if (same < 0) throw PythonError{};
        if (same) return kwvalues[k];
    }
    return nullptr;
}

void bind_arguments(const FunctionDef& def, PyObject* const* param_names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const auto total = static_cast<Py_ssize_t>(def.params.size());
    Py_ssize_t required = 0;
    while (required < total && !def.params[required].has_default) ++required;

    for (Py_ssize_t i = 0; i < total; ++i) bound[i] = nullptr;
    if (nargs > total || (kwnames == nullptr && nargs < required)) {
        raise_count(def, required, nargs);
        throw PythonError{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    if (kwnames == nullptr) return;

    PyObject* const* kwvalues = args + nargs;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = nargs; i < total; ++i) {
        if (i >= required && unused == 0) break;
        PyObject* value = find_keyword(kwnames, kwvalues, param_names[i]);
        if (value != nullptr) {
            bound[i] = value;
            --unused;
        } else if (i < required) {
            raise_count(def, required, i);
            throw PythonError{};
        }
    }
    if (unused == 0) return;

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool matched = false;
        for (Py_ssize_t i = nargs; i < total && !matched; ++i) {
            int same = same_name(key, param_names[i]);
            if (same < 0) throw PythonError{};
            if (same) {
                bound[i] = kwvalues[k];
                matched = true;
            }
        }
        if (matched) continue;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            int same = same_name(key, param_names[i]);
            if (same < 0) throw PythonError{};
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             def.name, key);
                throw PythonError{};
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
        throw PythonError{};
    }
}

// ===========================================================================
// The function object: a callable with the attributes of a Python function
// (__name__, __qualname__, __module__, __doc__, __defaults__, __signature__),
// called through vectorcall.

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;              // the defining module: its dict holds the globals
    PyObject* name;
    PyObject* defaults;            // tuple, or None when no parameter has a default
    PyObject* dict;
    PyObject* weaklist;
    PyObject* code;                // code object of the traceback entry
    PyObject* param_names[max_params];
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Adds a traceback entry naming the function to the exception being raised.
void add_traceback(FunctionObject* f) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f->code),
                                       PyModule_GetDict(f->module), nullptr);
    PyErr_Clear();  // a failure to build the entry must not replace the real error
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* result = nullptr;
    try {
        PyObject* bound[max_params];
        bind_arguments(*f->def, f->param_names, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        Call call(f->module, *f->def, bound);
        result = f->def->impl(call).release();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "indicator returned no result");
        }
    } catch (const PythonError&) {
        // A slot of an argument's type that the interpreter calls unchecked (nb_int, say)
        // can fail without setting an exception; report it as the interpreter does, for
        // the traceback entry needs an exception to attach to.
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", self);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in indicator");
    }
    if (result == nullptr) add_traceback(f);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    for (PyObject*& n : f->param_names) Py_CLEAR(n);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* default_value(const Param& p) {
    return p.kind == Kind::Float ? PyFloat_FromDouble(p.float_default)
                                 : PyLong_FromLongLong(p.int_default);
}

// inspect.Signature of the parameter table, built when asked for, so that
// help(), IPython and editors show the real parameters and defaults.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    try {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref kind = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref params = check(PyList_New(0));
        for (std::size_t i = 0; i < f->def->params.size(); ++i) {
            const Param& p = f->def->params[i];
            Ref args = check(PyTuple_Pack(2, f->param_names[i], kind.get()));
            Ref kwargs = check(PyDict_New());
            if (p.has_default) {
                Ref value = check(default_value(p));
                check_status(PyDict_SetItemString(kwargs.get(), "default", value.get()));
            }
            Ref param = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            check_status(PyList_Append(params.get(), param.get()));
        }
        Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        return PyObject_CallOneArg(signature.get(), params.get());
    } catch (const PythonError&) {
        return nullptr;
    }
}

// Like a built-in function, it does not bind: looked up through a class or an
// instance it is the function itself. Having __get__ makes it a routine for
// inspect, pydoc and stubtest.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", VI_T_PYSSIZET, offsetof(FunctionObject, vectorcall), VI_READONLY, nullptr},
    {"__dictoffset__", VI_T_PYSSIZET, offsetof(FunctionObject, dict), VI_READONLY, nullptr},
    {"__weaklistoffset__", VI_T_PYSSIZET, offsetof(FunctionObject, weaklist), VI_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vantrel.indicators.indicator_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref new_function(PyObject* module, const FunctionDef& def) {
    if (def.params.size() > static_cast<std::size_t>(max_params)) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        throw PythonError{};
    }
    if (g_function_type == nullptr) {
        g_function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
    }
    Ref self = check(PyType_GenericAlloc(g_function_type, 0));
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->module = Py_NewRef(module);
    f->name = intern(def.name);
    Py_INCREF(f->name);
    f->code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(def.file, def.name, def.line));
    if (f->code == nullptr) throw PythonError{};
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        f->param_names[i] = Py_NewRef(intern(def.params[i].name));
    }
    Ref defaults = check(PyList_New(0));
    for (const Param& p : def.params) {
        if (!p.has_default) continue;
        Ref value = check(default_value(p));
        check_status(PyList_Append(defaults.get(), value.get()));
    }
    f->defaults = PyList_GET_SIZE(defaults.get()) == 0 ? Py_NewRef(Py_None)
                                                       : check(PyList_AsTuple(defaults.get())).release();
    // __module__ and __doc__ live in the instance dict, as they do for Python functions.
    Ref dict = check(PyDict_New());
    Ref module_name = check(PyModule_GetNameObject(module));
    check_status(PyDict_SetItemString(dict.get(), "__module__", module_name.get()));
    Ref doc = def.doc ? check(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    check_status(PyDict_SetItemString(dict.get(), "__doc__", doc.get()));
    f->dict = dict.release();
    return self;
}

}  // namespace

// ===========================================================================
// Calls.

int to_int32(PyObject* o) {
    Ref converted;
    if (!PyLong_Check(o)) {
        // Only __int__ counts (a float truncates toward zero); __index__ alone does not.
        PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
        if (number == nullptr || number->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            throw PythonError{};
        }
        converted = check(number->nb_int(o));
        PyObject* r = converted.get();
        if (!PyLong_CheckExact(r)) {
            if (!PyLong_Check(r)) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
                throw PythonError{};
            }
            check_status(PyErr_WarnFormat(
                PyExc_DeprecationWarning, 1,
                "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                "strict subclass of int is deprecated, and may be removed in a future version of Python.",
                Py_TYPE(r)->tp_name));
        }
        o = r;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw PythonError{};
    }
    return static_cast<int>(v);
}

double to_double(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

int Call::int32(int i) const {
    PyObject* o = args_[i];
    return o == nullptr ? static_cast<int>(def_.params[i].int_default) : to_int32(o);
}

double Call::real(int i) const {
    PyObject* o = args_[i];
    return o == nullptr ? def_.params[i].float_default : to_double(o);
}

Ref Call::global(PyObject* name) const {
    PyObject* dict = PyModule_GetDict(module_);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    check_status(PyDict_GetItemRef(dict, name, &value));
    if (value != nullptr) return Ref::steal(value);
    check_status(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value));
    if (value != nullptr) return Ref::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PythonError{};
#endif
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PythonError{};
}

Ref Call::np_attr(PyObject* attr) const {
    Ref np = global(names.np);
    return check(PyObject_GetAttr(np.get(), attr));
}

double Call::np_nan() const {
    Ref nan = np_attr(names.nan);
    double v = PyFloat_AsDouble(nan.get());
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

Taken Call::take(std::span<const int> inputs) const {
    Taken taken;
    PyObject* first = args_[inputs[0]];
    Ref pd = global(names.pd);
    Ref series_type = check(PyObject_GetAttr(pd.get(), names.Series));
    int is_series = PyObject_IsInstance(first, series_type.get());
    check_status(is_series);
    if (is_series) {
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            taken.values[k] = check(PyObject_GetAttr(args_[inputs[k]], names.values));
        }
        taken.index = check(PyObject_GetAttr(first, names.index));
    } else {
        Ref np = global(names.np);
        Ref asarray = check(PyObject_GetAttr(np.get(), names.asarray));
        // NumPy's asarray returns an exact ndarray itself: the call can be left out.
        const bool skip = np.get() == g_genuine.numpy && asarray.get() == g_genuine.asarray;
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            PyObject* x = args_[inputs[k]];
            taken.values[k] = skip && Py_TYPE(x) == reinterpret_cast<PyTypeObject*>(g_ndarray)
                                  ? Ref::borrow(x)
                                  : check(PyObject_CallOneArg(asarray.get(), x));
        }
    }
    return taken;
}

Series Call::to_float64(PyObject* values, PyObject* float64) const {
    return as_series(check(PyObject_CallMethodOneArg(values, names.astype, float64)));
}

// In place or literal, for all values alike: a literal astype of one value may run code of
// the caller's (an object array's __float__, an astype of its own), which could write into
// another value already read in place; with all of them in place no such code runs before
// the passes.
Ref Call::convert(std::span<const Ref> values, std::span<Series> out) const {
    Ref np = global(names.np);
    Ref float64 = check(PyObject_GetAttr(np.get(), names.float64));
    if (genuine_numpy(np.get())) {
        std::size_t bound = 0;
        while (bound < values.size() && bind_in_place(values[bound].get(), out[bound])) ++bound;
        if (bound == values.size()) return float64;
        for (std::size_t k = 0; k < bound; ++k) out[k] = Series{};
    }
    for (std::size_t k = 0; k < values.size(); ++k) out[k] = to_float64(values[k].get(), float64.get());
    return float64;
}

bool Call::numpy_is_genuine() const {
    Ref np = global(names.np);
    return genuine_numpy(np.get());
}

bool Call::pandas_is_genuine() const {
    Ref pd = global(names.pd);
    return genuine_pandas(pd.get());
}

// Reads the module's own dict, so that the test runs no code: a genuine module has no
// attribute hooks for these names.
static bool attributes_are(PyObject* module, std::initializer_list<std::pair<PyObject*, PyObject*>> expected) {
    PyObject* dict = PyModule_GetDict(module);
    for (const auto& [name, object] : expected) {
        PyObject* value = PyDict_GetItemWithError(dict, name);  // borrowed
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        if (value != object) return false;
    }
    return true;
}

bool genuine_numpy(PyObject* np) {
    const Genuine& g = g_genuine;
    return np == g.numpy && np != nullptr &&
           attributes_are(np, {{names.float64, g.float64}, {names.asarray, g.asarray},
                               {names.empty, g.empty}, {names.zeros, g.zeros}, {names.nan, g.nan},
                               {names.int64, g.int64}});
}

bool is_pandas_series(PyObject* o) {
    return g_genuine.Series != nullptr && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(g_genuine.Series);
}

bool genuine_pandas(PyObject* pd) {
    const Genuine& g = g_genuine;
    return pd == g.pandas && pd != nullptr &&
           attributes_are(pd, {{names.DataFrame, g.DataFrame}, {names.Index, g.Index}});
}

// ===========================================================================
// Buffers.

static bool format_is(const char* format, char code) {
    if (format == nullptr) return code == 'B';
    if (*format == '@' || *format == '=' ||
        (*format == '<' && PY_LITTLE_ENDIAN) || (*format == '>' && PY_BIG_ENDIAN)) {
        ++format;
    }
    return format[0] == code && format[1] == '\0';
}

template <class T>
static bool format_matches(const char* format) {
    if constexpr (std::is_same_v<T, double>) {
        return format_is(format, 'd');
    } else {
        return format_is(format, 'q') || (sizeof(long) == 8 && format_is(format, 'l'));
    }
}

static void acquire(PyObject* array, Py_buffer& view, int flags, int ndim = 1) {
    check_status(PyObject_GetBuffer(array, &view, flags));
    if (view.ndim != ndim) {
        int got = view.ndim;
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, got);
        throw PythonError{};
    }
}

Series as_series(Ref array) {
    if (!PyObject_TypeCheck(array.get(), reinterpret_cast<PyTypeObject*>(g_ndarray))) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(array.get())->tp_name,
                     reinterpret_cast<PyTypeObject*>(g_ndarray)->tp_name);
        throw PythonError{};
    }
    Series s;
    acquire(array.get(), s.view_, PyBUF_STRIDES | PyBUF_FORMAT);
    if (s.view_.itemsize != sizeof(double) || !format_matches<double>(s.view_.format)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got '%s'",
                     s.view_.format ? s.view_.format : "B");
        PyBuffer_Release(&s.view_);
        throw PythonError{};
    }
    s.array_ = std::move(array);
    return s;
}

bool bind_in_place(PyObject* value, Series& out) {
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(g_ndarray)) return false;
    Py_buffer& view = out.view_;
    if (PyObject_GetBuffer(value, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // a dtype without a buffer format (datetime64, say): the literal step decides
        view = Py_buffer{};
        return false;
    }
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !format_matches<double>(view.format)) {
        PyBuffer_Release(&view);
        view = Py_buffer{};
        return false;
    }
    out.array_ = Ref::borrow(value);
    out.in_place_ = true;
    return true;
}

void Series::detach() {
    if (!in_place_) return;
    const Py_ssize_t n = Buffer::size();
    auto copy = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(n));
    const Raw<const double> source = raw();
    dispatch([&](auto from) {
        for (Py_ssize_t i = 0; i < n; ++i) copy[i] = from[i];
    }, source);
    release();
    view_ = Py_buffer{};
    array_ = Ref{};
    copy_ = std::move(copy);
    copy_size_ = n;
    in_place_ = false;
}

template <class T>
Output<T> Call::allocate(PyObject* allocator, Py_ssize_t length) const {
    Ref np = global(names.np);
    Ref function = check(PyObject_GetAttr(np.get(), allocator));
    Ref dtype = check(PyObject_GetAttr(np.get(), std::is_same_v<T, double> ? names.float64 : names.int64));
    Ref size = check(PyLong_FromSsize_t(length));
    PyObject* args[] = {size.get(), dtype.get()};
    Output<T> out;
    out.array_ = check(PyObject_Vectorcall(function.get(), args, 1, names.kw_dtype));
    acquire(out.array_.get(), out.view_, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT);
    if (out.view_.itemsize != sizeof(T) || !format_matches<T>(out.view_.format) ||
        out.view_.shape[0] < length) {
        PyErr_SetString(PyExc_ValueError, "the allocated output array does not fit the result");
        throw PythonError{};
    }
    return out;
}
template Output<double> Call::allocate<double>(PyObject*, Py_ssize_t) const;

Block Call::empty_block(Py_ssize_t rows, Py_ssize_t length) const {
    Ref shape = check(Py_BuildValue("(nn)", rows, length));
    PyObject* args[] = {shape.get(), g_genuine.float64};
    Block out;
    out.array_ = check(PyObject_Vectorcall(g_genuine.empty, args, 1, names.kw_dtype));
    acquire(out.array_.get(), out.view_, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT, 2);
    return out;
}
template Output<std::int64_t> Call::allocate<std::int64_t>(PyObject*, Py_ssize_t) const;

void require_length(const Series& series, const char* name, Py_ssize_t length, const char* reference) {
    if (series.size() < length) {
        PyErr_Format(PyExc_ValueError, "%s has %zd samples, fewer than the %zd of %s", name, series.size(),
                     length, reference);
        throw PythonError{};
    }
}

void require_same_length(const Call& call, const std::array<Series, 3>& series) {
    const Py_ssize_t n0 = series[0].size(), n1 = series[1].size(), n2 = series[2].size();
    if (n0 == n1 && n1 == n2) return;
    const auto& params = call.def().params;
    PyErr_Format(PyExc_ValueError, "%s, %s and %s differ in length: %zd, %zd, %zd", params[0].name,
                 params[1].name, params[2].name, n0, n1, n2);
    throw PythonError{};
}

std::array<Series, 3> coerce_high_low_close(const Call& call, Ref& index) {
    std::array<Series, 3> series = call.coerce<3>({0, 1, 2}, index);
    require_same_length(call, series);
    return series;
}

// ===========================================================================
// Result assembly.
//
// The output arrays are fresh and referenced by nothing else, so pandas may wrap
// them as they are: copy=False keeps pandas (which copies ndarrays by default
// from version 3 on) from duplicating every column of the result.

Ref Call::series(PyObject* array, PyObject* index, PyObject* name) const {
    Ref pd = global(names.pd);
    Ref series_type = check(PyObject_GetAttr(pd.get(), names.Series));
    if (index != nullptr) {
        PyObject* args[] = {array, index, name, Py_False};
        return check(PyObject_Vectorcall(series_type.get(), args, 1, names.kw_index_name_copy));
    }
    PyObject* args[] = {array, name, Py_False};
    return check(PyObject_Vectorcall(series_type.get(), args, 1, names.kw_name_copy));
}

static Ref frame_from_dict(PyObject* frame_type, PyObject* dict, PyObject* index, bool always_pass_index) {
    if (index != nullptr || always_pass_index) {
        PyObject* args[] = {dict, index ? index : Py_None, Py_False};
        return check(PyObject_Vectorcall(frame_type, args, 1, names.kw_index_copy));
    }
    PyObject* args[] = {dict, Py_False};
    return check(PyObject_Vectorcall(frame_type, args, 1, names.kw_copy));
}

Ref Call::frame(std::initializer_list<std::pair<PyObject*, PyObject*>> columns, PyObject* index,
                bool always_pass_index) const {
    Ref pd = global(names.pd);
    Ref frame_type = check(PyObject_GetAttr(pd.get(), names.DataFrame));
    Ref dict = check(PyDict_New());
    for (const auto& [name, array] : columns) check_status(PyDict_SetItem(dict.get(), name, array));
    return frame_from_dict(frame_type.get(), dict.get(), index, always_pass_index);
}

// The frame of float64 columns that pd.DataFrame({names[k]: column k, ...}) gives, built
// from their Block: pandas takes block.T as one block without copying, and the column
// labels come as a ready Index instead of being inferred from the names at every call.
//
// A fresh Index per result (a caller may set its name), shallow-copied from a template
// that pandas made from the names; the template's data are immutable (Arrow strings) or
// copied with it (object arrays). pandas infers a dtype for string labels by its options
// (object, or its str dtype with the string storage chosen), so the template is kept only
// while what the dtype was inferred under is unchanged (inference_key).

namespace {

// pandas' own test of its string inference: using_string_dtype (pandas 2.3 on), or
// using_pyarrow_string_dtype (2.1 and 2.2, whose inferred dtype is not told here), or none.
PyObject* g_string_test = nullptr;
bool g_string_test_tells_dtype = false;

// The template and what it was made under; swapped under the lock (no Python code runs
// while it is held), so that threads without an interpreter lock cannot tear it.
std::mutex g_columns_lock;

// What pandas would infer string labels under now: None (always object: a pandas without
// string inference), False (object), or the str dtype it would give. Null when that cannot
// be told cheaply: the template is then not used.
Ref inference_key(PyObject* pd) {
    if (g_string_test == nullptr) return Ref::borrow(Py_None);
    Ref using_strings = check(PyObject_CallNoArgs(g_string_test));
    int on = PyObject_IsTrue(using_strings.get());
    check_status(on);
    if (!on) return Ref::borrow(Py_False);
    if (!g_string_test_tells_dtype) return Ref{};
    Ref dtype_type = check(PyObject_GetAttr(pd, names.StringDtype));
    Ref nan = check(PyFloat_FromDouble(Py_NAN));
    PyObject* args[] = {nan.get()};
    PyObject* dtype = PyObject_Vectorcall(dtype_type.get(), args, 0, names.kw_na_value);
    if (dtype == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
        PyErr_Clear();
        return Ref{};
    }
    return Ref::steal(dtype);
}

Ref columns_index(PyObject* pd, std::span<PyObject* const> labels) {
    Ref key = inference_key(pd);
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t k = 0; k < labels.size(); ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), Py_NewRef(labels[k]));
    }
    if (!key) return check(PyObject_CallOneArg(g_genuine.Index, list.get()));
    Ref template_index, template_key, template_names;
    {
        std::lock_guard<std::mutex> hold(g_columns_lock);
        template_index = Ref::borrow(g_columns_template);
        template_key = Ref::borrow(g_columns_key);
        template_names = Ref::borrow(g_columns_names);
    }
    bool usable = bool(template_index);
    if (usable) {
        int same = PyObject_RichCompareBool(template_key.get(), key.get(), Py_EQ);
        check_status(same);
        usable = same == 1;
    }
    if (usable) {
        int same = PyObject_RichCompareBool(template_names.get(), list.get(), Py_EQ);
        check_status(same);
        usable = same == 1;
    }
    if (!usable) {
        template_index = check(PyObject_CallOneArg(g_genuine.Index, list.get()));
        PyObject* old[3];
        {
            std::lock_guard<std::mutex> hold(g_columns_lock);
            old[0] = std::exchange(g_columns_template, Py_NewRef(template_index.get()));
            old[1] = std::exchange(g_columns_key, key.release());
            old[2] = std::exchange(g_columns_names, list.release());
        }
        for (PyObject* o : old) Py_XDECREF(o);  // outside the lock: releasing may run code
    }
    PyObject* base = template_index.get();
    Ref dtype = check(PyObject_GetAttr(base, names.dtype));
    // Object labels are held in a writable object array: copy it with the Index.
    Ref kind = check(PyObject_GetAttr(dtype.get(), names.kind));
    const bool deep = PyUnicode_CompareWithASCIIString(kind.get(), "O") == 0;
    Ref copy = check(PyObject_GetAttr(base, names.copy));
    if (!deep) return check(PyObject_CallNoArgs(copy.get()));
    PyObject* args[] = {Py_True};
    return check(PyObject_Vectorcall(copy.get(), args, 0, names.kw_deep));
}

}  // namespace

Ref Call::frame(const Block& block, std::span<PyObject* const> column_names, PyObject* index) const {
    Ref pd = global(names.pd);
    Ref frame_type = check(PyObject_GetAttr(pd.get(), names.DataFrame));
    Ref columns = columns_index(pd.get(), column_names);
    Ref transposed = check(PyObject_GetAttr(block.object(), names.T));
    if (index != nullptr) {
        PyObject* args[] = {transposed.get(), columns.get(), index, Py_False};
        return check(PyObject_Vectorcall(frame_type.get(), args, 1, names.kw_columns_index_copy));
    }
    PyObject* args[] = {transposed.get(), columns.get(), Py_False};
    return check(PyObject_Vectorcall(frame_type.get(), args, 1, names.kw_columns_copy));
}

FrameColumns Call::frame_columns(std::size_t count, Py_ssize_t length, bool zeros) const {
    FrameColumns out;
    out.count_ = count;
    if (numpy_is_genuine() && pandas_is_genuine()) {
        out.block_ = empty_block(static_cast<Py_ssize_t>(count), length);
        out.as_block_ = true;
        return out;
    }
    for (std::size_t k = 0; k < count; ++k) out.separate_[k] = zeros ? this->zeros(length) : empty(length);
    return out;
}

Raw<double> FrameColumns::raw(std::size_t k) const noexcept {
    return as_block_ ? block_.row(static_cast<Py_ssize_t>(k)) : separate_[k].raw();
}

Ref Call::frame(const FrameColumns& columns, std::span<PyObject* const> column_names, PyObject* index,
                bool always_pass_index) const {
    if (columns.as_block_ && pandas_is_genuine()) {
        try {
            return frame(columns.block_, column_names, index);
        } catch (const PythonError&) {
            // pandas refused (an index of another length, say): the dictionary path below
            // raises what pd.DataFrame({...}) raises, or builds the frame it builds.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();
        }
    }
    Ref pd = global(names.pd);
    Ref frame_type = check(PyObject_GetAttr(pd.get(), names.DataFrame));
    Ref dict = check(PyDict_New());
    for (std::size_t k = 0; k < columns.count_; ++k) {
        Ref column = columns.as_block_
                         ? check(PySequence_GetItem(columns.block_.object(), static_cast<Py_ssize_t>(k)))
                         : Ref::borrow(columns.separate_[k].object());
        check_status(PyDict_SetItem(dict.get(), column_names[k], column.get()));
    }
    return frame_from_dict(frame_type.get(), dict.get(), index, always_pass_index);
}

// ===========================================================================
// Module lifecycle: one module object per process, in one interpreter.

static PyObject* module_create(PyObject* spec, PyModuleDef*) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t first = -1;
    if (!g_interpreter.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

static void capture_genuine(PyObject* numpy, PyObject* pandas) {
    Genuine g{};
    g.float64 = check(PyObject_GetAttr(numpy, names.float64)).release();
    g.asarray = check(PyObject_GetAttr(numpy, names.asarray)).release();
    g.empty = check(PyObject_GetAttr(numpy, names.empty)).release();
    g.zeros = check(PyObject_GetAttr(numpy, names.zeros)).release();
    g.nan = check(PyObject_GetAttr(numpy, names.nan)).release();
    g.int64 = check(PyObject_GetAttr(numpy, names.int64)).release();
    g.Series = check(PyObject_GetAttr(pandas, names.Series)).release();
    g.DataFrame = check(PyObject_GetAttr(pandas, names.DataFrame)).release();
    g.Index = check(PyObject_GetAttr(pandas, names.Index)).release();
    // pandas' test of its string inference (pandas 2.3 on); absent, the frames' labels are
    // inferred by pandas at every call unless pandas has no string inference at all.
    PyObject* config = PyImport_ImportModule("pandas._config");
    PyObject* test = nullptr;
    if (config != nullptr) {
        test = PyObject_GetAttrString(config, "using_string_dtype");
        g_string_test_tells_dtype = test != nullptr;
        if (test == nullptr) {
            PyErr_Clear();
            test = PyObject_GetAttrString(config, "using_pyarrow_string_dtype");
        }
        Py_DECREF(config);
    }
    if (test == nullptr) PyErr_Clear();
    g_string_test = test;
    g.numpy = Py_NewRef(numpy);
    g.pandas = Py_NewRef(pandas);
    g_genuine = g;
}

static int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (module == g_module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g_module_def->short_name);
        return -1;
    }
    try {
        init_names();
        Ref numpy = check(PyImport_ImportModule("numpy"));
        check_status(PyModule_AddObjectRef(module, "np", numpy.get()));
        Ref pandas = check(PyImport_ImportModule("pandas"));
        check_status(PyModule_AddObjectRef(module, "pd", pandas.get()));
        if (g_ndarray == nullptr) g_ndarray = check(PyObject_GetAttrString(numpy.get(), "ndarray")).release();
        if (g_genuine.numpy == nullptr) capture_genuine(numpy.get(), pandas.get());
        if (g_module_def->exec_hook != nullptr) check_status(g_module_def->exec_hook(module));
        if (g_module_def->function.impl != nullptr) {
            Ref function = new_function(module, g_module_def->function);
            check_status(PyModule_AddObjectRef(module, g_module_def->function.name, function.get()));
        }
    } catch (const PythonError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    // A failed execution leaves no module behind, so a later import starts afresh.
    g_module = Py_NewRef(module);
    return 0;
}

PyObject* ModuleDef::init() {
    g_module_def = this;
    int n = 0;
    slots[n++] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    slots[n++] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
#if PY_VERSION_HEX >= 0x030C0000
    // Sub-interpreters reach module_create, which refuses any but the first
    // interpreter with its own message.
    slots[n++] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Calls share nothing mutable: each works on its own copies and outputs.
    slots[n++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    slots[n] = {0, nullptr};
    def = {PyModuleDef_HEAD_INIT, short_name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
}

}  // namespace vi

// The cipherel module: class EncryptionImpl over the cipher core, the
// exception OpenSSLError, base64 through the interpreter's own module, and
// PKCS #5 padding.
#include <Python.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>

#include <openssl/crypto.h>

#include "py_encrypt.h"
#include "pyglue/args.h"
#include "pyglue/errors.h"
#include "pyglue/imports.h"
#include "pyglue/lengths.h"
#include "pyglue/module.h"
#include "pyglue/ref.h"
#include "pyglue/traceback.h"
#include "pyglue/type.h"

using pyglue::keep;
using pyglue::Ref;

namespace {

const char MODULE_NAME[] = "cipherel";

// Made at import and kept for the life of the process.
PyObject* cipherel_module;
PyObject* builtin_exception;
PyObject* builtin_chr;
PyObject* builtin_ord;
PyObject* encrypt_failed_args;
PyObject* decrypt_failed_args;
PyObject* key_gen_failed_args;
PyObject* key_derivation_failed_args;
PyObject* openssl_error_name;
PyObject* b64encode_name;
PyObject* b64decode_name;

PyObject* none_has_no_len()
{
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

// The name is looked up at every raise, so the module attribute may be replaced.
void raise_openssl_error(PyObject* args)
{
    Ref cls = Ref::steal(pyglue::get_global(cipherel_module, openssl_error_name));
    if (cls)
        pyglue::raise_call(cls.get(), args);
}

// ---- encrypt, decrypt ----

struct CipherMethod {
    const char* name;
    const char* names[2];  // the data argument, then EncryptionImpl's key_data
    py_direction direction;
    PyObject** failed_args;
    const char* impl_qualname;
    const char* cipher_qualname;
};

const CipherMethod encrypt_method = {
    "encrypt", {"plain_text", "key_data"}, py_direction::encrypt, &encrypt_failed_args,
    "cipherel.EncryptionImpl.encrypt", "cipherel.Cipher.encrypt"};
const CipherMethod decrypt_method = {
    "decrypt", {"cipher_text", "key_data"}, py_direction::decrypt, &decrypt_failed_args,
    "cipherel.EncryptionImpl.decrypt", "cipherel.Cipher.decrypt"};

// From this length up Cipher works with the interpreter lock released. Below
// it the AES work takes tens of microseconds at most: too little for other
// threads to gain, while taking the lock back can cost more than that.
const int RELEASE_LOCK_FROM = 64 * 1024;

// The data argument's length, refused (never cut to its low bits: a cut
// length would cipher a prefix) when it does not fit the core's int.
std::optional<int> text_length(const CipherMethod& method, PyObject* text)
{
    if (text == Py_None) {
        none_has_no_len();
        return std::nullopt;
    }
    std::optional<int> length = pyglue::to_int_length(PyBytes_GET_SIZE(text));
    if (!length)
        PyErr_Format(PyExc_OverflowError, "%s is too long for the cipher", method.names[0]);
    return length;
}

bool check_length(const CipherMethod& method, int length)
{
    if (py_cipher_length_ok(method.direction, length))
        return true;
    raise_openssl_error(*method.failed_args);
    return false;
}

// The core call from the bytes of `text` into those of `result`, its equal in length.
bool cipher_into_bytes(const CipherMethod& method, const py_cipher_key& key, PyObject* text,
                       int length, PyObject* result)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(text));
    unsigned char* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result));
    return py_cipher_into(method.direction, key, in, length, out);
}

// Neither interpreter stops a daemon thread before the process exits, so one
// can still be in an unlocked call when libcrypto (1.1.0 and later; 1.0.0
// frees nothing at exit) frees its state in its exit handler. Ours, which
// runs first, waits for such calls to end; a thread that meets it, going in
// or coming out, parks until the process ends: by then the interpreter it
// would take the lock of is gone too.
std::atomic<int> unlocked_calls{0};
std::atomic<bool> exiting{false};

void wait_for_unlocked_calls()
{
    exiting = true;
    while (unlocked_calls > 0)
        usleep(1000);
}

// A child of fork has none of its parent's other threads.
void forget_unlocked_calls() { unlocked_calls = 0; }

// Exit handlers run last registered first: libcrypto's is registered when it
// initialises, so it is made to now, if it has not already. (With no
// options asked for, the call returns at once without initialising.)
bool guard_exit()
{
    static bool guarded = false;
    if (guarded)
        return true;
#if OPENSSL_VERSION_NUMBER >= 0x10100000L
    if (!OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr)) {
        PyErr_SetString(PyExc_ImportError, "libcrypto cannot be initialised");
        return false;
    }
#endif
    if (std::atexit(wait_for_unlocked_calls) != 0 ||
        pthread_atfork(nullptr, nullptr, forget_unlocked_calls) != 0) {
        PyErr_SetString(PyExc_ImportError, "cannot register cipherel's exit handler");
        return false;
    }
    guarded = true;
    return true;
}

[[noreturn]] void park()
{
    for (;;)
        pause();
}

void enter_unlocked_call()
{
    ++unlocked_calls;
    if (exiting) {
        --unlocked_calls;
        park();
    }
}

void leave_unlocked_call()
{
    --unlocked_calls;
    if (exiting)
        park();
}

// cipher_into_bytes with the interpreter lock released. At exit Python 3 ends
// a thread that waits here to take the lock back with pthread_exit, whose
// unwinding runs the destructors of this frame and of every C++ caller's
// without the lock: none of them may hold an owning reference across this
// call, only raw pointers to objects someone else keeps alive. (A
// py_scoped_key may: it only wipes, with OPENSSL_cleanse.)
bool cipher_unlocked(const CipherMethod& method, const py_cipher_key& key, PyObject* text,
                     int length, PyObject* result)
{
    // A byte string never changes, but its holder might let go of it: the text
    // can come in a keyword dict that another thread clears meanwhile. A thread
    // ended in the call leaves this reference behind.
    Py_INCREF(text);
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    enter_unlocked_call();
    ok = cipher_into_bytes(method, key, text, length, result);
    leave_unlocked_call();
    Py_END_ALLOW_THREADS
    Ref held = Ref::steal(text);
    return ok;
}

// The text ciphered under `key`, written straight into a byte string of its final
// size; `length` has passed check_length. The caller's method object holds the
// key's owner.
PyObject* cipher_to_bytes(const CipherMethod& method, const py_cipher_key& key, PyObject* text,
                        int length, bool may_release_lock)
{
    // Raw until the core has run: see cipher_unlocked.
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, length);
    if (!raw)
        return nullptr;
    const bool ok = may_release_lock && length >= RELEASE_LOCK_FROM
                        ? cipher_unlocked(method, key, text, length, raw)
                        : cipher_into_bytes(method, key, text, length, raw);
    Ref result = Ref::steal(raw);
    if (!ok) {
        raise_openssl_error(*method.failed_args);
        return nullptr;
    }
    return result.release();
}

// Derives key and IV at every call, with the interpreter lock held throughout.
PyObject* call_core(const CipherMethod& method, PyObject* text, PyObject* key_data)
{
    std::optional<int> length = text_length(method, text);
    if (!length)
        return nullptr;
    const char* key_text = PyBytes_AsString(key_data);
    if (!key_text || !check_length(method, *length))
        return nullptr;
    py_scoped_key key;
    if (!py_derive_key(key_text, &key)) {
        raise_openssl_error(*method.failed_args);
        return nullptr;
    }
    return cipher_to_bytes(method, key, text, *length, false);
}

PyObject* run_cipher(const CipherMethod& method, PyObject* args, PyObject* kwds)
{
    PyObject* values[2];
    if (!pyglue::bind_args(method.name, args, kwds, method.names, 2, 2, values)) {
        PYGLUE_TRACE(method.impl_qualname);
        return nullptr;
    }
    if (!pyglue::arg_type_test(values[0], &PyBytes_Type, method.names[0]) ||
        !pyglue::arg_type_test(values[1], &PyBytes_Type, method.names[1]))
        return nullptr;
    PyObject* result = call_core(method, values[0], values[1]);
    if (!result)
        PYGLUE_TRACE(method.impl_qualname);
    return result;
}

PyObject* EncryptionImpl_encrypt(PyObject*, PyObject* args, PyObject* kwds)
{
    return run_cipher(encrypt_method, args, kwds);
}

PyObject* EncryptionImpl_decrypt(PyObject*, PyObject* args, PyObject* kwds)
{
    return run_cipher(decrypt_method, args, kwds);
}

// ---- encode, decode ----

PyObject* call_base64(PyObject* name, const char* qualname, PyObject* input_text)
{
    if (!pyglue::arg_type_test(input_text, &PyBytes_Type, "input_text"))
        return nullptr;
    Ref func = Ref::steal(pyglue::get_global(cipherel_module, name));
    PyObject* result = func ? PyObject_CallFunctionObjArgs(func.get(), input_text, nullptr) : nullptr;
    if (!result)
        PYGLUE_TRACE(qualname);
    return result;
}

PyObject* EncryptionImpl_encode(PyObject*, PyObject* input_text)
{
    return call_base64(b64encode_name, "cipherel.EncryptionImpl.encode", input_text);
}

PyObject* EncryptionImpl_decode(PyObject*, PyObject* input_text)
{
    return call_base64(b64decode_name, "cipherel.EncryptionImpl.decode", input_text);
}

// ---- key_gen ----

PyObject* EncryptionImpl_key_gen(PyObject*, PyObject*)
{
    py_encrypt_buffer key(py_key_gen());
    PyObject* result = nullptr;
    if (!key)
        raise_openssl_error(key_gen_failed_args);
    else
        result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key.get()), KEY_SIZE);
    if (!result)
        PYGLUE_TRACE("cipherel.EncryptionImpl.key_gen");
    return result;
}

// ---- pad, unpad ----

const char PAD_QUALNAME[] = "cipherel.EncryptionImpl.pad";
const char UNPAD_QUALNAME[] = "cipherel.EncryptionImpl.unpad";

// An int or long as it is; anything else through its type's int conversion,
// else its long conversion.
Ref as_integer(PyObject* obj)
{
    if (pyglue::int_check(obj))
        return Ref::borrow(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    const char* kind;
    Ref result;
    if (number && number->nb_int) {
        kind = "int";
        result = Ref::steal(number->nb_int(obj));
    } else if (number && pyglue::long_slot(number)) {
        kind = "long";
        result = Ref::steal(pyglue::long_slot(number)(obj));
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    if (result && !pyglue::int_check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__%s__ returned non-%s (type %.200s)", kind, kind,
                     Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    return result;
}

bool block_size_arg(PyObject* obj, int* block_size)
{
    Ref number = as_integer(obj);
    if (!number)
        return false;
    // Any value beyond a C long is beyond an int too.
    long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        value = LONG_MAX;
    }
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *block_size = static_cast<int>(value);
    return true;
}

PyObject* pad(PyObject* value_data, int block_size)
{
    if (value_data == Py_None)
        return none_has_no_len();
    if (block_size == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return nullptr;
    }
    // Floored modulo, as the interpreter's %: a negative block size gives a
    // negative pad length, which chr refuses.
    long long remainder = PyBytes_GET_SIZE(value_data) % block_size;
    if (remainder != 0 && (remainder < 0) != (block_size < 0))
        remainder += block_size;
    const int pad_len = static_cast<int>(block_size - remainder);
    Ref pad_char = Ref::steal(pyglue::byte_chr(builtin_chr, pad_len));
    if (!pad_char)
        return nullptr;
    Ref padding = Ref::steal(PySequence_Repeat(pad_char.get(), pad_len));
    Ref parts = Ref::steal(padding ? PyList_New(2) : nullptr);
    Ref empty = Ref::steal(PyBytes_FromStringAndSize("", 0));
    if (!parts || !empty)
        return nullptr;
    Py_INCREF(value_data);
    PyList_SET_ITEM(parts.get(), 0, value_data);
    PyList_SET_ITEM(parts.get(), 1, padding.release());
    return _PyBytes_Join(empty.get(), parts.get());
}

PyObject* EncryptionImpl_pad(PyObject*, PyObject* args, PyObject* kwds)
{
    static const char* const names[] = {"value_data", "block_size"};
    PyObject* values[2];
    int block_size = 16;
    if (!pyglue::bind_args("pad", args, kwds, names, 1, 2, values) ||
        (values[1] && !block_size_arg(values[1], &block_size))) {
        PYGLUE_TRACE(PAD_QUALNAME);
        return nullptr;
    }
    if (!pyglue::arg_type_test(values[0], &PyBytes_Type, "value_data"))
        return nullptr;
    PyObject* result = pad(values[0], block_size);
    if (!result)
        PYGLUE_TRACE(PAD_QUALNAME);
    return result;
}

// Cuts as many bytes as the last one says, by the interpreter's slicing
// rules; nothing else is checked.
PyObject* unpad(PyObject* value_data)
{
    Ref last_index = Ref::steal(pyglue::int_from_long(-1));
    Ref last = Ref::steal(last_index ? PyObject_GetItem(value_data, last_index.get()) : nullptr);
    Ref code = Ref::steal(last ? pyglue::byte_ord(builtin_ord, last.get()) : nullptr);
    if (!code)
        return nullptr;
    long cut = PyLong_AsLong(code.get());
    if (cut == -1 && PyErr_Occurred())
        return nullptr;
    return PySequence_GetSlice(value_data, 0, -cut);
}

PyObject* EncryptionImpl_unpad(PyObject*, PyObject* value_data)
{
    if (!pyglue::arg_type_test(value_data, &PyBytes_Type, "value_data"))
        return nullptr;
    PyObject* result = unpad(value_data);
    if (!result)
        PYGLUE_TRACE(UNPAD_QUALNAME);
    return result;
}

// ---- the class ----

const char encrypt_doc[] =
    "Encrypt the given plain text using the key.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``plain_text``: The bytes representation of the String.\n"
    "            - ``key_data``: The bytes representation of the key.\n"
    "\n"
    "        :Exceptions:\n"
    "            - OpenSSL error if the underlying C API does not\n"
    "              return back the results as expected.\n"
    "\n"
    "        :Returns:\n"
    "            - The encrypted text in bytes.\n"
    "        ";

const char decrypt_doc[] =
    "Decrypt the given cipher text using the key.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``cipher_text``: The bytes representation of the String.\n"
    "            - ``key_data``: The bytes representation of the key.\n"
    "\n"
    "        :Exceptions:\n"
    "            - OpenSSL error if the underlying C API does not\n"
    "              return back the results as expected.\n"
    "\n"
    "        :Returns:\n"
    "            - The decrypted text in bytes.\n"
    "        ";

const char encode_doc[] =
    "Encode the given input text using the base 64.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``input_text``: The input data in bytes.\n"
    "\n"
    "        :Returns:\n"
    "            - The encoded text in bytes.\n"
    "        ";

const char decode_doc[] =
    "Decode the given input text using the base 64.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``input_text``: The input data in bytes.\n"
    "\n"
    "        :Returns:\n"
    "            - The decoded text in bytes.\n"
    "        ";

const char key_gen_doc[] =
    "Generate a 256-bit key.\n"
    "\n"
    "        :Exceptions:\n"
    "            - OpenSSL error if the underlying C API does not\n"
    "              return back the results as expected.\n"
    "\n"
    "        :Returns:\n"
    "            - The key data in bytes.\n"
    "        ";

const char pad_doc[] =
    "Pad to the given block size with PKCS #5 padding\n"
    "\n"
    "        :Parameters:\n"
    "            - ``value_data``: The input data in bytes.\n"
    "\n"
    "        :Returns:\n"
    "            - The padded text in bytes.\n"
    "        ";

const char unpad_doc[] =
    "Remove the PKCS #5 padding.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``value_data``: The input data in bytes.\n"
    "\n"
    "        :Returns:\n"
    "            - The unpadded text in bytes.\n"
    "        ";

const char EncryptionImpl_doc[] =
    "This class is a wrapper to the OPENSSL C API.To use it in the \n"
    "    python code, simple instantiate it like a regular python class. The \n"
    "    method could be called from it.";

PyMethodDef EncryptionImpl_methods[] = {
    {"encrypt", pyglue::kw_method(EncryptionImpl_encrypt), METH_VARARGS | METH_KEYWORDS,
     encrypt_doc},
    {"decrypt", pyglue::kw_method(EncryptionImpl_decrypt), METH_VARARGS | METH_KEYWORDS,
     decrypt_doc},
    {"encode", EncryptionImpl_encode, METH_O, encode_doc},
    {"decode", EncryptionImpl_decode, METH_O, decode_doc},
    {"key_gen", EncryptionImpl_key_gen, METH_NOARGS, key_gen_doc},
    {"pad", pyglue::kw_method(EncryptionImpl_pad), METH_VARARGS | METH_KEYWORDS, pad_doc},
    {"unpad", EncryptionImpl_unpad, METH_O, unpad_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Instances carry nothing beyond the object header and take no part in
// cyclic garbage collection; construction ignores its arguments.
PyTypeObject EncryptionImpl_Type = pyglue::make_type({
    "cipherel.EncryptionImpl",              // name
    sizeof(PyObject),                       // basicsize
    Py_TPFLAGS_BASETYPE,                    // extra_flags
    EncryptionImpl_doc,                     // doc
    PyType_GenericNew,                      // new_func
    nullptr,                                // dealloc
    EncryptionImpl_methods,                 // methods
});

// ---- Cipher ----

// The key and IV are set at construction and only read after it, so any
// number of threads may use one object at once.
struct CipherObject {
    PyObject_HEAD
    py_cipher_key key;
};

CipherObject* as_cipher(PyObject* self)
{
    return reinterpret_cast<CipherObject*>(self);
}

const char CIPHER_NEW_QUALNAME[] = "cipherel.Cipher.__new__";

Ref new_cipher(PyTypeObject* type, PyObject* key_data)
{
    const char* key_text = PyBytes_AsString(key_data);
    if (!key_text)
        return Ref();
    py_scoped_key key;
    if (!py_derive_key(key_text, &key)) {
        raise_openssl_error(key_derivation_failed_args);
        return Ref();
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (self)
        as_cipher(self.get())->key = key;
    return self;
}

PyObject* Cipher_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    static const char* const names[] = {"key_data"};
    PyObject* key_data;
    if (!pyglue::bind_args("Cipher", args, kwds, names, 1, 1, &key_data)) {
        PYGLUE_TRACE(CIPHER_NEW_QUALNAME);
        return nullptr;
    }
    if (!pyglue::arg_type_test(key_data, &PyBytes_Type, "key_data"))
        return nullptr;
    Ref self = new_cipher(type, key_data);
    if (!self)
        PYGLUE_TRACE(CIPHER_NEW_QUALNAME);
    return self.release();
}

void Cipher_dealloc(PyObject* self)
{
    OPENSSL_cleanse(&as_cipher(self)->key, sizeof(py_cipher_key));
    Py_TYPE(self)->tp_free(self);
}

// Holds no owning reference: a caller of cipher_unlocked.
PyObject* cipher_call(const CipherMethod& method, PyObject* self, PyObject* args, PyObject* kwds)
{
    PyObject* text;
    if (!pyglue::bind_args(method.name, args, kwds, method.names, 1, 1, &text)) {
        PYGLUE_TRACE(method.cipher_qualname);
        return nullptr;
    }
    if (!pyglue::arg_type_test(text, &PyBytes_Type, method.names[0]))
        return nullptr;
    std::optional<int> length = text_length(method, text);
    PyObject* result = nullptr;
    if (length && check_length(method, *length))
        result = cipher_to_bytes(method, as_cipher(self)->key, text, *length, true);
    if (!result)
        PYGLUE_TRACE(method.cipher_qualname);
    return result;
}

PyObject* Cipher_encrypt(PyObject* self, PyObject* args, PyObject* kwds)
{
    return cipher_call(encrypt_method, self, args, kwds);
}

PyObject* Cipher_decrypt(PyObject* self, PyObject* args, PyObject* kwds)
{
    return cipher_call(decrypt_method, self, args, kwds);
}

// Pickles and copies are refused: a pickle would have to carry the key, and
// a copy adds nothing to an object that never changes.
PyObject* Cipher_refuse_pickle(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_TypeError, "can't pickle Cipher objects");
    return nullptr;
}

PyObject* Cipher_refuse_copy(PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_TypeError, "can't copy Cipher objects");
    return nullptr;
}

const char cipher_encrypt_doc[] =
    "Encrypt the given plain text under the object's key.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``plain_text``: The bytes representation of the String.\n"
    "\n"
    "        :Exceptions:\n"
    "            - OpenSSL error if the underlying C API does not\n"
    "              return back the results as expected.\n"
    "\n"
    "        :Returns:\n"
    "            - The encrypted text in bytes.\n"
    "        ";

const char cipher_decrypt_doc[] =
    "Decrypt the given cipher text under the object's key.\n"
    "\n"
    "        :Parameters:\n"
    "            - ``cipher_text``: The bytes representation of the String.\n"
    "\n"
    "        :Exceptions:\n"
    "            - OpenSSL error if the underlying C API does not\n"
    "              return back the results as expected.\n"
    "\n"
    "        :Returns:\n"
    "            - The decrypted text in bytes.\n"
    "        ";

const char refused_doc[] = "Refused with TypeError: the key stays inside the object.";

const char Cipher_doc[] =
    "Cipher(key_data)\n"
    "\n"
    "AES-256-CBC under one key text, derived once at construction. encrypt and\n"
    "decrypt give the same bytes as EncryptionImpl's under the same key text.";

PyMethodDef Cipher_methods[] = {
    {"encrypt", pyglue::kw_method(Cipher_encrypt), METH_VARARGS | METH_KEYWORDS,
     cipher_encrypt_doc},
    {"decrypt", pyglue::kw_method(Cipher_decrypt), METH_VARARGS | METH_KEYWORDS,
     cipher_decrypt_doc},
    {"__reduce__", Cipher_refuse_pickle, METH_NOARGS, refused_doc},
    {"__reduce_ex__", Cipher_refuse_pickle, METH_O, refused_doc},
    {"__copy__", Cipher_refuse_copy, METH_NOARGS, refused_doc},
    {"__deepcopy__", Cipher_refuse_copy, METH_O, refused_doc},
    {nullptr, nullptr, 0, nullptr},
};

// Not a base type: a subclass could add state or undo the refusals. No
// attribute or repr shows the key; no reference cycles are possible.
PyTypeObject Cipher_Type = pyglue::make_type({
    "cipherel.Cipher",                      // name
    sizeof(CipherObject),                   // basicsize
    0,                                      // extra_flags
    Cipher_doc,                             // doc
    Cipher_new,                             // new_func
    Cipher_dealloc,                         // dealloc
    Cipher_methods,                         // methods
});

// ---- import ----

const char module_doc[] =
    "AES-256-CBC encryption for the service code.\n"
    "\n"
    "EncryptionImpl encrypts and decrypts under a key text, generates keys,\n"
    "encodes in base 64 and adds or removes PKCS #5 padding; Cipher derives\n"
    "the key of one key text once and encrypts and decrypts under it. A\n"
    "failure of the OpenSSL layer raises OpenSSLError.";

const char OpenSSLError_doc[] =
    "The wrapping class raises this exception to the calling script code when\n"
    "    it gets a null result from the OpenSSL layer.";

// As a class statement does it: the dictionary's __metaclass__, else the
// class of the first base, else the default (on 2 the classic class type).
PyObject* make_class(PyObject* name, PyObject* bases, PyObject* dict)
{
    Ref metaclass = Ref::borrow(PyDict_GetItemString(dict, "__metaclass__"));
    if (!metaclass && PyTuple_GET_SIZE(bases) > 0) {
        PyObject* base = PyTuple_GET_ITEM(bases, 0);
        metaclass = Ref::steal(PyObject_GetAttrString(base, "__class__"));
        if (!metaclass) {
            PyErr_Clear();
            metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
        }
    }
    if (!metaclass)
        metaclass = Ref::borrow(pyglue::default_metaclass());
    return PyObject_CallFunctionObjArgs(metaclass.get(), name, bases, dict, nullptr);
}

bool add_openssl_error(PyObject* module)
{
    Ref bases = Ref::steal(PyTuple_Pack(1, builtin_exception));
    Ref dict = Ref::steal(PyDict_New());
    Ref doc = Ref::steal(pyglue::text_from_string(OpenSSLError_doc));
    Ref module_name = Ref::steal(pyglue::text_from_string(MODULE_NAME));
    if (!bases || !dict || !doc || !module_name ||
        PyDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__module__", module_name.get()) < 0)
        return false;
    Ref cls = Ref::steal(make_class(openssl_error_name, bases.get(), dict.get()));
    return cls && PyObject_SetAttr(module, openssl_error_name, cls.get()) == 0;
}

// from base64 import b64decode, b64encode
bool import_base64(PyObject* module)
{
    Ref base64 = Ref::steal(PyImport_ImportModule("base64"));
    if (!base64)
        return false;
    for (PyObject* name : {b64decode_name, b64encode_name}) {
        Ref func = Ref::steal(PyObject_GetAttr(base64.get(), name));
        if (!func) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_Format(PyExc_ImportError, "cannot import name %.230s",
                             pyglue::text_as_utf8(name));
            return false;
        }
        if (PyObject_SetAttr(module, name, func.get()) < 0)
            return false;
    }
    return true;
}

bool init_module(PyObject* module)
{
    if (!guard_exit())
        return false;
    PyObject* builtins = PyImport_AddModule(pyglue::builtins_module);
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return false;
    if (!keep(&builtin_exception, pyglue::get_builtin("Exception")) ||
        !keep(&builtin_chr, pyglue::get_builtin("chr")) ||
        !keep(&builtin_ord, pyglue::get_builtin("ord")))
        return false;
    if (!keep(&encrypt_failed_args, Py_BuildValue("(s)", "Encryption Failed")) ||
        !keep(&decrypt_failed_args, Py_BuildValue("(s)", "Decryption Failed")) ||
        !keep(&key_gen_failed_args, Py_BuildValue("(s)", "Key Generation Failed")) ||
        !keep(&key_derivation_failed_args, Py_BuildValue("(s)", "Key Derivation Failed")) ||
        !keep(&openssl_error_name, pyglue::text_intern("OpenSSLError")) ||
        !keep(&b64encode_name, pyglue::text_intern("b64encode")) ||
        !keep(&b64decode_name, pyglue::text_intern("b64decode")))
        return false;
    if (PyType_Ready(&EncryptionImpl_Type) < 0 ||
        PyObject_SetAttrString(module, "EncryptionImpl",
                               reinterpret_cast<PyObject*>(&EncryptionImpl_Type)) < 0 ||
        PyType_Ready(&Cipher_Type) < 0 ||
        PyObject_SetAttrString(module, "Cipher", reinterpret_cast<PyObject*>(&Cipher_Type)) < 0)
        return false;
    if (!import_base64(module) || !add_openssl_error(module))
        return false;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyObject_SetAttrString(module, "__test__", test.get()) < 0)
        return false;
    // Kept for the life of the process: the methods look their globals up in
    // it even after someone drops it from sys.modules.
    Py_INCREF(module);
    return keep(&cipherel_module, module);
}

pyglue::ModuleDef module_def(MODULE_NAME, module_doc, nullptr);

}  // namespace

PYGLUE_MODULE(cipherel, module_def, init_module)

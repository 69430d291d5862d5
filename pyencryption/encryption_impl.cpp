#include <Python.h>

PyMODINIT_FUNC initcipherel(void)
{
    Py_InitModule3("cipherel", nullptr, nullptr);
}

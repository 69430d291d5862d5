#include <Python.h>

PyMODINIT_FUNC init_addrix(void)
{
    Py_InitModule3("_addrix", nullptr, nullptr);
}

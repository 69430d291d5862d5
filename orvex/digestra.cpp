#include <Python.h>

PyMODINIT_FUNC initdigestra(void)
{
    Py_InitModule3("digestra", nullptr, nullptr);
}

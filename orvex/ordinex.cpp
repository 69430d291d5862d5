#include <Python.h>

PyMODINIT_FUNC initordinex(void)
{
    Py_InitModule3("ordinex", nullptr, nullptr);
}

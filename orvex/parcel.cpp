#include <Python.h>

PyMODINIT_FUNC initparcel(void)
{
    Py_InitModule3("parcel", nullptr, nullptr);
}

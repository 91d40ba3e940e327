/* Floors for the host round trips of bench/run: the least a Python host can
 * pay for each crossing, built by the runner for PyPy and CPython alike.
 *   noop()            a Python -> C call with no arguments
 *   call(obj)         a Python -> C call that calls obj.call() back
 *   get_set(obj, n)   n rounds of obj.set(obj.get() + 1) from C, the number
 *                     converted to a C double and back
 * Method names are interned once, as the fastest host adapter would. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *name_call, *name_get, *name_set;

static PyObject *noop(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  Py_RETURN_NONE;
}

static PyObject *call(PyObject *self, PyObject *obj) {
  (void)self;
  return PyObject_CallMethodNoArgs(obj, name_call);
}

static PyObject *get_set(PyObject *self, PyObject *args) {
  (void)self;
  PyObject *obj;
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "On", &obj, &n)) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    /* $p = $p + 1: the number crosses to C and back, as in any host. */
    PyObject *value = PyObject_CallMethodNoArgs(obj, name_get);
    if (!value) return NULL;
    double number = PyFloat_AsDouble(value);
    Py_DECREF(value);
    if (number == -1.0 && PyErr_Occurred()) return NULL;
    PyObject *next = PyFloat_FromDouble(number + 1);
    if (!next) return NULL;
    PyObject *done = PyObject_CallMethodOneArg(obj, name_set, next);
    Py_DECREF(next);
    if (!done) return NULL;
    Py_DECREF(done);
  }
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"noop", noop, METH_NOARGS, NULL},
    {"call", call, METH_O, NULL},
    {"get_set", get_set, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "zofloor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_zofloor(void) {
  name_call = PyUnicode_InternFromString("call");
  name_get = PyUnicode_InternFromString("get");
  name_set = PyUnicode_InternFromString("set");
  return PyModule_Create(&module);
}

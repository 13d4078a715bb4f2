#include "module/detail/Values.hpp"

#include <limits>

#include <boost/numeric/conversion/converter_policies.hpp>
#include <boost/python/errors.hpp>
#include <boost/python/extract.hpp>
#include <boost/python/type_id.hpp>

namespace Tarv {
namespace Module {
namespace detail {

namespace bp = boost::python;

void RaiseTypeError(const char* expected, PyObject* object) {
    PyErr_Format(PyExc_TypeError,
                 "No registered converter was able to produce a C++ rvalue of type %s from this Python object of "
                 "type %s",
                 expected, Py_TYPE(object)->tp_name);
    bp::throw_error_already_set();
    throw;  // not reached
}

std::string TextFromPython(const bp::object& value) {
    PyObject* object = value.ptr();
    if (PyBytes_Check(object)) return std::string(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
    if (PyUnicode_Check(object)) {
        bp::handle<> encoded(PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape"));
        return std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
    }
    RaiseTypeError(bp::type_id<std::string>().name(), object);
}

bool BoolFromPython(const bp::object& value) {
    PyObject* object = value.ptr();
    if (!PyLong_Check(object)) RaiseTypeError("bool", object);  // bool is an int in Python
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) bp::throw_error_already_set();
    return truth != 0;
}

int IntFromPython(const bp::object& value) {
    PyObject* object = value.ptr();
    if (!PyLong_Check(object)) RaiseTypeError("int", object);
    // The binding library's numeric conversion errors, also for ints beyond
    // 64 bits, so that every out-of-range value fails alike.
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow > 0 || number > std::numeric_limits<int>::max()) throw boost::numeric::positive_overflow();
    if (overflow < 0 || number < std::numeric_limits<int>::min()) throw boost::numeric::negative_overflow();
    return static_cast<int>(number);
}

bp::object TextToPython(const std::string& text) {
    return bp::object(bp::handle<>(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                        "surrogateescape")));
}

bp::object BytesToPython(const std::string& bytes) {
    return bp::object(
        bp::handle<>(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

}  // namespace detail
}  // namespace Module
}  // namespace Tarv

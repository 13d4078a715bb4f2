// Conversions of single values between Python objects and native values.
#pragma once

#include <string>

#include <boost/python/object.hpp>

namespace Tarv {
namespace Module {
namespace detail {

// Raises TypeError in the binding library's words: no converter could produce
// `expected` from an object of the given type.
[[noreturn]] void RaiseTypeError(const char* expected, PyObject* object);

// str (encoded as UTF-8, lone surrogates restored by surrogateescape) or
// bytes; anything else is a TypeError.
std::string TextFromPython(const boost::python::object& value);

// bool or int (its truth value); anything else is a TypeError.
bool BoolFromPython(const boost::python::object& value);

// int within the 32-bit signed range (out of range: the binding library's
// numeric conversion error); anything else is a TypeError.
int IntFromPython(const boost::python::object& value);

// str decoded from UTF-8 with surrogateescape: every byte survives.
boost::python::object TextToPython(const std::string& text);
boost::python::object BytesToPython(const std::string& bytes);

template <class T>
T FromPython(const boost::python::object& value);
template <>
inline bool FromPython<bool>(const boost::python::object& value) { return BoolFromPython(value); }
template <>
inline int FromPython<int>(const boost::python::object& value) { return IntFromPython(value); }
template <>
inline std::string FromPython<std::string>(const boost::python::object& value) { return TextFromPython(value); }

inline boost::python::object ToPython(bool value) { return boost::python::object(value); }
inline boost::python::object ToPython(int value) { return boost::python::object(value); }
inline boost::python::object ToPython(const std::string& value) { return TextToPython(value); }

}  // namespace detail
}  // namespace Module
}  // namespace Tarv

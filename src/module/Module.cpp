#include "module/Module.hpp"

#include <cstring>
#include <stdexcept>

#include <boost/python.hpp>

#include "browser/Records.hpp"
#include "browser/TimeOutException.hpp"
#include "kernel/Facade.hpp"
#include "module/OptionConversion.hpp"
#include "module/detail/Values.hpp"

namespace bp = boost::python;
using Tarv::Browser::Result;
using Tarv::Module::detail::BytesToPython;
using Tarv::Module::detail::TextFromPython;
using Tarv::Module::detail::TextToPython;

namespace {

// Releases the interpreter lock for its lifetime; re-acquires it on the way
// out, also when an error leaves, before the error reaches the interpreter.
class ReleaseInterpreterLock {
public:
    ReleaseInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleaseInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleaseInterpreterLock(const ReleaseInterpreterLock&) = delete;
    ReleaseInterpreterLock& operator=(const ReleaseInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Text of a Result argument: str or bytes, up to its first NUL. None stands
// for no text and is an error.
std::string ResultText(const char* argument, const bp::object& value) {
    if (value.is_none()) throw std::invalid_argument(std::string("Result: ") + argument + " is None");
    const std::string text = TextFromPython(value);
    return std::string(text.c_str());
}

boost::shared_ptr<Result> MakeResult(const bp::object& url, const bp::object& lastModified, const bp::object& src,
                                     const bp::object& snapshot, unsigned long snapshotSize) {
    const std::string u = ResultText("_url", url);
    const std::string lm = ResultText("_lastModified", lastModified);
    const std::string s = ResultText("_src", src);
    std::string bytes;
    if (snapshot.is_none()) {
        if (snapshotSize != 0) throw std::invalid_argument("Result: _snapshot is None");
    } else {
        bytes = TextFromPython(snapshot);
    }
    if (snapshotSize > bytes.size()) {
        PyErr_Format(PyExc_ValueError, "Result: _snapshotSize %lu exceeds the %zu bytes of _snapshot", snapshotSize,
                     bytes.size());
        bp::throw_error_already_set();
    }
    return boost::shared_ptr<Result>(new Result(u.c_str(), lm.c_str(), s.c_str(), bytes.data(), snapshotSize));
}

bp::object ResultUrl(const Result& r) { return TextToPython(r.url); }
bp::object ResultLastModified(const Result& r) { return TextToPython(r.lastModified); }
bp::object ResultSrc(const Result& r) { return TextToPython(r.src); }
bp::object ResultSnapshot(const Result& r) { return BytesToPython(r.snapshot); }

}  // namespace

// The ticket as a str (its text up to the first NUL).
struct StringPointerToPyString {
    static PyObject* convert(const boost::shared_ptr<std::string>& ticket) {
        const char* text = ticket ? ticket->c_str() : "";
        return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "surrogateescape");
    }
};

boost::shared_ptr<std::string> PushWrap(const bp::object& url, bool wait, unsigned long pid,
                                        const bp::dict& options) {
    const std::string nativeUrl = TextFromPython(url);
    Tarv::Browser::RequestOptions map;
    Tarv::Module::ForEach(options, Tarv::Module::TransformToMap{map});
    ReleaseInterpreterLock unlocked;
    return Push(nativeUrl, wait, pid, map);
}

boost::shared_ptr<Result> PopWrap(const bp::object& url, const bp::object& ticket) {
    const std::string nativeUrl = TextFromPython(url);
    const std::string nativeTicket = TextFromPython(ticket);
    ReleaseInterpreterLock unlocked;
    return Pop(nativeUrl, nativeTicket);
}

bool ConfigLoggerWrap(const bp::object& name, const bp::object& level, const bp::object& file) {
    const std::string n = TextFromPython(name), l = TextFromPython(level), f = TextFromPython(file);
    ReleaseInterpreterLock unlocked;
    return ConfigLogger(n, l, f);
}

void translateTimeOut(const Tarv::Browser::TimeOutException& e) { PyErr_SetString(PyExc_RuntimeError, e.what()); }

void translateEx(const std::exception& e) { PyErr_SetString(PyExc_RuntimeError, e.what()); }

namespace {

// The binding library's converter registry is one per process, keyed by C++
// type: when the other deliverable is already loaded, its registrations for
// these same types serve this module too, and registering them again would
// only warn. The found registration, or null.
const bp::converter::registration* Registered(bp::type_info type) {
    const bp::converter::registration* found = bp::converter::registry::query(type);
    return found && (found->m_class_object || found->m_to_python) ? found : nullptr;
}

void RegisterResult() {
    if (const bp::converter::registration* known = Registered(bp::type_id<Result>())) {
        bp::scope().attr("Result") = bp::object(bp::handle<>(bp::borrowed(known->get_class_object())));
        return;
    }
    bp::scope resultScope =
        bp::class_<Result, boost::shared_ptr<Result>>("Result", bp::no_init)
            .def("__init__", bp::make_constructor(&MakeResult, bp::default_call_policies(),
                                                  (bp::arg("_url"), bp::arg("_lastModified"), bp::arg("_src"),
                                                   bp::arg("_snapshot"), bp::arg("_snapshotSize"))))
            .add_property("lastModified", &ResultLastModified)
            .add_property("snapshot", &ResultSnapshot)
            .add_property("src", &ResultSrc)
            .add_property("url", &ResultUrl);
}

}  // namespace

void Tarv::Module::Register() {
    bp::docstring_options noDocstrings(false, false, false);

    RegisterResult();

    bp::def("ConfigLogger", &ConfigLoggerWrap,
            (bp::arg("name") = std::string(), bp::arg("logLevel") = std::string("INFO"),
             bp::arg("logFile") = std::string()));
    bp::def("Pop", &PopWrap, (bp::arg("url"), bp::arg("ticket")));
    bp::def("Push", &PushWrap,
            (bp::arg("url"), bp::arg("wait") = true, bp::arg("pid") = 0ul, bp::arg("options") = bp::dict()));

    if (!Registered(bp::type_id<boost::shared_ptr<std::string>>()))
        bp::to_python_converter<boost::shared_ptr<std::string>, StringPointerToPyString>();

    bp::register_exception_translator<Tarv::Browser::TimeOutException>(&translateTimeOut);
    bp::register_exception_translator<std::exception>(&translateEx);
}

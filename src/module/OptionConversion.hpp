// Turns the Python options dict into the native request options map, driven
// by the option tag list: for every tag, in list order, the dict's value under
// the tag's key (or the tag's default) is converted to the tag's type.
#pragma once

#include <string>

#include <boost/mpl/begin_end.hpp>
#include <boost/mpl/deref.hpp>
#include <boost/mpl/next.hpp>
#include <boost/mpl/string.hpp>
#include <boost/python/dict.hpp>
#include <boost/type_traits/is_same.hpp>

#include "browser/Options.hpp"
#include "module/detail/Values.hpp"

namespace Tarv {
namespace Module {

// Stores each converted option in the map, replacing any value there.
struct TransformToMap {
    Browser::RequestOptions& map;
    template <class T>
    void operator()(const std::string& key, const T& value) const {
        map[key] = boost::any(value);
    }
};

template <class Seq, class It, bool End, int N>
struct Apply {
    template <class Visitor>
    void operator()(const boost::python::dict& options, Visitor& visitor) const {
        using TagT = typename boost::mpl::deref<It>::type;
        using T = typename TagT::type;
        const char* key = boost::mpl::c_str<typename TagT::key>::value;
        const boost::python::object value = options.get(key, detail::ToPython(TagT::Default()));
        visitor(std::string(key), detail::FromPython<T>(value));
        using Next = typename boost::mpl::next<It>::type;
        Apply<Seq, Next, boost::is_same<Next, typename boost::mpl::end<Seq>::type>::value, N + 1>()(options, visitor);
    }
};

template <class Seq, class It, int N>
struct Apply<Seq, It, true, N> {
    template <class Visitor>
    void operator()(const boost::python::dict&, Visitor&) const {}
};

// Requires the interpreter lock. A value of the wrong type raises TypeError
// (as a Python error); an int out of the 32-bit range raises the binding
// library's numeric conversion error.
template <class Visitor>
void ForEach(const boost::python::dict& options, Visitor visitor) {
    using Seq = Browser::Option::List;
    using First = typename boost::mpl::begin<Seq>::type;
    Apply<Seq, First, boost::is_same<First, typename boost::mpl::end<Seq>::type>::value, 0>()(options, visitor);
}

}  // namespace Module
}  // namespace Tarv

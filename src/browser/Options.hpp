// The nine request options: tag types carrying each option's key and value
// type, in their fixed order. The same list drives the request record (text
// in shared memory) and the Python conversion (dict to typed map).
#pragma once

#include <string>

#include <boost/any.hpp>
#include <boost/mpl/string.hpp>
#include <boost/mpl/vector.hpp>
#include <boost/unordered_map.hpp>

namespace Tarv {
namespace Browser {

// The caller's option map: key -> bool, int or std::string per the tag.
using RequestOptions = boost::unordered_map<std::string, boost::any>;

namespace Option {

template <class KeyT, class ValueT>
struct Tag {
    using key = KeyT;      // boost::mpl::string; text by boost::mpl::c_str
    using type = ValueT;   // native value type
};

struct Snapshot : Tag<boost::mpl::string<'snap', 'shot'>, bool> {
    static bool Default() { return true; }
};
struct Coordinate : Tag<boost::mpl::string<'coor', 'dina', 'te'>, bool> {
    static bool Default() { return false; }
};
struct Keep : Tag<boost::mpl::string<'keep'>, int> {
    static int Default() { return 2000; }
};
struct Lumo : Tag<boost::mpl::string<'lumo'>, bool> {
    static bool Default() { return false; }
};
struct Delay : Tag<boost::mpl::string<'dela', 'y'>, int> {
    static int Default() { return 100; }
};
struct Post : Tag<boost::mpl::string<'post'>, std::string> {
    static std::string Default() { return std::string(); }
};
struct Script : Tag<boost::mpl::string<'scri', 'pt'>, std::string> {
    static std::string Default() { return std::string(); }
};
struct Cookie : Tag<boost::mpl::string<'cook', 'ie'>, std::string> {
    static std::string Default() { return std::string(); }
};
struct Disable : Tag<boost::mpl::string<'disa', 'ble'>, std::string> {
    static std::string Default() { return std::string(); }
};

using List = boost::mpl::vector<Snapshot, Coordinate, Keep, Lumo, Delay, Post, Script, Cookie, Disable>;

}  // namespace Option
}  // namespace Browser
}  // namespace Tarv

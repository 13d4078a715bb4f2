// The request record: its strings and the option map it builds beside it.
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <boost/any.hpp>
#include <boost/functional/hash.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <gtest/gtest.h>

#include "IpcFixtures.hpp"
#include "interprocess/Append.hpp"
#include "support/ShmNames.hpp"

namespace {

using namespace Tarv::Testing;
using Tarv::Browser::Request;
using Tarv::Browser::RequestOptions;
using Tarv::Interprocess::Append;
using Tarv::Interprocess::String;
namespace bip = boost::interprocess;

using OptionMap = Request::OptionMap;
using TextMap = std::map<std::string, std::string>;

constexpr std::int32_t kLongTimeoutMs = 5000;

// A request built in place in `segment`, owned the way the channel owns it.
RequestChannel::Element BuildRequest(Segment& segment, const std::string& url, const std::string& ticket,
                                     const RequestOptions& options) {
    return RequestChannel::Element(
        segment.construct<Request>(bip::anonymous_instance)(segment, url, ticket, options),
        RequestChannel::Element::deleter_type(segment.get_segment_manager()));
}

std::string MapName(const std::string& ticket) { return ticket + "OptionMap"; }

const OptionMap* FindMap(Segment& segment, const std::string& ticket) {
    return segment.find<OptionMap>(MapName(ticket).c_str()).first;
}

TextMap AsText(const OptionMap& map) {
    TextMap text;
    for (const auto& entry : map)
        text.emplace(std::string(entry.first.data(), entry.first.size()),
                     std::string(entry.second.data(), entry.second.size()));
    return text;
}

// Every test builds in a segment and channel of its own.
class RequestRecord : public ::testing::Test {
protected:
    RequestRecord()
        : name(UniqueName("request")), cleanup(name), segment(name, kTestSegmentSize), ticket(name + "_Ticket") {}

    const std::string name;
    ShmCleanup cleanup;
    ScopedSegment segment;
    const std::string ticket;
};

TEST_F(RequestRecord, CarriesTheExampleOptionsAsText) {
    RequestOptions options;
    options["snapshot"] = true;
    options["delay"] = 3000;
    options["post"] = std::string("a=1");
    RequestChannel::Element request = BuildRequest(*segment, "http://example.org/", ticket, options);

    const OptionMap* map = FindMap(*segment, ticket);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(request->options, map);
    EXPECT_EQ(AsText(*map), (TextMap{{"snapshot", "1"}, {"delay", "3000"}, {"post", "a=1"}}));
    EXPECT_EQ(std::string(request->url.c_str()), "http://example.org/");
    EXPECT_EQ(std::string(request->ticket.c_str()), ticket);
}

TEST_F(RequestRecord, TurnsEachOptionValueIntoItsText) {
    struct Case {
        const char* key;
        boost::any value;
        const char* text;
    };
    const Case cases[] = {
        {"snapshot", true, "1"},
        {"snapshot", false, "0"},
        {"coordinate", true, "1"},
        {"keep", -1, "-1"},
        {"keep", 2147483647, "2147483647"},
        {"lumo", false, "0"},
        {"delay", 0, "0"},
        {"post", std::string("a=1&b=2"), "a=1&b=2"},
        {"script", std::string(), ""},
        {"cookie", std::string("c=d; e=f"), "c=d; e=f"},
        {"disable", std::string("images"), "images"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string t = ticket + std::to_string(n++);
        RequestOptions options;
        options[c.key] = c.value;
        RequestChannel::Element request = BuildRequest(*segment, "u", t, options);
        const OptionMap* map = FindMap(*segment, t);
        ASSERT_NE(map, nullptr) << c.key;
        EXPECT_EQ(AsText(*map), (TextMap{{c.key, c.text}})) << c.key;
    }
}

TEST_F(RequestRecord, RejectsAValueOfTheWrongTypeNamingItsKeyAndLeavesTheMap) {
    struct Case {
        const char* key;
        boost::any value;
    };
    const Case cases[] = {
        {"coordinate", std::string("true")},
        {"delay", true},
        {"delay", 3000LL},
        {"snapshot", 1},
        {"post", static_cast<const char*>("a=1")},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string t = ticket + std::to_string(n++);
        RequestOptions options;
        options[c.key] = c.value;
        try {
            BuildRequest(*segment, "u", t, options);
            ADD_FAILURE() << c.key << ": accepted a value of the wrong type";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Illegal option or option value: ") + c.key);
        }
        const OptionMap* map = FindMap(*segment, t);
        ASSERT_NE(map, nullptr) << c.key << ": the option map should stay under its name";
        EXPECT_TRUE(map->empty()) << c.key;
    }
}

TEST_F(RequestRecord, SkipsUnknownAndWronglyCasedKeys) {
    RequestOptions options;
    options["Snapshot"] = true;
    options["lumo "] = true;
    options["colour"] = std::string("red");
    options["KEEP"] = std::string("a text where an int would be wrong");
    options["delay"] = 5;
    RequestChannel::Element request = BuildRequest(*segment, "u", ticket, options);
    const OptionMap* map = FindMap(*segment, ticket);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(AsText(*map), (TextMap{{"delay", "5"}}));
}

TEST_F(RequestRecord, WithoutOptionsHasAnEmptyMapUnderItsName) {
    RequestChannel::Element request = BuildRequest(*segment, "u", ticket, RequestOptions());
    const OptionMap* map = FindMap(*segment, ticket);
    ASSERT_NE(map, nullptr);
    EXPECT_TRUE(map->empty());
    EXPECT_EQ(request->options, map);
}

TEST_F(RequestRecord, CopiesAUrlWithANulByteWhole) {
    const std::string url("http://host/a\0b?c", 17);
    RequestChannel::Element request = BuildRequest(*segment, url, ticket, RequestOptions());
    EXPECT_EQ(std::string(request->url.data(), request->url.size()), url);
}

TEST_F(RequestRecord, NamesItsMapAfterTheTicketUpToItsFirstNulByte) {
    const std::string ticket(this->ticket + std::string("\0tail", 5));
    RequestChannel::Element request = BuildRequest(*segment, "u", ticket, RequestOptions());
    EXPECT_EQ(std::string(request->ticket.data(), request->ticket.size()), ticket);
    EXPECT_NE(FindMap(*segment, this->ticket), nullptr);
}

TEST_F(RequestRecord, SecondRequestWithTheSameTicketFailsOnTheTakenMapName) {
    RequestOptions options;
    options["delay"] = 1;
    RequestChannel::Element first = BuildRequest(*segment, "u1", ticket, options);
    const std::size_t objects = segment->get_num_named_objects();
    options["delay"] = 2;
    try {
        BuildRequest(*segment, "u2", ticket, options);
        ADD_FAILURE() << "a second map under the same name was built";
    } catch (const bip::interprocess_exception& e) {
        EXPECT_EQ(e.get_error_code(), bip::already_exists_error);
    }
    EXPECT_EQ(segment->get_num_named_objects(), objects);
    EXPECT_EQ(AsText(*FindMap(*segment, ticket)), (TextMap{{"delay", "1"}}));
}

TEST(RequestRecordSmallSegment, TooLittleRoomForTheRecordRaisesBadAllocAndQueuesNothing) {
    const std::string name = UniqueName("small");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, 4096);
    auto channel = RequestChannel::Create(*segment, name.c_str());
    const std::size_t freeBefore = segment->get_free_memory();
    const std::size_t objectsBefore = segment->get_num_named_objects();

    // Longer than the free memory, shorter than the segment: the allocation
    // itself fails (a text longer than the whole segment is refused earlier,
    // by the string's max_size check, with std::length_error).
    const std::string url(freeBefore + 16, 'u');
    try {
        RequestChannel::Element request = BuildRequest(*segment, url, name + "_Ticket", RequestOptions());
        Append(*channel, request, kLongTimeoutMs);
        ADD_FAILURE() << "a request larger than its segment was built";
    } catch (const bip::bad_alloc& e) {
        EXPECT_EQ(std::string(e.what()), "boost::interprocess::bad_alloc");
    }
    EXPECT_TRUE(channel->list->empty());
    EXPECT_EQ(segment->get_num_named_objects(), objectsBefore);
    EXPECT_EQ(segment->get_free_memory(), freeBefore);
}

TEST(RequestRecordSmallSegment, OptionThatDoesNotFitIsReportedAsAnIllegalOption) {
    const std::string name = UniqueName("small-option");
    ShmCleanup cleanup(name);
    ScopedSegment segment(name, 4096);
    const std::string ticket = name + "_Ticket";
    RequestOptions options;
    options["post"] = std::string(segment->get_free_memory() + 16, 'p');
    try {
        BuildRequest(*segment, "u", ticket, options);
        ADD_FAILURE() << "an option larger than the segment was stored";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "Illegal option or option value: post");
    }
    const OptionMap* map = FindMap(*segment, ticket);
    ASSERT_NE(map, nullptr);
    EXPECT_TRUE(map->empty());
}

TEST_F(RequestRecord, MapKeysUseBoostHashOfTheSharedMemoryString) {
    static_assert(std::is_same<OptionMap::hasher, boost::hash<String>>::value, "keys hashed by boost::hash");
    static_assert(std::is_same<OptionMap::key_equal, std::equal_to<String>>::value, "keys compared by equal_to");
    // The hash of a shared-memory string depends on its bytes only, so a
    // separately built server computes the same buckets.
    const String key("delay", String::allocator_type(segment->get_segment_manager()));
    const std::string text("delay");
    EXPECT_EQ(boost::hash<String>()(key), boost::hash_range(text.begin(), text.end()));
}

TEST_F(RequestRecord, AnotherProcessFindsAnOptionByItsKeyInTheMapOpenedByName) {
    RequestOptions options;
    options["snapshot"] = false;
    options["delay"] = 3000;
    options["cookie"] = std::string("session=abc");
    RequestChannel::Element request = BuildRequest(*segment, "u", ticket, options);
    const std::string segmentName = name;
    const std::string mapName = MapName(ticket);

    ChildProcess server([&] {
        Segment own(bip::open_only, segmentName.c_str());
        OptionMap* map = own.find<OptionMap>(mapName.c_str()).first;
        if (!map) return int{kChildNotFound};
        const String::allocator_type alloc(own.get_segment_manager());
        const struct {
            const char* key;
            const char* text;
        } expected[] = {{"snapshot", "0"}, {"delay", "3000"}, {"cookie", "session=abc"}};
        for (const auto& e : expected) {
            const auto found = map->find(String(e.key, alloc));
            if (found == map->end()) return int{kChildNotFound};
            if (found->second != String(e.text, alloc)) return int{kChildWrongData};
        }
        if (map->find(String("lumo", alloc)) != map->end()) return int{kChildWrongData};
        return int{kChildOk};
    });
    EXPECT_EQ(server.Wait(), kChildOk);
}

TEST_F(RequestRecord, TravelsThroughTheRequestChannelToAnotherProcess) {
    ScopedChannelNames names(name);
    auto channel = RequestChannel::Create(*segment, name.c_str());
    const std::string segmentName = name;

    ChildProcess client([&] {
        Segment own(bip::open_only, segmentName.c_str());
        auto handle = RequestChannel::Get(own, segmentName.c_str());
        RequestOptions options;
        options["keep"] = -1;
        RequestChannel::Element request = BuildRequest(own, "http://page/", ticket, options);
        Append(*handle, request, kLongTimeoutMs);
        return int{kChildOk};
    });
    ASSERT_EQ(client.Wait(), kChildOk);

    RequestChannel::Element out = NoRecord<RequestChannel>(*segment);
    channel->Take(out, kLongTimeoutMs);
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out->url.c_str()), "http://page/");
    EXPECT_EQ(std::string(out->ticket.c_str()), ticket);
    // The options pointer is the builder's address; the map is reached by name.
    const OptionMap* map = FindMap(*segment, std::string(out->ticket.c_str()));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(AsText(*map), (TextMap{{"keep", "-1"}}));
}

}  // namespace

// Names of named objects: formatted into fixed buffers, too long ones
// rejected before anything is created.
#include <functional>
#include <stdexcept>
#include <string>

#include <boost/interprocess/exceptions.hpp>
#include <gtest/gtest.h>

#include "IpcFixtures.hpp"
#include "interprocess/Names.hpp"
#include "support/ShmNames.hpp"

namespace {

using namespace Tarv::Testing;
using Tarv::Browser::Request;
using Tarv::Browser::RequestOptions;
using Tarv::Interprocess::FormatName;
using Tarv::Interprocess::kNameBufferSize;
using Tarv::Interprocess::MakeChannelNames;
namespace bip = boost::interprocess;

// The longest channel name whose condition name ("<name>_Channel_Condition")
// still fits the buffer with its terminating NUL, and the same for a ticket
// and its option map ("<ticket>OptionMap").
constexpr std::size_t kLongestChannelName = kNameBufferSize - 1 - (sizeof("_Channel_Condition") - 1);
constexpr std::size_t kLongestTicket = kNameBufferSize - 1 - (sizeof("OptionMap") - 1);

// A name unique to the run, padded to exactly `length` characters.
std::string NameOfLength(const std::string& tag, std::size_t length) {
    std::string name = UniqueName(tag);
    name.resize(length, 'x');
    return name;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

TEST(Names, LimitsFollowFromTheBufferSize) {
    EXPECT_EQ(kNameBufferSize, 512u);
    EXPECT_EQ(kLongestChannelName, 493u);
    EXPECT_EQ(kLongestTicket, 502u);
}

TEST(Names, FormatNameAcceptsUpTo511BytesAndRejectsLongerNamingTheOperation) {
    EXPECT_EQ(FormatName("Op", "%s", std::string(511, 'n').c_str()), std::string(511, 'n'));
    try {
        FormatName("Op", "%s", std::string(512, 'n').c_str());
        ADD_FAILURE() << "a 512-byte name was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_TRUE(StartsWith(e.what(), "Op: name too long")) << e.what();
    }
}

TEST(Names, FormatNameWithANumber) {
    EXPECT_EQ(FormatName("Op", "Tarv_Browser_%ld_Ready", 4242L), "Tarv_Browser_4242_Ready");
    EXPECT_EQ(FormatName("Op", "Tarv_Browser_%ld_Ready", -7L), "Tarv_Browser_-7_Ready");
    const std::string longFormat = std::string(505, 'f') + "%ld";
    EXPECT_EQ(FormatName("Op", longFormat.c_str(), 123456L), std::string(505, 'f') + "123456");
    EXPECT_THROW(FormatName("Op", longFormat.c_str(), 1234567L), std::invalid_argument);
}

TEST(Names, ChannelNamesAppendTheirSuffixes) {
    const auto names = MakeChannelNames("Op", "Tarv_4242_Ticket_17");
    EXPECT_EQ(names.mutex, "Tarv_4242_Ticket_17_Channel_Mutex");
    EXPECT_EQ(names.condition, "Tarv_4242_Ticket_17_Channel_Condition");
}

TEST(Names, ChannelOperationsRejectATooLongNameBeforeCreatingAnything) {
    struct Case {
        const char* operation;
        std::function<void(Segment&, const char*)> call;
    };
    const Case cases[] = {
        {"Channel::Create", [](Segment& s, const char* n) { ResultChannel::Create(s, n); }},
        {"Channel::Get", [](Segment& s, const char* n) { ResultChannel::Get(s, n); }},
        {"Channel::Destroy",
         [](Segment& s, const char* n) { ResultChannel::Destroy(s, n, &ResultChannel::DummyCallback, 100); }},
    };
    for (const Case& c : cases) {
        const std::string segmentName = UniqueName("long-channel");
        ShmCleanup cleanup(segmentName);
        ScopedSegment segment(segmentName, kTestSegmentSize);
        const std::string name = NameOfLength("long-channel-name", kLongestChannelName + 1);
        ShmCleanup channelCleanup(name);
        const std::size_t freeBefore = segment->get_free_memory();
        try {
            c.call(*segment, name.c_str());
            ADD_FAILURE() << c.operation << " accepted a name of " << name.size() << " characters";
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(StartsWith(e.what(), std::string(c.operation) + ": name too long")) << e.what();
        }
        EXPECT_EQ(segment->get_num_named_objects(), 0u) << c.operation;
        EXPECT_EQ(segment->get_free_memory(), freeBefore) << c.operation;
        EXPECT_TRUE(ShmEntriesContaining(name.substr(0, 64)).empty()) << c.operation;
    }
}

TEST(Names, ChannelNameThatFitsTheBufferIsHandedToTheSystem) {
    // 493 characters fit the buffer, so Create goes ahead as usual: it builds
    // the list, and the system's own refusal of so long a semaphore name
    // comes back as the Boost.Interprocess error, the list left behind.
    const std::string segmentName = UniqueName("fitting-channel");
    ShmCleanup cleanup(segmentName);
    ScopedSegment segment(segmentName, kTestSegmentSize);
    const std::string name = NameOfLength("fitting-channel-name", kLongestChannelName);
    ShmCleanup channelCleanup(name.substr(0, 64));
    try {
        ResultChannel::Create(*segment, name.c_str());
        ADD_FAILURE() << "the system accepted a " << name.size() << "-character semaphore name";
    } catch (const std::invalid_argument& e) {
        ADD_FAILURE() << "a name that fits was rejected: " << e.what();
    } catch (const bip::interprocess_exception&) {
    }
    EXPECT_NE(segment->find<ResultChannel::List>(name.c_str()).first, nullptr);
}

TEST(Names, RequestRejectsATicketTooLongForItsOptionMapBeforeCreatingAnything) {
    const std::string segmentName = UniqueName("long-ticket");
    ShmCleanup cleanup(segmentName);
    ScopedSegment segment(segmentName, kTestSegmentSize);
    const std::string ticket = NameOfLength("long-ticket", kLongestTicket + 1);
    RequestOptions options;
    options["delay"] = 1;
    const std::size_t freeBefore = segment->get_free_memory();
    try {
        segment->construct<Request>(bip::anonymous_instance)(*segment, "http://u/", ticket, options);
        ADD_FAILURE() << "a ticket of " << ticket.size() << " characters was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_TRUE(StartsWith(e.what(), "Request: name too long")) << e.what();
    }
    EXPECT_EQ(segment->get_num_named_objects(), 0u);
    EXPECT_EQ(segment->get_free_memory(), freeBefore);
}

TEST(Names, RequestAcceptsTheLongestTicketThatFits) {
    const std::string segmentName = UniqueName("fitting-ticket");
    ShmCleanup cleanup(segmentName);
    ScopedSegment segment(segmentName, kTestSegmentSize);
    const std::string ticket = NameOfLength("fitting-ticket", kLongestTicket);
    Request* request =
        segment->construct<Request>(bip::anonymous_instance)(*segment, "http://u/", ticket, RequestOptions());
    const std::string mapName = ticket + "OptionMap";
    ASSERT_EQ(mapName.size(), kNameBufferSize - 1);
    EXPECT_EQ(segment->find<Request::OptionMap>(mapName.c_str()).first, request->options);
    segment->destroy_ptr(request);
}

}  // namespace

// The server's result record and the process-local Result copied from it.
#include <string>

#include <gtest/gtest.h>

#include "IpcFixtures.hpp"
#include "interprocess/Append.hpp"
#include "support/ShmNames.hpp"

namespace {

using namespace Tarv::Testing;
using Tarv::Browser::CopyResult;
using Tarv::Browser::IsDeadResult;
using Tarv::Browser::Result;
using Tarv::Browser::ServerResult;
using Tarv::Interprocess::Append;
namespace bip = boost::interprocess;

constexpr std::int32_t kLongTimeoutMs = 5000;

// 1000 bytes with a NUL at every seventh position, the first byte included.
std::string SnapshotBytes() {
    std::string bytes(1000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = i % 7 == 0 ? '\0' : static_cast<char>('a' + i % 26);
    return bytes;
}

class ResultRecord : public ::testing::Test {
protected:
    ResultRecord() : name(UniqueName("result")), cleanup(name), segment(name, kTestSegmentSize) {}

    const std::string name;
    ShmCleanup cleanup;
    ScopedSegment segment;
};

TEST_F(ResultRecord, FreshRecordHasFourEmptyFieldsAndCopiesToFourEmptyStrings) {
    ResultChannel::Element record(segment->construct<ServerResult>(bip::anonymous_instance)(*segment),
                                  ResultChannel::Element::deleter_type(segment->get_segment_manager()));
    EXPECT_TRUE(record->url.empty());
    EXPECT_TRUE(record->lastModified.empty());
    EXPECT_TRUE(record->src.empty());
    EXPECT_TRUE(record->snapshot.empty());
    EXPECT_FALSE(IsDeadResult(*record));

    const Result result = CopyResult(*record);
    EXPECT_EQ(result.url, "");
    EXPECT_EQ(result.lastModified, "");
    EXPECT_EQ(result.src, "");
    EXPECT_EQ(result.snapshot, "");
}

TEST_F(ResultRecord, SnapshotWithNulBytesArrivesWholeFromAnotherProcess) {
    ScopedChannelNames names(name);
    auto channel = ResultChannel::Create(*segment, name.c_str());

    ChildProcess server([&] {
        Segment own(bip::open_only, name.c_str());
        auto handle = ResultChannel::Get(own, name.c_str());
        ResultChannel::Element record = MakeResult(own, "http://page/", SnapshotBytes());
        record->lastModified = "Tue, 01 Jan 2030 00:00:00 GMT";
        record->src = "<html></html>";
        Append(*handle, record, kLongTimeoutMs);
        return int{kChildOk};
    });
    ASSERT_EQ(server.Wait(), kChildOk);

    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    channel->Take(out, kLongTimeoutMs);
    ASSERT_TRUE(out);
    const Result result = CopyResult(*out);
    EXPECT_EQ(result.snapshot.size(), 1000u);
    EXPECT_EQ(result.snapshot, SnapshotBytes());
    EXPECT_EQ(result.url, "http://page/");
    EXPECT_EQ(result.lastModified, "Tue, 01 Jan 2030 00:00:00 GMT");
    EXPECT_EQ(result.src, "<html></html>");
}

TEST_F(ResultRecord, TextsAreCutAtTheirFirstNulByteInTheResult) {
    ResultChannel::Element record = MakeResult(*segment, std::string("http://a/\0hidden", 16));
    record->lastModified.assign(std::string("Mon\0day", 7).data(), 7);
    record->src.assign(std::string("<p>\0</p>", 8).data(), 8);
    ASSERT_EQ(record->url.size(), 16u);

    const Result result = CopyResult(*record);
    EXPECT_EQ(result.url, "http://a/");
    EXPECT_EQ(result.lastModified, "Mon");
    EXPECT_EQ(result.src, "<p>");
}

TEST(Result, SnapshotSizeZeroGivesAnEmptySnapshotWhateverThePointer) {
    const char bytes[] = "not to be copied";
    for (const char* pointer : {static_cast<const char*>(bytes), static_cast<const char*>(nullptr)}) {
        const Result result("u", "l", "s", pointer, 0);
        EXPECT_EQ(result.snapshot, "");
        EXPECT_EQ(result.url, "u");
        EXPECT_EQ(result.lastModified, "l");
        EXPECT_EQ(result.src, "s");
    }
}

TEST(Result, CopiesExactlySnapshotSizeBytes) {
    const char bytes[] = {'a', '\0', 'b', '\0', 'c'};
    const Result result("u", "l", "s", bytes, 4);
    EXPECT_EQ(result.snapshot, std::string("a\0b\0", 4));
    const Result copy(result);
    EXPECT_EQ(copy.snapshot, result.snapshot);
}

TEST_F(ResultRecord, OnlyExactlyDeadMarksADeadResult) {
    struct Case {
        std::string lastModified;
        bool dead;
    };
    const Case cases[] = {
        {"DEAD", true},
        {"dead", false},
        {"Dead", false},
        {"DEAD ", false},
        {" DEAD", false},
        {"DEADLINE", false},
        {"DEA", false},
        {std::string("DEAD\0", 5), false},
        {"", false},
    };
    for (const Case& c : cases) {
        ResultChannel::Element record = MakeResult(*segment, "u");
        record->lastModified.assign(c.lastModified.data(), c.lastModified.size());
        EXPECT_EQ(IsDeadResult(*record), c.dead) << '"' << c.lastModified << '"' << " size " << c.lastModified.size();
    }
}

}  // namespace

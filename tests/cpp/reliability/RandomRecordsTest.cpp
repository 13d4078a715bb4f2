// Seeded random input to the records: option maps of every value type and
// texts of every length, built into a segment too small for the longest of
// them. Every case ends in a record or a described error, and the segment's
// free memory comes back once the record (and, for a request, its option map,
// which stays in the segment by design) is destroyed.
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <gtest/gtest.h>

#include "browser/Records.hpp"
#include "support/ShmNames.hpp"

namespace {

namespace bip = boost::interprocess;
using Tarv::Browser::Request;
using Tarv::Browser::RequestOptions;
using Tarv::Browser::ServerResult;
using Tarv::Interprocess::Segment;
using Tarv::Testing::ShmCleanup;
using Tarv::Testing::UniqueName;
using OptionMap = Request::OptionMap;
using TextMap = std::map<std::string, std::string>;

// Fixed, so that a failing case comes back on the next run; the trace names
// the case.
constexpr std::uint32_t kSeed = 20240611;
constexpr int kRequestCases = 3000;
constexpr int kResultCases = 2000;
// Small enough that the longest generated texts do not fit.
constexpr std::size_t kSegmentSize = 128 * 1024;
// Cases whose texts add up to less than this must always fit.
constexpr std::size_t kSurelyFits = kSegmentSize / 8;
constexpr const char* kIllegalOption = "Illegal option or option value: ";

enum class Kind { Bool, Int, Text, None };

Kind KindOf(const std::string& key) {
    static const std::map<std::string, Kind> kinds = {
        {"snapshot", Kind::Bool}, {"coordinate", Kind::Bool}, {"keep", Kind::Int},
        {"lumo", Kind::Bool},     {"delay", Kind::Int},       {"post", Kind::Text},
        {"script", Kind::Text},   {"cookie", Kind::Text},     {"disable", Kind::Text}};
    const auto found = kinds.find(key);
    return found == kinds.end() ? Kind::None : found->second;
}

bool HoldsKind(const boost::any& value, Kind kind) {
    switch (kind) {
        case Kind::Bool: return value.type() == typeid(bool);
        case Kind::Int: return value.type() == typeid(int);
        case Kind::Text: return value.type() == typeid(std::string);
        case Kind::None: return true;
    }
    return false;
}

// The text the option map holds for a value of the right kind.
std::string TextOf(const boost::any& value, Kind kind) {
    switch (kind) {
        case Kind::Bool: return boost::any_cast<bool>(value) ? "1" : "0";
        case Kind::Int: return std::to_string(boost::any_cast<int>(value));
        case Kind::Text: return boost::any_cast<std::string>(value);
        case Kind::None: break;
    }
    return std::string();
}

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    // Mostly short, sometimes a few KiB, now and then longer than the segment.
    std::string Text() {
        const int band = Below(10);
        const std::size_t length = band < 7 ? Below(17) : band < 9 ? 100 + Below(4000) : 32 * 1024 + Below(200 * 1024);
        std::string text(length, '\0');
        for (char& c : text) c = static_cast<char>(Below(256));
        return text;
    }

    std::string Key() {
        static const char* const keys[] = {"snapshot", "coordinate", "keep",  "lumo",    "delay",
                                           "post",     "script",     "cookie", "disable"};
        static const std::string nearMisses[] = {"Snapshot", "lumo ", "POST", "", std::string("keep\0", 5)};
        const int pick = Below(10);
        if (pick < 7) return keys[Below(9)];
        if (pick < 9) return nearMisses[Below(5)];
        return Text().substr(0, 600);
    }

    // Most often of the key's own type, else of any type at all.
    boost::any Value(const std::string& key) {
        switch (Below(10) < 6 ? KindOf(key) : Kind::None) {
            case Kind::Bool: return Below(2) == 1;
            case Kind::Int: return static_cast<int>(random_());
            case Kind::Text: return Text();
            case Kind::None: break;
        }
        switch (Below(11)) {
            case 0: return Below(2) == 1;
            case 1: return static_cast<int>(random_());
            case 2:
            case 3: return Text();
            case 4: return static_cast<long>(random_());
            case 5: return static_cast<double>(Below(1000)) / 7.0;
            case 6: return "a C string";
            case 7: return static_cast<unsigned>(random_());
            case 8: return static_cast<short>(Below(100));
            case 9: return std::vector<int>(3, 1);
            default: return boost::any();
        }
    }

    RequestOptions Options() {
        RequestOptions options;
        const int entries = Below(13);
        for (int i = 0; i < entries; ++i) {
            const std::string key = Key();
            options[key] = Value(key);
        }
        return options;
    }

    // Half of the URLs are short; the others hold any bytes, and some take
    // nearly all of the segment.
    std::string Url() {
        const int pick = Below(10);
        if (pick < 5) return "script://echo/" + std::to_string(Below(1000));
        if (pick < 9) return Text();
        return std::string(kSegmentSize - static_cast<std::size_t>(Below(4096)), 'u');
    }

private:
    std::mt19937 random_;
};

struct Tally {
    int requests = 0;
    int invalidArgument = 0;
    int badAlloc = 0;
    int lengthError = 0;
};

class RandomRecordsTest : public ::testing::Test {
protected:
    RandomRecordsTest()
        : name(UniqueName("records")),
          cleanup(name),
          segment(bip::create_only, name.c_str(), kSegmentSize) {}

    const std::string name;
    ShmCleanup cleanup;
    Segment segment;
};

TEST_F(RandomRecordsTest, RandomOptionMapsEndInARequestOrADescribedErrorAndGiveBackTheirMemory) {
    Generator generate(kSeed);
    Tally tally;
    const std::size_t empty = segment.get_free_memory();
    for (int c = 0; c < kRequestCases; ++c) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", case " + std::to_string(c));
        const std::string url = generate.Url();
        const std::string ticket = "Tarv_1_Ticket_" + std::to_string(c);
        const RequestOptions options = generate.Options();

        bool wrongType = false;
        std::size_t bytes = url.size();
        TextMap expected;
        for (const auto& [key, value] : options) {
            const Kind kind = KindOf(key);
            if (kind == Kind::None) continue;
            if (!HoldsKind(value, kind)) {
                wrongType = true;
                continue;
            }
            expected[key] = TextOf(value, kind);
            bytes += key.size() + expected[key].size();
        }
        const bool surelyFits = bytes < kSurelyFits;

        const std::size_t before = segment.get_free_memory();
        ASSERT_EQ(before, empty);
        const std::string mapName = ticket + "OptionMap";
        bool built = false;
        try {
            Request* request = segment.construct<Request>(bip::anonymous_instance)(segment, url, ticket, options);
            built = true;
            ++tally.requests;
            EXPECT_FALSE(wrongType) << "a value of the wrong type was taken";
            EXPECT_EQ(std::string(request->url.data(), request->url.size()), url);
            EXPECT_EQ(std::string(request->ticket.data(), request->ticket.size()), ticket);
            const OptionMap* map = segment.find<OptionMap>(mapName.c_str()).first;
            ASSERT_NE(map, nullptr);
            EXPECT_EQ(request->options, map);
            TextMap held;
            for (const auto& entry : *map)
                held.emplace(std::string(entry.first.data(), entry.first.size()),
                             std::string(entry.second.data(), entry.second.size()));
            EXPECT_EQ(held, expected);
            segment.destroy_ptr(request);
        } catch (const std::invalid_argument& error) {
            ++tally.invalidArgument;
            const std::string what = error.what();
            ASSERT_EQ(what.compare(0, std::string(kIllegalOption).size(), kIllegalOption), 0) << what;
            const std::string key = what.substr(std::string(kIllegalOption).size());
            ASSERT_TRUE(options.count(key) == 1 && KindOf(key) != Kind::None) << "names no option given: " << key;
            // A value of the right type fails only for want of room.
            if (HoldsKind(options.at(key), KindOf(key))) {
                EXPECT_FALSE(surelyFits) << key;
            }
        } catch (const bip::bad_alloc&) {
            ++tally.badAlloc;
            EXPECT_FALSE(surelyFits) << "no room for " << bytes << " bytes";
        } catch (const std::length_error&) {
            ++tally.lengthError;
            EXPECT_FALSE(surelyFits) << "too long: " << bytes << " bytes";
        } catch (const std::exception& error) {
            ADD_FAILURE() << "undescribed error: " << error.what();
        }
        if (!wrongType && surelyFits) {
            EXPECT_TRUE(built) << "a small, well-typed request failed";
        }
        // The option map stays by design, with what was put in before a failure.
        segment.destroy<OptionMap>(mapName.c_str());
        ASSERT_EQ(segment.get_free_memory(), before) << "the case kept memory in the segment";
        ASSERT_EQ(segment.get_num_named_objects(), 0u);
    }
    std::printf("random requests: %d cases into %zu bytes: %d requests, %d invalid_argument, %d bad_alloc, "
                "%d length_error\n",
                kRequestCases, kSegmentSize, tally.requests, tally.invalidArgument, tally.badAlloc, tally.lengthError);
    // The generator reaches every outcome.
    EXPECT_GT(tally.requests, 0);
    EXPECT_GT(tally.invalidArgument, 0);
    EXPECT_GT(tally.badAlloc, 0);
    EXPECT_GT(tally.lengthError, 0);
}

TEST_F(RandomRecordsTest, RandomResultTextsEndInACopyOrAnAllocationErrorAndGiveBackTheirMemory) {
    Generator generate(kSeed + 1);
    Tally tally;
    const std::size_t empty = segment.get_free_memory();
    for (int c = 0; c < kResultCases; ++c) {
        SCOPED_TRACE("seed " + std::to_string(kSeed + 1) + ", case " + std::to_string(c));
        std::vector<std::string> texts;
        for (int i = 0; i < 4; ++i) texts.push_back(generate.Below(8) == 0 ? std::string("DEAD") : generate.Text());
        std::size_t bytes = 0;
        for (const std::string& text : texts) bytes += text.size();

        ServerResult* record = nullptr;
        try {
            record = segment.construct<ServerResult>(bip::anonymous_instance)(segment);
            record->url.assign(texts[0].data(), texts[0].size());
            record->lastModified.assign(texts[1].data(), texts[1].size());
            record->src.assign(texts[2].data(), texts[2].size());
            record->snapshot.assign(texts[3].data(), texts[3].size());
            ++tally.requests;
            const Tarv::Browser::Result copy = Tarv::Browser::CopyResult(*record);
            EXPECT_EQ(copy.url, std::string(texts[0].c_str()));
            EXPECT_EQ(copy.lastModified, std::string(texts[1].c_str()));
            EXPECT_EQ(copy.src, std::string(texts[2].c_str()));
            EXPECT_EQ(copy.snapshot, texts[3]);
            EXPECT_EQ(Tarv::Browser::IsDeadResult(*record), texts[1] == "DEAD");
        } catch (const bip::bad_alloc&) {
            ++tally.badAlloc;
            EXPECT_GE(bytes, kSurelyFits);
        } catch (const std::length_error&) {
            ++tally.lengthError;
            EXPECT_GE(bytes, kSurelyFits);
        } catch (const std::exception& error) {
            ADD_FAILURE() << "undescribed error: " << error.what();
        }
        if (record) segment.destroy_ptr(record);
        ASSERT_EQ(segment.get_free_memory(), empty) << "the case kept memory in the segment";
    }
    std::printf("random results: %d cases into %zu bytes: %d copied, %d bad_alloc, %d length_error\n", kResultCases,
                kSegmentSize, tally.requests, tally.badAlloc, tally.lengthError);
    EXPECT_GT(tally.requests, 0);
    EXPECT_GT(tally.badAlloc, 0);
    EXPECT_GT(tally.lengthError, 0);
}

}  // namespace

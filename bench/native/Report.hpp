// What the native benchmark programs share: their command line of
// "--key value" pairs, the clock, a runner that repeats one step on several
// threads, and the JSON file of samples that bench/run.py reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Tarv {
namespace Bench {

using Clock = std::chrono::steady_clock;

inline std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// "--key value" pairs; anything else is a usage error (std::invalid_argument).
class Arguments {
public:
    Arguments(int argc, char** argv);
    std::string Text(const std::string& key) const;  // required
    std::string Text(const std::string& key, const std::string& fallback) const;
    long Number(const std::string& key, long fallback) const;

private:
    std::map<std::string, std::string> values_;
};

// One measurement: how long each measured repetition took and when it ended,
// counted from the start of the measured part (after the warm-up).
struct Series {
    std::string name;
    int threads = 1;
    std::int64_t wallNs = 0;  // start of the measured part to its last end
    std::vector<std::int64_t> durationsNs;
    std::vector<std::int64_t> endsNs;
    long errors = 0;  // repetitions whose step failed (not in the samples)
};

// Writes {"series": [...]} to `path`; throws std::runtime_error when it cannot.
void WriteSeries(const std::string& path, const std::vector<Series>& all);

// Runs `step(thread, repetition)` `warmup` times, then `reps` times timed, on
// each of `threads` threads; the timed part starts on all threads at once.
// A step returns false when it failed.
template <class Step>
Series RunThreads(const std::string& name, int threads, long warmup, long reps, Step step) {
    struct PerThread {
        std::vector<std::int64_t> durations, ends;
        long errors = 0;
    };
    std::vector<PerThread> results(static_cast<std::size_t>(threads));
    std::mutex mutex;
    std::condition_variable ready;
    int warmedUp = 0;
    std::int64_t start = 0;

    auto body = [&](int thread) {
        PerThread& mine = results[static_cast<std::size_t>(thread)];
        for (long i = 0; i < warmup; ++i) step(thread, -1 - i);
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (++warmedUp == threads) {
                start = NowNs();
                ready.notify_all();
            } else {
                ready.wait(lock, [&] { return warmedUp == threads; });
            }
        }
        mine.durations.reserve(static_cast<std::size_t>(reps));
        mine.ends.reserve(static_cast<std::size_t>(reps));
        for (long i = 0; i < reps; ++i) {
            const std::int64_t begin = NowNs();
            const bool ok = step(thread, i);
            const std::int64_t end = NowNs();
            if (!ok) {
                ++mine.errors;
                continue;
            }
            mine.durations.push_back(end - begin);
            mine.ends.push_back(end);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(body, t);
    body(0);
    for (std::thread& t : pool) t.join();

    Series series;
    series.name = name;
    series.threads = threads;
    std::int64_t last = start;
    for (const PerThread& r : results) {
        series.errors += r.errors;
        series.durationsNs.insert(series.durationsNs.end(), r.durations.begin(), r.durations.end());
        for (std::int64_t end : r.ends) {
            series.endsNs.push_back(end - start);
            if (end > last) last = end;
        }
    }
    series.wallNs = last - start;
    return series;
}

}  // namespace Bench
}  // namespace Tarv

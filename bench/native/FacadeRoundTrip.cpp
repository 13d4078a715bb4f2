// Round trips through the native facade (Push then Pop on the same thread),
// without Python: the kernel is linked in statically, so its start-up ran at
// load time and read the INI file named by TARV_BROWSER_CURL_CONFIG.
//
//   bench_facade --pid P --url script://size/2048 --threads T --warmup W
//                --reps R --out FILE [--name NAME] [--src-bytes N]
//                [--snapshot-bytes N]
//
// Every request's URL is the given one followed by "/<name>-<thread>-<n>",
// unique in the run. A round trip whose ticket is empty, whose Pop raises or
// whose answer has the wrong size counts as an error.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "DefaultOptions.hpp"
#include "Report.hpp"
#include "browser/Options.hpp"
#include "kernel/Facade.hpp"

namespace {
constexpr int kMostFailuresInARow = 10;
}

int main(int argc, char** argv) {
    try {
        const Tarv::Bench::Arguments args(argc, argv);
        const unsigned long pid = static_cast<unsigned long>(args.Number("pid", 0));
        const std::string url = args.Text("url");
        const std::string name = args.Text("name", "facade");
        const long srcBytes = args.Number("src-bytes", -1);
        const long snapshotBytes = args.Number("snapshot-bytes", -1);
        const Tarv::Browser::RequestOptions options = Tarv::Bench::DefaultOptions();

        auto roundTrip = [&](int thread, long n) {
            const std::string requestUrl = url + "/" + name + "-" + std::to_string(thread) + "-" + std::to_string(n);
            try {
                const boost::shared_ptr<std::string> ticket = Push(requestUrl, true, pid, options);
                if (ticket->empty()) return false;
                const boost::shared_ptr<Tarv::Browser::Result> result = Pop(requestUrl, *ticket);
                if (srcBytes >= 0 && result->src.size() != static_cast<std::size_t>(srcBytes)) return false;
                if (snapshotBytes >= 0 && result->snapshot.size() != static_cast<std::size_t>(snapshotBytes))
                    return false;
                return true;
            } catch (const std::exception&) {
                return false;
            }
        };
        // A server that went away makes every Push wait for it in vain: give
        // up after a run of failures instead of waiting through every one.
        std::atomic<int> failuresInARow{0};
        auto step = [&](int thread, long n) {
            if (roundTrip(thread, n)) {
                failuresInARow = 0;
                return true;
            }
            if (++failuresInARow >= kMostFailuresInARow) {
                std::fprintf(stderr, "bench_facade: %d round trips in a row failed; giving up\n", kMostFailuresInARow);
                std::_Exit(3);
            }
            return false;
        };
        const Tarv::Bench::Series series =
            Tarv::Bench::RunThreads(name, static_cast<int>(args.Number("threads", 1)), args.Number("warmup", 100),
                                    args.Number("reps", 1000), step);
        Tarv::Bench::WriteSeries(args.Text("out"), {series});
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_facade: %s\n", e.what());
        return 2;
    }
}

// What a C++ user would pick instead of the shared-memory transport: one
// libcurl easy handle, reused for every request, so the HTTP/1.1 connection
// stays open (keep-alive) and each sample is one request and its response.
//
//   bench_curl --url http://127.0.0.1:PORT/page --warmup W --reps R
//              --out FILE [--bytes N]
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include "Report.hpp"

namespace {

class CurlGlobal {
public:
    CurlGlobal() {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("curl_global_init failed");
    }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Tarv::Bench::Arguments args(argc, argv);
        const std::string url = args.Text("url");
        const long bytes = args.Number("bytes", -1);
        const CurlGlobal global;
        const std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
        if (!easy) throw std::runtime_error("curl_easy_init failed");
        std::string body;
        curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(easy.get(), CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);

        auto step = [&](int, long) {
            body.clear();
            if (curl_easy_perform(easy.get()) != CURLE_OK) return false;
            long status = 0;
            curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
            return status == 200 && (bytes < 0 || body.size() == static_cast<std::size_t>(bytes));
        };
        Tarv::Bench::Series series =
            Tarv::Bench::RunThreads(args.Text("name", "libcurl"), 1, args.Number("warmup", 100),
                                    args.Number("reps", 1000), step);
        long connects = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_NUM_CONNECTS, &connects);
        if (connects != 0) ++series.errors;  // the last request opened a new connection: no keep-alive
        Tarv::Bench::WriteSeries(args.Text("out"), {series});
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_curl: %s\n", e.what());
        return 2;
    }
}

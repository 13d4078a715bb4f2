#include "Report.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace Tarv {
namespace Bench {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void WriteNumbers(std::FILE* out, const std::vector<std::int64_t>& numbers) {
    std::fputc('[', out);
    for (std::size_t i = 0; i < numbers.size(); ++i)
        std::fprintf(out, i == 0 ? "%lld" : ",%lld", static_cast<long long>(numbers[i]));
    std::fputc(']', out);
}

// Names are the programs' own words: letters, digits and a few marks.
void WriteText(std::FILE* out, const std::string& text) {
    std::fputc('"', out);
    for (char c : text) {
        if (c == '"' || c == '\\') std::fputc('\\', out);
        if (static_cast<unsigned char>(c) >= 0x20) std::fputc(c, out);
    }
    std::fputc('"', out);
}

}  // namespace

Arguments::Arguments(int argc, char** argv) {
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if (key.size() < 3 || key.compare(0, 2, "--") != 0 || i + 1 >= argc)
            throw std::invalid_argument("expected --key value pairs, got \"" + key + "\"");
        values_[key.substr(2)] = argv[i + 1];
    }
}

std::string Arguments::Text(const std::string& key) const {
    const auto found = values_.find(key);
    if (found == values_.end()) throw std::invalid_argument("missing --" + key);
    return found->second;
}

std::string Arguments::Text(const std::string& key, const std::string& fallback) const {
    const auto found = values_.find(key);
    return found == values_.end() ? fallback : found->second;
}

long Arguments::Number(const std::string& key, long fallback) const {
    const auto found = values_.find(key);
    if (found == values_.end()) return fallback;
    char* end = nullptr;
    const long value = std::strtol(found->second.c_str(), &end, 10);
    if (found->second.empty() || *end != '\0') throw std::invalid_argument("--" + key + " needs a number");
    return value;
}

void WriteSeries(const std::string& path, const std::vector<Series>& all) {
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(path.c_str(), "w"));
    if (!out) throw std::runtime_error("cannot write " + path);
    std::fputs("{\"series\": [", out.get());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Series& s = all[i];
        std::fputs(i == 0 ? "\n {\"name\": " : ",\n {\"name\": ", out.get());
        WriteText(out.get(), s.name);
        std::fprintf(out.get(), ", \"threads\": %d, \"wall_ns\": %lld, \"errors\": %ld, \"durations_ns\": ", s.threads,
                     static_cast<long long>(s.wallNs), s.errors);
        WriteNumbers(out.get(), s.durationsNs);
        std::fputs(", \"ends_ns\": ", out.get());
        WriteNumbers(out.get(), s.endsNs);
        std::fputc('}', out.get());
    }
    std::fputs("\n]}\n", out.get());
    if (std::ferror(out.get())) throw std::runtime_error("cannot write " + path);
}

}  // namespace Bench
}  // namespace Tarv

// XmlLoad of a 500 kB display.xml against reading the same file into memory (fload): the ratio says
// what the two-pass parse costs on top of the file read.
#include "display/dispxml_load.h"
#include "framework/fileutil.h"
#include "platform/devroot.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr const char* kFile = "cfg:/display.xml";
constexpr size_t kTargetSize = 500 * 1024;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The valid fixture with the elements of its first page repeated, each copy with higher priorities,
// until the file reaches the target size.
std::string largeDisplayXml() {
    const char* src = std::getenv("MSD_SOURCE_DIR");
    const std::string text =
        readText(std::string(src ? src : MSD_SOURCE_DIR_DEFAULT) + "/tests/data/display/display.xml");
    const size_t pageStart = text.find("<Page>");
    const size_t open = text.find("<DisplayElements>", pageStart) + 17;
    const size_t close = text.find("</DisplayElements>", open);
    const std::string elements = text.substr(open, close - open);

    std::string body;
    int prio = 1;
    while (text.size() + body.size() < kTargetSize) {
        std::string copy = elements;
        for (size_t at = copy.find("prio=\""); at != std::string::npos; at = copy.find("prio=\"", at + 1)) {
            const size_t end = copy.find('"', at + 6);
            copy.replace(at + 6, end - at - 6, std::to_string(prio++));
        }
        body += copy;
    }
    return text.substr(0, open) + body + text.substr(close);
}

class DeviceRoot {
public:
    DeviceRoot() {
        char tmpl[] = "/tmp/msdbench.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        path_ = tmpl;
        devroot_set(path_);
        std::string err;
        if (!devroot_prepare(&err)) std::abort();
        std::string host;
        devpath_toHost(kFile, &host);
        const std::string text = largeDisplayXml();
        std::ofstream(host, std::ios::binary) << text;
        size_ = text.size();
    }
    ~DeviceRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    size_t size() const { return size_; }

private:
    std::string path_;
    size_t size_ = 0;
};

DeviceRoot* g_root = nullptr;

void BM_ReadFileIntoMemory(benchmark::State& state) {
    for (auto _ : state) {
        size_t len = 0;
        char* text = fload(kFile, &len);
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_root->size()));
}

void BM_XmlLoad(benchmark::State& state) {
    for (auto _ : state) {
        display_s* d = nullptr;
        if (XmlLoad(kFile, &d) != 0) {
            char msg[XML_MSG_SIZE];
            xml_get_error_msg(msg, sizeof msg);
            state.SkipWithError(msg);
            break;
        }
        benchmark::DoNotOptimize(d);
        XmlFreeDisplay(d);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_root->size()));
}

BENCHMARK(BM_ReadFileIntoMemory)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_XmlLoad)->Unit(benchmark::kMicrosecond);

// Prints the ratio of the load to the plain read after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double read = times_["BM_ReadFileIntoMemory"];
        const double load = times_["BM_XmlLoad"];
        if (read > 0 && load > 0)
            std::printf("XmlLoad of %zu bytes / reading them into memory (fload): %.1f\n", g_root->size(),
                        load / read);
    }

private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char** argv) {
    DeviceRoot root;
    g_root = &root;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// XmlLoad of a 500 kB display.xml against expat parsing the same bytes, held in memory, with empty
// handlers: the ratio says what the reader costs against a plain XML parse of its input.
#include "display/config/dispxml_load.h"
#include "platform/drives/devroot.h"

#include <benchmark/benchmark.h>
#include <expat.h>

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
        text_ = largeDisplayXml();
        std::ofstream(host, std::ios::binary) << text_;
    }
    ~DeviceRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    size_t size() const { return text_.size(); }
    const std::string& text() const { return text_; }

private:
    std::string path_;
    std::string text_;
};

DeviceRoot* g_root = nullptr;

void XMLCALL onStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL onEnd(void*, const XML_Char*) {}
void XMLCALL onText(void*, const XML_Char*, int) {}

void BM_ExpatEmptyHandlers(benchmark::State& state) {
    const std::string& text = g_root->text();
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetElementHandler(p, onStart, onEnd);
        XML_SetCharacterDataHandler(p, onText);
        if (XML_Parse(p, text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
            state.SkipWithError(XML_ErrorString(XML_GetErrorCode(p)));
            XML_ParserFree(p);
            break;
        }
        XML_ParserFree(p);
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

BENCHMARK(BM_ExpatEmptyHandlers)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_XmlLoad)->Unit(benchmark::kMicrosecond);

// Prints the ratio of the load to the plain parse after the usual table, from the mean time of each
// one's repetitions (summary rows left out).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_None) {} // plain text, also when piped into a file
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration) continue;
            times_[r.run_name.function_name] += r.GetAdjustedRealTime();
            counts_[r.run_name.function_name] += 1;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double expat = mean("BM_ExpatEmptyHandlers");
        const double load = mean("BM_XmlLoad");
        if (expat > 0 && load > 0)
            std::printf("XmlLoad of %zu bytes / expat parsing them with empty handlers: %.2f\n",
                        g_root->size(), load / expat);
    }

private:
    double mean(const std::string& name) { return counts_[name] > 0 ? times_[name] / counts_[name] : 0; }
    std::map<std::string, double> times_, counts_;
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

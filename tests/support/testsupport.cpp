#include "testsupport.h"

#include "platform/drives/devroot.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/perturb.h"
#include "platform/rtos/rtos.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <mqueue.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <zlib.h>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/msdtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Message queues a process published here and could not remove itself (killed) go with it.
    for (const auto& e : fs::directory_iterator(path_, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("mqueue-", 0) != 0) continue;
        std::ifstream in(e.path());
        std::string device, host;
        while (in >> device >> host) mq_unlink(host.c_str());
    }
    fs::remove_all(path_, ec);
}

TempDeviceRoot::TempDeviceRoot() {
    devroot_set(path());
    std::string err;
    if (!devroot_prepare(&err)) throw std::runtime_error("device root: " + err);
}

TempDeviceRoot::~TempDeviceRoot() = default;

std::string sourceDir() {
    const char* s = std::getenv("MSD_SOURCE_DIR");
    return s ? s : MSD_SOURCE_DIR_DEFAULT;
}

std::string buildDir() {
    const char* s = std::getenv("MSD_BUILD_DIR");
    return s ? s : MSD_BUILD_DIR_DEFAULT;
}

std::string testdataPath(const std::string& rel) {
    return sourceDir() + "/tests/data/" + rel;
}

bool waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ready();
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::vector<std::string> drainSyslog() {
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    std::vector<std::string> out;
    SyslogRecord rec;
    while (q && msgQReceive(q, &rec, sizeof(rec), NO_WAIT) == ssize_t(sizeof(rec)))
        out.push_back(rec.message);
    return out;
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

long countLogged(const std::string& text, const std::string& what) {
    long n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        const size_t end = text.find('\n', at);
        const std::string rest = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const size_t counted = rest.rfind(" ... repeated ");
        n += counted == std::string::npos ? 1 : std::stol(rest.substr(counted + 14));
    }
    return n;
}

int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    int n = 0;
    for (const auto& l : lines) n += l.find(text) != std::string::npos;
    return n;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<uint8_t> readBinary(const std::string& path) {
    std::string s = readFile(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void writeFile(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

void makeDirs(const std::string& path) {
    fs::create_directories(path);
}

bool readOnly(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

std::vector<std::string> gunzipLines(const std::string& path) {
    std::vector<std::string> lines;
    gzFile f = gzopen(path.c_str(), "rb");
    if (f == nullptr) return lines;
    char buf[256];
    while (gzgets(f, buf, sizeof buf) != nullptr) lines.emplace_back(buf);
    gzclose(f);
    return lines;
}

// The numbers of the JSON array named `key`.
std::vector<double> jsonArray(const std::string& text, const std::string& key) {
    std::vector<double> out;
    size_t p = text.find('[', text.find("\"" + key + "\""));
    const size_t end = text.find(']', p);
    while (p != std::string::npos && p < end) {
        out.push_back(std::strtod(text.c_str() + p + 1, nullptr));
        p = text.find(',', p + 1);
    }
    return out;
}

int perturbMaxMs() {
    const char* value = std::getenv("MSD_PERTURB");
    if (!value || !*value) return 0;
    const char* colon = std::strchr(value, ':');
    return colon ? std::atoi(colon + 1)
                 : int(kPerturbDefaultMaxMs); // the device refuses a value it cannot read
}

} // namespace testsupport

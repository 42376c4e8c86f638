#include "caldataset.h"

#include "measdata/seram_layout.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace caldata {
namespace {

constexpr size_t kHeader = 48;
constexpr size_t kCrcAt = 44;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string defaultSourceDir() {
    const char* s = std::getenv("MSD_SOURCE_DIR");
    return s && *s ? s : MSD_CALDATA_SOURCE_DIR;
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void set32(uint8_t* p, uint32_t x) {
    p[0] = uint8_t(x >> 24);
    p[1] = uint8_t(x >> 16);
    p[2] = uint8_t(x >> 8);
    p[3] = uint8_t(x);
}

// CRC-16/MCRF4XX over the file without its CRC field.
uint16_t fileCrc(const std::vector<uint8_t>& f) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < f.size(); ++i) {
        if (i == kCrcAt || i == kCrcAt + 1) continue;
        crc ^= f[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return crc;
}

uint32_t sizeOfType(const std::string& t) {
    if (t == "uint8_t" || t == "int8_t" || t == "char") return 1;
    if (t == "uint16_t" || t == "int16_t") return 2;
    return 4; // uint32_t, int32_t, float
}

std::vector<std::string> splitArgs(const std::string& inside) {
    std::vector<std::string> out;
    std::stringstream ss(inside);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        out.push_back(item);
    }
    return out;
}

} // namespace

CalDataset::CalDataset() : CalDataset(defaultSourceDir()) {}

CalDataset::CalDataset(const std::string& sourceDir) {
    std::map<std::string, uint32_t> constants;
    std::istringstream layout(readText(sourceDir + "/modules/measdata/seram_layout.h"));
    std::string line;
    const std::string lead = "inline constexpr size_t ";
    while (std::getline(layout, line)) {
        // inline constexpr size_t SERAM_N_CAN = 4; // ...
        if (line.rfind(lead + "SERAM_N_", 0) != 0) continue;
        const size_t eq = line.find(" = ");
        constants[line.substr(lead.size(), eq - lead.size())] = uint32_t(std::stoul(line.substr(eq + 3)));
    }
    std::istringstream def(readText(sourceDir + "/modules/measdata/seram_vars.def"));
    uint32_t at = 0, sigAt = 0;
    uint32_t align = 1;
    while (std::getline(def, line)) {
        const bool cal = line.rfind("MSD_CAL(", 0) == 0;
        const bool row = line.rfind("MSD_CAL_ROW(", 0) == 0;
        const bool sig = line.rfind("MSD_SIG(", 0) == 0;
        if (!cal && !row && !sig) continue;
        const auto args = splitArgs(line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1));
        CalVariable v;
        v.type = args[1];
        v.row = row;
        v.count = constants.count(args[2]) ? constants[args[2]] : uint32_t(std::stoul(args[2]));
        if (!row) {
            v.code = uint32_t(std::stoul(args[3]));
            v.sens = std::stof(args[5]);
            v.offset = std::stof(args[6]);
        }
        if (sig) {
            const uint32_t size = sizeOfType(v.type);
            sigAt = (sigAt + size - 1) / size * size;
            v.at = sigAt;
            v.signal = true;
            sigAt += size * v.count;
            vars_[args[0]] = v;
            continue;
        }
        vars_[args[0]] = v;
        const uint32_t size = sizeOfType(v.type);
        at = (at + size - 1) / size * size;
        vars_[args[0]].at = at;
        const size_t firstDefault = row ? 3 : 7;
        for (size_t i = firstDefault; i < args.size(); ++i)
            defaults_.push_back({at + uint32_t(i - firstDefault) * size, v.type, std::stod(args[i])});
        at += size * v.count;
        align = std::max(align, size);
    }
    page_.assign((at + align - 1) / align * align, 0);
    for (const auto& d : defaults_) store(d.at, d.type, d.value);
}

uint32_t CalDataset::address(const std::string& name, uint32_t element) const {
    const CalVariable& v = vars_.at(name);
    if (element >= v.count) throw std::out_of_range(name);
    const uint32_t page = v.signal ? SERAM_SIG_OFFSET : SERAM_DATA_OFFSET;
    return SERAM_MEAS_BASE + page + v.at + element * sizeOfType(v.type);
}

void CalDataset::set(const std::string& name, uint32_t element, double value) {
    const CalVariable& v = vars_.at(name);
    if (v.signal) throw std::invalid_argument(name + " is no calibration value");
    store(v.at + element * sizeOfType(v.type), v.type, value);
}

void CalDataset::setBytes(const std::string& name, uint32_t byteOffset, const std::vector<uint8_t>& bytes) {
    const CalVariable& v = vars_.at(name);
    if (v.signal) throw std::invalid_argument(name + " is no calibration value");
    if (byteOffset + bytes.size() > sizeOfType(v.type) * v.count) throw std::out_of_range(name);
    std::memcpy(&page_[v.at + byteOffset], bytes.data(), bytes.size());
}

std::vector<uint8_t> CalDataset::bytes(const std::string& name) const {
    const CalVariable& v = vars_.at(name);
    if (v.signal) throw std::invalid_argument(name + " is no calibration value");
    const auto from = page_.begin() + v.at;
    return {from, from + sizeOfType(v.type) * v.count};
}

std::vector<uint8_t> CalDataset::file(const std::string& program, bool withPage) const {
    const std::vector<uint8_t> page = withPage ? page_ : std::vector<uint8_t>{};
    std::vector<uint8_t> f(kHeader + page.size(), 0);
    std::memcpy(f.data(), "MSDC", 4);
    f[5] = 1;
    f[7] = kHeader;
    std::memcpy(&f[8], program.data(), std::min<size_t>(program.size(), 31));
    set32(&f[40], uint32_t(page.size()));
    if (!page.empty()) std::memcpy(&f[kHeader], page.data(), page.size());
    const uint16_t crc = fileCrc(f);
    f[kCrcAt] = uint8_t(crc >> 8);
    f[kCrcAt + 1] = uint8_t(crc);
    return f;
}

bool CalDataset::load(const std::vector<uint8_t>& file, std::string* program, std::string* error) {
    if (file.size() < kHeader || std::memcmp(file.data(), "MSDC", 4) != 0 || file[4] != 0 || file[5] != 1 ||
        file[6] != 0 || file[7] != kHeader) {
        *error = "not a calibration dataset (header)";
        return false;
    }
    if (get32(&file[40]) != page_.size() || file.size() != kHeader + page_.size()) {
        *error = "data page of " + std::to_string(file.size() - kHeader) + " bytes, this layout has " +
                 std::to_string(page_.size());
        return false;
    }
    if (fileCrc(file) != uint16_t(file[kCrcAt] << 8 | file[kCrcAt + 1])) {
        *error = "CRC does not match, the dataset is damaged";
        return false;
    }
    const char* id = reinterpret_cast<const char*>(&file[8]);
    *program = std::string(id, strnlen(id, 32));
    if (!page_.empty()) std::memcpy(page_.data(), file.data() + kHeader, page_.size());
    return true;
}

void CalDataset::store(uint32_t at, const std::string& type, double value) {
    if (type == "float") {
        const float f = float(value);
        std::memcpy(&page_[at], &f, 4); // the page lies in memory in the device's order
        return;
    }
    const auto n = uint32_t(int64_t(value));
    std::memcpy(&page_[at], &n, sizeOfType(type));
}

std::string datasetPath(const std::string& root) {
    return root + "/caldata/dataset.bin";
}

namespace {

// The file a path leads to once its links are followed: the dataset is replaced there, so that a
// linked dataset stays linked. A link to nothing yet leads to the file it names.
std::string linkTarget(std::string path) {
    for (int hop = 0; hop < 40; ++hop) { // as many as the kernel follows
        struct stat st;
        char to[PATH_MAX];
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        const ssize_t n = readlink(path.c_str(), to, sizeof to);
        if (n <= 0 || size_t(n) == sizeof to) break;
        // A relative link counts from the folder that holds it.
        path = to[0] == '/' ? std::string(to, size_t(n))
                            : path.substr(0, path.rfind('/') + 1) + std::string(to, size_t(n));
    }
    return path;
}

} // namespace

bool writeDataset(const std::string& root, const std::vector<uint8_t>& bytes, std::string* error) {
    // The new file is written beside the old one and renamed over it once it is on the drive, so a
    // full drive or a cut leaves the old dataset as it was. Only the caldata folder is made: a root
    // that is not there is a wrong path.
    const std::string dir = root + "/caldata";
    const auto fail = [&](int code) {
        if (error) *error = std::strerror(code);
        return false;
    };
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return fail(errno);
    const std::string target = linkTarget(datasetPath(root));
    const std::string temp = target + "." + std::to_string(getpid()) + ".tmp";
    struct stat old;
    const bool replacing = stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(errno);
    int code = 0;
    for (size_t done = 0; done < bytes.size() && code == 0;) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n == 0 || errno != EINTR)
            code = n == 0 ? EIO : errno;
    }
    if (code == 0 && replacing && fchmod(fd, old.st_mode & 07777) != 0) code = errno;
    if (code == 0 && fsync(fd) != 0) code = errno;
    if (close(fd) != 0 && code == 0) code = errno;
    if (code == 0 && rename(temp.c_str(), target.c_str()) != 0) code = errno;
    if (code != 0) {
        unlink(temp.c_str());
        return fail(code);
    }
    const std::string targetDir = target.substr(0, target.rfind('/') + 1) + ".";
    const int dirFd = open(targetDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); // the rename itself
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool readDataset(const std::string& root, std::vector<uint8_t>* bytes, std::string* error) {
    error->clear();
    const int fd = open(datasetPath(root).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) *error = std::strerror(errno);
        return false;
    }
    bytes->clear();
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes->insert(bytes->end(), chunk, chunk + n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            *error = std::strerror(errno);
            break;
        }
    }
    close(fd);
    return error->empty();
}

// The lock is on the caldata folder, not on the dataset: a write replaces the file, and a lock on the
// old one would not hold back a holder that opens the new one.
DatasetLock::DatasetLock(const std::string& root, const std::function<void()>& waiting) {
    const std::string dir = root + "/caldata";
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        error_ = std::strerror(errno);
        return;
    }
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    if (errno == EWOULDBLOCK && waiting) waiting();
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error_ = std::strerror(errno);
            return;
        }
    }
}

DatasetLock::~DatasetLock() {
    if (fd_ >= 0) close(fd_); // lets go of the lock
}

} // namespace caldata

#include "xml/xmlfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/drives/devroot.h"

namespace {

// Texts that name the file need a home that outlives the throw, one per thread.
[[noreturn]] void raiseNamed(const char* text, const char* fileName) {
    thread_local char buffer[254];
    std::snprintf(buffer, sizeof buffer, "%s%s", text, fileName != nullptr ? fileName : "");
    throw static_cast<const char*>(buffer);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

} // namespace

XmlFile::XmlFile(const char* fileName) {
    if (fileName == nullptr) raiseNamed("File not found : ", fileName);
    std::unique_ptr<FILE, FileCloser> file(dev_fopen(fileName, "rb"));
    if (!file) {
        if (errno == ENOENT || errno == ENOTDIR) raiseNamed("File not found : ", fileName);
        throw "File open error";
    }
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0) throw "File open error";
    if (!S_ISREG(st.st_mode)) raiseNamed("File not found : ", fileName);
    if (st.st_size < 1) raiseNamed("File not found, len invalid : ", fileName);

    const size_t length = static_cast<size_t>(st.st_size);
    std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(std::malloc(length + 1)));
    if (!text) throw "Out of memory error";
    if (std::fread(text.get(), 1, length, file.get()) != length) throw "File open error";
    text.get()[length] = '\0';

    // expat copies the text at once; ours is not needed beyond this point.
    scanner_ = std::make_unique<XmlScan>(text.get());
}

XmlFile::~XmlFile() = default;

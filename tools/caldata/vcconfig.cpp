// vcconfig: writes calibration values and calculation-channel entries into the calibration dataset
// of a device root, from a readable text form, so that no calibration tool is needed to configure
// the device's roles and its formula, condition and lap channels.
//
//   vcconfig <device root> <text file, or - for standard input> [--program <identifier>]
//
// The device root must exist. The dataset in <root>/caldata/dataset.bin is read (it must be an
// intact dataset of this build's layout, and of the program given, if one is), the values and
// channel entries named are replaced and the dataset is written back: beside the old one first,
// which it replaces only once complete, with the old one's mode, and through a link where the
// dataset is one. Runs on one root at the same time take their turns, each once it has read its
// whole text, and a run that waits for another's turn says so. Without a dataset one is made
// from the variable list's defaults, for this build's program identifier or the one given. Any
// error in the text writes nothing.
//
// One value or channel per line ('#' starts a comment):
//
//   value <name> <value>
//
//   name     a calibration value of the variable list (modules/measdata/seram_vars.def), an array
//            element as NAME[i]; each at most once in a text
//   value    an integer (decimal, or hex as 0x..; a sign '-' or '+' in front) within the range of
//            the value's type, or a number for a float (up to 3.4028235e38 in size, and not one
//            that only a 0 would hold, such as 1e-50); channel fields take floats alike
//
//   channel <n> <kind> [raster <index>] [in1..in4 <input>]... [program <hex bytes>...]
//
//   n        channel number 0..255; its value is read at measurement address (31 << 18) | (n << 8);
//            each at most once in a text. A lapfunc, fuelcons or gpsseg channel also takes the
//            channel numbers after it for its extension records (9, 1 and 4 records in all), which
//            no other channel of the text or the dataset may hold; a channel given anew drops the
//            extension records it had.
//   kind     formula, condition, filter-a (256), filter-b (257), a module id in hex (0x..), or off;
//            lapfunc, fuelcons and gpsseg take fields of their own (vcconfig_model.cpp) and are
//            named, never given by their module id
//   raster   raster index 0..19 of the channel (default 3, 10 ms)
//   input    NAME or NAME[i]   a calibration value or a measurement variable of the signal page
//                              (its type from the variable list)
//            calc:<m>          the value of calculation channel m (read as single precision)
//            0xADDR:<code>     any measurement address of this device with its raw type code 0..7
//   program  the rest of the line: RPN instructions in hex, spaces anywhere
//            (e.g. "03 01000000 03 00000000 A6 00000000 FF", an evaluation counter)
#include "caldataset.h"
#include "vcconfig_parse.h"
#include "vcconfig_table.h"

#include "calc/awm_vc_config.h"
#include "measdata/seram_layout.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace vcconfig;

void parseProgram(std::istringstream& in, awm_vc_entry* e) {
    std::string hex, word;
    while (in >> word) hex += word;
    if (hex.size() % 2 != 0) throw Fault{"program has an odd number of hex digits"};
    if (hex.size() / 2 > AWM_VC_PROGRAM_SIZE)
        throw Fault{"program of " + std::to_string(hex.size() / 2) + " bytes, at most " +
                    std::to_string(AWM_VC_PROGRAM_SIZE)};
    for (size_t i = 0; i < hex.size(); i += 2)
        e->program[i / 2] = uint8_t(number("0x" + hex.substr(i, 2), 0xFF, "program byte"));
    e->programLength = uint8_t(hex.size() / 2);
}

enum class Read { number, notNumber, tooLarge };

// An integer as written in a value line: decimal or 0x.. hex, with a leading '-' or '+'.
Read integer(const std::string& text, int64_t* out) {
    const bool negative = !text.empty() && text[0] == '-';
    const bool hasSign = negative || (!text.empty() && text[0] == '+');
    std::string digits = hasSign ? text.substr(1) : text;
    int base = 10;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
        base = 16;
        digits.erase(0, 2);
    }
    uint64_t v = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, ec] = std::from_chars(digits.data(), end, v, base);
    if (digits.empty() || stop != end || ec == std::errc::invalid_argument) return Read::notNumber;
    if (ec != std::errc{} || v > (uint64_t(1) << 32)) return Read::tooLarge;
    *out = negative ? -int64_t(v) : int64_t(v);
    return Read::number;
}

// The value of a line in the range of the calibration value's type.
double typedValue(const caldata::CalVariable& v, const std::string& text, const std::string& name) {
    const std::string what = "value " + quoted(text) + " of " + shown(name);
    if (v.type == "float") return real(text, what);
    struct Range {
        const char* type;
        int64_t min, max;
    };
    static constexpr Range kRanges[] = {
        {"uint8_t", 0, 0xFF},
        {"int8_t", -0x80, 0x7F},
        {"char", -0x80, 0x7F},
        {"uint16_t", 0, 0xFFFF},
        {"int16_t", -0x8000, 0x7FFF},
        {"uint32_t", 0, 0xFFFFFFFF},
        {"int32_t", -0x80000000LL, 0x7FFFFFFF},
    };
    for (const Range& r : kRanges) {
        if (v.type != r.type) continue;
        int64_t x = 0;
        const Read read = integer(text, &x);
        if (read == Read::notNumber) throw Fault{what + " is not a number"};
        if (read == Read::tooLarge || x < r.min || x > r.max)
            throw Fault{what + " does not fit its type " + r.type + " (" + std::to_string(r.min) + " to " +
                        std::to_string(r.max) + ")"};
        return double(x);
    }
    throw Fault{quoted(name) + " has the type " + v.type + ", which a value line cannot write"};
}

// "value <name> <value>": the calibration value into the data page. `named` holds the line that set
// each element so far.
void parseValue(caldata::CalDataset& data, std::istringstream& in, int lineNo,
                std::map<std::string, int>* named) {
    std::string text, value, extra;
    if (!(in >> text >> value)) throw Fault{"'value' needs a name and a value"};
    if (in >> extra) throw Fault{"'value' takes one value, " + quoted(extra) + " is left over"};
    std::string name;
    uint32_t element = 0;
    const bool indexed = nameAndElement(text, &name, &element);
    if (!data.has(name) || data.var(name).row) throw Fault{"unknown calibration value " + quoted(name)};
    const caldata::CalVariable& v = data.var(name);
    if (v.signal) throw Fault{"'" + name + "' is a measurement variable, not a calibration value"};
    if (name == "CfgMat_VC_config")
        throw Fault{"'" + name + "' is the channel table: write it with channel lines"};
    if (!indexed && v.count > 1)
        throw Fault{"'" + name + "' has " + std::to_string(v.count) + " elements: give one as " + name +
                    "[i]"};
    if (element >= v.count)
        throw Fault{quoted(text) + " is beyond the " + std::to_string(v.count) + " elements"};
    const double x = typedValue(v, value, text);
    const auto [first, fresh] = named->emplace(name + "[" + std::to_string(element) + "]", lineNo);
    if (!fresh)
        throw Fault{quoted(text) + " is given twice (line " + std::to_string(first->second) + " sets it)"};
    data.set(name, element, x);
}

// "channel ...": the records of the channel and its number.
void parseChannel(const caldata::CalDataset& data, std::istringstream& in, uint32_t* channel,
                  std::vector<uint8_t>* records) {
    std::string word;
    std::string n, kind;
    if (!(in >> n >> kind)) throw Fault{"'channel' needs a number and a kind"};
    *channel = number(n, AWM_VC_CHANNELS - 1, "channel");
    records->assign(AWM_VC_RECORD_SIZE, 0);
    if (parseModelChannel(data, kind, AWM_VC_RASTER_PRESET, in, records)) {
        if (*channel + records->size() / AWM_VC_RECORD_SIZE > AWM_VC_CHANNELS)
            throw Fault{"a " + kind + " channel takes " +
                        std::to_string(records->size() / AWM_VC_RECORD_SIZE) + " records: channel " +
                        std::to_string(*channel) + " is too high"};
        return;
    }
    awm_vc_entry e;
    e.module = moduleOf(kind);
    while (in >> word) {
        if (word == "program") {
            parseProgram(in, &e);
            break;
        }
        std::string value;
        if (!(in >> value)) throw Fault{quoted(word) + " needs a value"};
        if (word == "raster") {
            e.raster = uint8_t(number(value, AWM_VC_RASTERS - 1, "raster index"));
        } else if (word.size() == 3 && word.rfind("in", 0) == 0 && word[2] >= '1' && word[2] <= '4') {
            const int i = word[2] - '1';
            parseInput(data, value, &e.input[i], &e.inputType[i]);
        } else {
            throw Fault{"unknown field " + quoted(word)};
        }
    }
    const bool programmed = e.module == AWM_MODULE_FORMULA || e.module == AWM_MODULE_CONDITION;
    if (programmed && e.programLength < 5)
        throw Fault{"a " + kind + " channel needs a program of 5 bytes or more"};
    if (e.module == AWM_MODULE_NONE) { // an unused record is all zeros
        e = awm_vc_entry{};
        e.raster = 0;
    }
    awm_vc_encode(e, records->data());
}

// The whole text of `name` ("-": standard input); false with the reason when it cannot be read
// (a folder given as the text, say), which must not pass for an empty text.
bool readText(const char* name, std::string* text, std::string* error) {
    const bool stdinput = std::strcmp(name, "-") == 0;
    const int fd = stdinput ? 0 : open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    char buf[65536];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text->append(buf, size_t(n));
    if (n < 0) *error = std::strerror(errno);
    if (!stdinput) close(fd);
    return n == 0;
}

int usage() {
    std::fprintf(stderr, "usage: vcconfig <device root> <channel file|-> [--program <identifier>]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--program") == 0)) return usage();
    const std::string root = argv[1];
    // A full drive must not end the tool before it says so: the write fails with EFBIG instead.
    std::signal(SIGXFSZ, SIG_IGN);
    // A mistyped root must not become a new device root.
    struct stat st;
    const bool there = stat(root.c_str(), &st) == 0;
    if (!there || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "vcconfig: device root %s %s\n", root.c_str(),
                     there             ? "is not a folder"
                     : errno == ENOENT ? "does not exist"
                                       : std::strerror(errno));
        return 1;
    }
    try {
        caldata::CalDataset data;
        std::string program = argc == 5 ? argv[4] : "";
        std::vector<uint8_t> file;
        const std::string path = caldata::datasetPath(root);
        // The whole text first: a run whose input is slow to come must not hold the others up.
        std::string textRead, readError;
        if (!readText(argv[2], &textRead, &readError)) {
            std::fprintf(stderr, "vcconfig: cannot read %s: %s\n",
                         std::strcmp(argv[2], "-") == 0 ? "standard input" : argv[2], readError.c_str());
            return 1;
        }
        // Held until the end: a run at the same time reads the dataset only once this one wrote it.
        const caldata::DatasetLock lock(root, [&] {
            std::fprintf(stderr, "vcconfig: waiting for another vcconfig run on %s/caldata ...\n",
                         root.c_str());
        });
        if (!lock.error().empty()) {
            std::fprintf(stderr, "vcconfig: cannot write %s: %s\n", path.c_str(), lock.error().c_str());
            return 1;
        }
        std::string error;
        const bool stored = caldata::readDataset(root, &file, &error);
        if (!error.empty()) { // there but unreadable: not made anew over it
            std::fprintf(stderr, "vcconfig: cannot read %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        if (stored) {
            std::string storedProgram;
            if (!data.load(file, &storedProgram, &error)) {
                std::fprintf(stderr, "vcconfig: %s: %s\n", path.c_str(), error.c_str());
                return 1;
            }
            // The device takes only a dataset of its own program: another one would not re-target
            // this dataset but make the device ignore it.
            if (!program.empty() && program != storedProgram) {
                std::fprintf(stderr,
                             "vcconfig: %s is for program '%s', not '%s' as --program gives (the dataset "
                             "there is unchanged)\n",
                             path.c_str(), storedProgram.c_str(), shown(program).c_str());
                return 1;
            }
            program = storedProgram;
        } else if (program.empty()) {
            program = SERAM_PROGRAM_IDENTIFIER;
        }

        std::istringstream text(textRead);
        std::string line;
        int lineNo = 0;
        std::map<std::string, int> values; // element -> line that sets it
        vcconfig::ChannelTable channels(data.bytes("CfgMat_VC_config"));
        while (std::getline(text, line)) {
            ++lineNo;
            std::istringstream in(line.substr(0, line.find('#')));
            std::string word;
            if (!(in >> word)) continue;
            try {
                if (word == "value") {
                    parseValue(data, in, lineNo, &values);
                } else if (word == "channel") {
                    uint32_t channel = 0;
                    std::vector<uint8_t> records;
                    parseChannel(data, in, &channel, &records);
                    channels.add(lineNo, channel, std::move(records));
                } else {
                    throw Fault{"a line starts with 'value' or 'channel', not " + quoted(word)};
                }
            } catch (const Fault& f) {
                std::fprintf(stderr, "vcconfig: line %d: %s\n", lineNo, f.text.c_str());
                return 1;
            }
        }
        try {
            channels.checkDataset();
        } catch (const Fault& f) {
            std::fprintf(stderr, "vcconfig: line %d: %s\n", f.line, f.text.c_str());
            return 1;
        }
        data.setBytes("CfgMat_VC_config", 0, channels.result());
        if (!caldata::writeDataset(root, data.file(program), &error)) {
            std::fprintf(stderr, "vcconfig: cannot write %s: %s%s\n", path.c_str(), error.c_str(),
                         stored ? " (the dataset there is unchanged)" : "");
            return 1;
        }
        std::printf("vcconfig: %zu values and %zu channel entries written to %s\n", values.size(),
                    channels.size(), path.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcconfig: %s\n", e.what());
        return 1;
    }
}

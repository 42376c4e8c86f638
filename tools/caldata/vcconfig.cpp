// vcconfig: writes calculation-channel entries into the calibration dataset of a device root, from
// a readable text form, so that no calibration tool is needed to configure formula and condition
// channels.
//
//   vcconfig <device root> <channel file, or - for standard input> [--program <identifier>]
//
// The dataset in <root>/caldata/dataset.bin is read (it must be an intact dataset of this build's
// layout), the channel entries are replaced and the dataset is written back; without a dataset one
// is made from the variable list's defaults for the program identifier given. Any error in the
// text writes nothing.
//
// One channel per line ('#' starts a comment):
//
//   channel <n> <kind> [raster <index>] [in1..in4 <input>]... [program <hex bytes>...]
//
//   n        channel number 0..255; its value is read at measurement address (31 << 18) | (n << 8)
//   kind     formula, condition, filter-a (256), filter-b (257), a module id in hex (0x..), or off
//   raster   raster index 0..19 of the channel (default 3, 10 ms)
//   input    NAME or NAME[i]   a calibration value (its type from the variable list)
//            calc:<m>          the value of calculation channel m (read as single precision)
//            0xADDR:<code>     any measurement address of this device with its raw type code 0..7
//   program  the rest of the line: RPN instructions in hex, spaces anywhere
//            (e.g. "03 01000000 03 00000000 A6 00000000 FF", an evaluation counter)
#include "caldataset.h"

#include "calc/awm_vc_config.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Fault {
    std::string text;
};

uint32_t number(const std::string& text, uint32_t max, const char* what) {
    try {
        size_t used = 0;
        const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
        const unsigned long v = std::stoul(text, &used, hex ? 16 : 10); // "010" is ten, not eight
        if (used == text.size() && v <= max) return uint32_t(v);
    } catch (const std::exception&) {
    }
    throw Fault{std::string(what) + " '" + text + "' is not a number up to " + std::to_string(max)};
}

uint16_t moduleOf(const std::string& kind) {
    if (kind == "formula") return AWM_MODULE_FORMULA;
    if (kind == "condition") return AWM_MODULE_CONDITION;
    if (kind == "filter-a") return 256;
    if (kind == "filter-b") return 257;
    if (kind == "off") return AWM_MODULE_NONE;
    if (kind.rfind("0x", 0) == 0) return uint16_t(number(kind, 0xFFFF, "module id"));
    throw Fault{"unknown channel kind '" + kind + "'"};
}

void parseInput(const caldata::CalDataset& data, const std::string& text, uint32_t* address, uint8_t* type) {
    if (text.rfind("calc:", 0) == 0) {
        *address = awm_vc_address(number(text.substr(5), AWM_VC_CHANNELS - 1, "channel"));
        *type = 6;
        return;
    }
    if (text.rfind("0x", 0) == 0) {
        const size_t colon = text.find(':');
        if (colon == std::string::npos)
            throw Fault{"address '" + text + "' needs its type code (0xADDR:code)"};
        *address = number(text.substr(0, colon), 0xFFFFFFFFu, "address");
        *type = uint8_t(number(text.substr(colon + 1), 7, "type code"));
        return;
    }
    std::string name = text;
    uint32_t element = 0;
    const size_t open = text.find('[');
    if (open != std::string::npos) {
        if (text.back() != ']') throw Fault{"input '" + text + "' lacks its ']'"};
        name = text.substr(0, open);
        element = number(text.substr(open + 1, text.size() - open - 2), 0xFFFFFFFFu, "element");
    }
    if (!data.has(name)) throw Fault{"'" + name + "' is not a calibration value"};
    const caldata::CalVariable& v = data.var(name);
    if (element >= v.count)
        throw Fault{"'" + text + "' is beyond the " + std::to_string(v.count) + " elements"};
    *address = data.address(name, element);
    *type = uint8_t(v.code);
}

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

// One line into `e` and its channel number; false for a blank or comment line.
bool parseLine(const caldata::CalDataset& data, const std::string& line, uint32_t* channel, awm_vc_entry* e) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::string word;
    if (!(in >> word)) return false;
    if (word != "channel") throw Fault{"a line starts with 'channel', not '" + word + "'"};
    std::string n, kind;
    if (!(in >> n >> kind)) throw Fault{"'channel' needs a number and a kind"};
    *channel = number(n, AWM_VC_CHANNELS - 1, "channel");
    *e = awm_vc_entry{};
    e->module = moduleOf(kind);
    while (in >> word) {
        if (word == "program") {
            parseProgram(in, e);
            break;
        }
        std::string value;
        if (!(in >> value)) throw Fault{"'" + word + "' needs a value"};
        if (word == "raster") {
            e->raster = uint8_t(number(value, AWM_VC_RASTERS - 1, "raster index"));
        } else if (word.size() == 3 && word.rfind("in", 0) == 0 && word[2] >= '1' && word[2] <= '4') {
            const int i = word[2] - '1';
            parseInput(data, value, &e->input[i], &e->inputType[i]);
        } else {
            throw Fault{"unknown field '" + word + "'"};
        }
    }
    const bool programmed = e->module == AWM_MODULE_FORMULA || e->module == AWM_MODULE_CONDITION;
    if (programmed && e->programLength < 5)
        throw Fault{"a " + kind + " channel needs a program of 5 bytes or more"};
    if (e->module == AWM_MODULE_NONE) { // an unused record is all zeros
        *e = awm_vc_entry{};
        e->raster = 0;
    }
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: vcconfig <device root> <channel file|-> [--program <identifier>]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--program") == 0)) return usage();
    const std::string root = argv[1];
    try {
        caldata::CalDataset data;
        std::string program = argc == 5 ? argv[4] : "";
        std::vector<uint8_t> file;
        if (caldata::readDataset(root, &file)) {
            std::string stored, error;
            if (!data.load(file, &stored, &error)) {
                std::fprintf(stderr, "vcconfig: %s: %s\n", caldata::datasetPath(root).c_str(), error.c_str());
                return 1;
            }
            if (program.empty()) program = stored;
        } else if (program.empty()) {
            std::fprintf(stderr, "vcconfig: no dataset in %s: give the program identifier (--program)\n",
                         root.c_str());
            return 1;
        }

        std::ifstream named;
        if (std::strcmp(argv[2], "-") != 0) {
            named.open(argv[2]);
            if (!named) {
                std::fprintf(stderr, "vcconfig: cannot read %s\n", argv[2]);
                return 1;
            }
        }
        std::istream& text = std::strcmp(argv[2], "-") == 0 ? std::cin : named;
        std::string line;
        int lineNo = 0, written = 0;
        while (std::getline(text, line)) {
            ++lineNo;
            uint32_t channel = 0;
            awm_vc_entry e;
            try {
                if (!parseLine(data, line, &channel, &e)) continue;
            } catch (const Fault& f) {
                std::fprintf(stderr, "vcconfig: line %d: %s\n", lineNo, f.text.c_str());
                return 1;
            }
            std::vector<uint8_t> record(AWM_VC_RECORD_SIZE);
            awm_vc_encode(e, record.data());
            data.setBytes("CfgMat_VC_config", channel * AWM_VC_RECORD_SIZE, record);
            ++written;
        }
        if (!caldata::writeDataset(root, data.file(program))) {
            std::fprintf(stderr, "vcconfig: cannot write %s\n", caldata::datasetPath(root).c_str());
            return 1;
        }
        std::printf("vcconfig: %d channel entries written to %s\n", written,
                    caldata::datasetPath(root).c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vcconfig: %s\n", e.what());
        return 1;
    }
}

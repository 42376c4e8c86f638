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
//   kind     formula, condition, filter-a (256), filter-b (257), a module id in hex (0x..), or off;
//            lapfunc, fuelcons and gpsseg take fields of their own (vcconfig_model.cpp)
//   raster   raster index 0..19 of the channel (default 3, 10 ms)
//   input    NAME or NAME[i]   a calibration value or a measurement variable of the signal page
//                              (its type from the variable list)
//            calc:<m>          the value of calculation channel m (read as single precision)
//            0xADDR:<code>     any measurement address of this device with its raw type code 0..7
//   program  the rest of the line: RPN instructions in hex, spaces anywhere
//            (e.g. "03 01000000 03 00000000 A6 00000000 FF", an evaluation counter)
#include "caldataset.h"
#include "vcconfig_parse.h"

#include "calc/awm_vc_config.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
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

// One line into the records of its channel and the channel number; false for a blank or comment
// line.
bool parseLine(const caldata::CalDataset& data, const std::string& line, uint32_t* channel,
               std::vector<uint8_t>* records) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::string word;
    if (!(in >> word)) return false;
    if (word != "channel") throw Fault{"a line starts with 'channel', not '" + word + "'"};
    std::string n, kind;
    if (!(in >> n >> kind)) throw Fault{"'channel' needs a number and a kind"};
    *channel = number(n, AWM_VC_CHANNELS - 1, "channel");
    records->assign(AWM_VC_RECORD_SIZE, 0);
    if (parseModelChannel(data, kind, AWM_VC_RASTER_PRESET, in, records)) {
        if (*channel + records->size() / AWM_VC_RECORD_SIZE > AWM_VC_CHANNELS)
            throw Fault{"a " + kind + " channel takes " +
                        std::to_string(records->size() / AWM_VC_RECORD_SIZE) + " records: channel " + n +
                        " is too high"};
        return true;
    }
    awm_vc_entry e;
    e.module = moduleOf(kind);
    while (in >> word) {
        if (word == "program") {
            parseProgram(in, &e);
            break;
        }
        std::string value;
        if (!(in >> value)) throw Fault{"'" + word + "' needs a value"};
        if (word == "raster") {
            e.raster = uint8_t(number(value, AWM_VC_RASTERS - 1, "raster index"));
        } else if (word.size() == 3 && word.rfind("in", 0) == 0 && word[2] >= '1' && word[2] <= '4') {
            const int i = word[2] - '1';
            parseInput(data, value, &e.input[i], &e.inputType[i]);
        } else {
            throw Fault{"unknown field '" + word + "'"};
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
            std::vector<uint8_t> records;
            try {
                if (!parseLine(data, line, &channel, &records)) continue;
            } catch (const Fault& f) {
                std::fprintf(stderr, "vcconfig: line %d: %s\n", lineNo, f.text.c_str());
                return 1;
            }
            data.setBytes("CfgMat_VC_config", channel * AWM_VC_RECORD_SIZE, records);
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

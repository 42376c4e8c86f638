// The logging configuration of one measurement instance (m01, m02 telemetry, m03): its blocks of
// measurement addresses with raster and conditions, its condition records, names of the project
// that made it and, for telemetry, the link settings. Loaded from "cfg:/m0N.xml" or the compact
// big-endian "cfg:/m0N.dat" (the XML file wins when both exist); a faulty file gives no
// configuration at all, never a partial one.
#pragma once

#include <cstddef>
#include <cstdint>

class ChanData;

enum measType : int { MEAS_M01 = 0, MEAS_M02 = 1, MEAS_M03 = 2 };

inline constexpr int MEAS_TEXT_LEN = 1024;  // texts: 1023 characters and the NUL
inline constexpr int MEAS_LIST_WORDS = 256; // words of a block's copy-sequence list
inline constexpr int MEAS_MAX_BLOCKS = 255;
inline constexpr int MEAS_MAX_CONDITIONS = 62; // condition FIFOs 0-61 of m01 meet m03's 62-123
inline constexpr int MEAS_MAX_SEQS = 20;       // copy sequences of a block (XML)
inline constexpr int MEAS_MAX_SEQ_ADDRS = 200; // addresses of a copy sequence (XML)
inline constexpr int MEAS_MAX_ELEMENT_SIZE = 511;

// Raster codes of the blocks.
enum : uint32_t {
    MEAS_RASTER_1MS = 0,
    MEAS_RASTER_10MS = 3,
    MEAS_RASTER_1S = 9,
    MEAS_RASTER_SYNC = 10,
    MEAS_RASTER_LAP = 11,
    MEAS_RASTER_SBLAP = 12,
    MEAS_RASTER_5US = 14,
    MEAS_RASTER_500US = 18,
    MEAS_RASTER_NONE = 19,
};
// Samples collected into one record: the microsecond rasters fill one record per millisecond.
uint16_t meas_app_samplesPerRecord(uint32_t raster);

// Telemetry link settings (`teleInfo`).
struct tele_config {
    uint32_t baudrate;
    uint32_t DataRate;
    uint32_t projectCode;
    uint32_t ipAddress; // of the telemetry peer, network byte order; 0 = none
    uint16_t TelePort;
    uint8_t TelemetrieMode; // 0 "VX40" serial module, 1 "GSM", 2 "ETHERNET"
    uint8_t pause;
    uint8_t SoftwareID;
    ChanData* lapdist; // the channels, null when absent; released with the configuration
    ChanData* GPSLat;
    ChanData* GPSLong;
    ChanData* StartCond;
};

// One block, or one condition record.
struct MeasBlkInfo {
    uint32_t measList[MEAS_LIST_WORDS]; // copy sequences for the gateway: header, addresses, 0; a final 0
    uint8_t addrSize[MEAS_LIST_WORDS];  // bytes of each address in list order
    uint32_t measListLen;               // bytes of measList in use, end words included
    uint32_t recordSize;                // 4 + samplesPerRecord x bytes of one sample
    uint32_t numAddr;
    char name[MEAS_TEXT_LEN]; // condition records: "CondBlk #n"
    uint32_t raster;
    uint16_t pid;       // device the block is read from
    uint64_t condMask;  // conditions the block depends on (bit n = condition n); 0 = none
    uint16_t condFlags; // 1 for XML blocks, 0 for condition records, as stored in the compact form
    uint16_t true_div;  // divider while the block's condition is true
    uint16_t false_div; // divider while it is false
    uint16_t blockNo;   // index + 1; 0 for condition records
    uint16_t tele_blk;  // telemetry block slot, 0xFFFF none
    uint16_t reserved;
    uint16_t pretrigger; // condition records: uncertainty time in ms
    uint16_t cnt4;       // addresses in sequences aligned to 4
    uint16_t cnt2;       // num of the last sequence aligned to 2
    uint16_t cnt1;       // num of the last sequence aligned to 1
    uint16_t samplesPerRecord;
};

struct MEASConfiguration {
    char ident[MEAS_TEXT_LEN];
    char projectFileName[MEAS_TEXT_LEN];
    char asapName[MEAS_TEXT_LEN];
    char pstName[MEAS_TEXT_LEN];
    char userInfo[MEAS_TEXT_LEN];
    uint16_t protocol; // non-zero: a telemetry configuration
    tele_config* teleInfo;
    uint32_t teleInfoSize;  // sizeof(tele_config) when teleInfo is set, else 0
    MeasBlkInfo* BlkInfo;   // num_blocks records, by block index
    MeasBlkInfo* Conds_ptr; // num_conditions records, by condition index
    uint16_t num_blocks;
    uint16_t num_conditions;
    uint64_t globStartMask; // conditions forming the global start condition
    uint16_t globStartCond; // 1 when a global start condition is configured
    float preTriggerTime;   // seconds, 0 = none
};

// The configuration of instance `index` (0..2) from its XML or compact file; null (logged) when
// there is none or it is faulty. `length` gets the length of the file read.
MEASConfiguration* meas_app_get_MEASConfiguration(int index, size_t* length);
// Decodes a compact configuration: `buffer` holds `length` bytes and a terminating zero byte (as
// fload gives it). On failure the buffer is freed here (and null returned); on success the caller
// frees it. `index` is not used in decoding.
MEASConfiguration* meas_app_load(int index, char* buffer, size_t length);
// Builds a block's list from `count` copy sequences at `data` (`available` bytes up to the end of
// the file). 0, or -1 (logged, record unusable) for a sequence that leaves the file or the list,
// or has element size 0.
int meas_app_convert_seq2MeasList(uint16_t blockNo, const uint8_t* data, uint16_t count, MeasBlkInfo* record,
                                  size_t available);
// Reads a big-endian constant of 2 bytes (size 2), 4 bytes (size 4) or 1 byte (other sizes); the
// pointer behind it.
const uint8_t* parsePackedConst(const uint8_t* p, uint32_t size, uint32_t* value);
// Frees the configuration with its telemetry channels; null is accepted.
void meas_app_free_MEASConfiguration(MEASConfiguration* configuration);
void meas_app_free_teleConfig(tele_config* teleInfo);
// The raw configuration data set of m01 ("cfg:/m01.dcp") or m03 ("cfg:/m03.dcp") as loaded; m02
// sets the length to 0. Null when missing; the caller frees it.
char* meas_app_get_DCPConfiguration(int index, size_t* length);

// The XML entry: `xmlText` the instance's file, `noCheckText` that of "cfg:/no_check.xml" or null.
// Null (logged) on any fault; the caller frees both texts.
MEASConfiguration* meas_app_xml_load(int index, const char* xmlText, const char* noCheckText);

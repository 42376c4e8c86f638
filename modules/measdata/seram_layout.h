// Layout of the calibration memory window, built from the variable list (seram_vars.def).
//
// Window offset     measurement address   content
// 0x00000-0x1FFFF   0x25000000-0x2501FFFF  reference page image: header, identification string at
//                                          0x20, calibration data page from 0x44
// 0x20000-0x3FFFF   0x25020000-0x2503FFFF  working page image, same layout
// 0x40000-0x4FFFF   0x25040000-0x2504FFFF  signal page (measurement variables)
// 0x50000-0x5FFFF   0x25050000-0x2505FFFF  adaptation page
//
// A calibration value is read at its reference-page address plus `seramActiveOffset`, which is 0
// (reference page) or SERAM_WORK_OFFSET (working page).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Table sizes of the calibration data page.
inline constexpr size_t SERAM_N_VC_CONFIG = 32768; // calculation-channel configuration records
inline constexpr size_t SERAM_N_BOARD_CHAN = 64;   // board input channels
inline constexpr size_t SERAM_N_CAN = 4;           // CAN controllers
inline constexpr size_t SERAM_N_CANIN_MB = 128;    // CAN input message buffers
inline constexpr size_t SERAM_N_CANIN_CH = 1000;   // CAN input channels
inline constexpr size_t SERAM_N_CANOUT_MB = 64;    // CAN output messages
inline constexpr size_t SERAM_N_CANOUT_CH = 512;   // CAN output channels
inline constexpr size_t SERAM_N_MR_CHAN = 256;     // CCP/XCP master channels
inline constexpr size_t SERAM_N_MR_DAQ = 8;        // CCP/XCP master acquisition lists

inline constexpr uint32_t SERAM_MEAS_BASE = 0x25000000u; // measurement address of window offset 0
inline constexpr uint32_t SERAM_EPK_OFFSET = 0x20;
inline constexpr uint32_t SERAM_EPK_SIZE = 32;
// The identification string of this program's calibration image (14 bytes with its NUL); a dataset
// made for another identifier is not loaded.
inline constexpr char SERAM_PROGRAM_IDENTIFIER[] = "MSD_APPL_0100";
inline constexpr uint32_t SERAM_DATA_OFFSET = 0x44;
inline constexpr uint32_t SERAM_IMAGE_SLOT = 0x20000;
inline constexpr uint32_t SERAM_WORK_OFFSET = 0x20000;
inline constexpr uint32_t SERAM_SIG_OFFSET = 0x40000;
inline constexpr uint32_t SERAM_ADP_OFFSET = 0x50000;
inline constexpr uint32_t SERAM_PAGE_SLOT = 0x10000;
inline constexpr uint32_t SERAM_WINDOW_SIZE = 0x60000;

// One variable: a scalar, or an array for a count above 1.
template <typename T, size_t N> struct SeramCellOf { using type = std::array<T, N>; };
template <typename T> struct SeramCellOf<T, 1> { using type = T; };
template <typename T, size_t N> using SeramCell = typename SeramCellOf<T, N>::type;

struct SeramCalData {
#define MSD_CAL(name, type, count, ...) SeramCell<type, count> name;
#define MSD_CAL_ROW(name, type, count, ...) SeramCell<type, count> name;
#include "measdata/seram_vars.def"
};

struct SeramSigPage {
#define MSD_SIG(name, type, count, ...) SeramCell<type, count> name;
#include "measdata/seram_vars.def"
};

struct SeramAdpPage {
#define MSD_ADP(name, type, count, ...) SeramCell<type, count> name;
#include "measdata/seram_vars.def"
};

// One calibration page image: what a page switch or a dataset exchanges is `data`.
struct SeramImage {
    uint8_t header[SERAM_EPK_OFFSET];
    char epk[SERAM_EPK_SIZE]; // identification string, NUL-terminated
    uint8_t reserved[SERAM_DATA_OFFSET - SERAM_EPK_OFFSET - SERAM_EPK_SIZE];
    SeramCalData data;
};

// A page in its fixed-size slot of the window.
template <typename Page, size_t Size> union SeramSlot {
    Page page;
    uint8_t bytes[Size];
};

struct SeramWindow {
    SeramSlot<SeramImage, SERAM_IMAGE_SLOT> ref;
    SeramSlot<SeramImage, SERAM_IMAGE_SLOT> work;
    SeramSlot<SeramSigPage, SERAM_PAGE_SLOT> sig;
    SeramSlot<SeramAdpPage, SERAM_PAGE_SLOT> adp;
};

static_assert(offsetof(SeramImage, epk) == SERAM_EPK_OFFSET);
static_assert(offsetof(SeramImage, data) == SERAM_DATA_OFFSET);
static_assert(sizeof(SeramImage) <= SERAM_IMAGE_SLOT);
static_assert(sizeof(SeramSigPage) <= SERAM_PAGE_SLOT);
static_assert(sizeof(SeramAdpPage) <= SERAM_PAGE_SLOT);
static_assert(offsetof(SeramWindow, work) == SERAM_WORK_OFFSET);
static_assert(offsetof(SeramWindow, sig) == SERAM_SIG_OFFSET);
static_assert(offsetof(SeramWindow, adp) == SERAM_ADP_OFFSET);
static_assert(sizeof(SeramWindow) == SERAM_WINDOW_SIZE);
// The data page reaches into the second 64 KiB of the window (measurement addresses 0x2501xxxx).
static_assert(SERAM_DATA_OFFSET + sizeof(SeramCalData) > 0x10000);

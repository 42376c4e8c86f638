// Records of the display configuration read from "cfg:/display.xml": the whole file (display_s), its
// pages, their elements (value boxes, bar graphs, pictures) and the channel inputs that feed them.
// Plain structures; XmlLoad fills them and hands the tree to its caller (see dispxml_load.h).
#pragma once

#include "measdata/chantype.h"

#include <cstdint>

struct verbtab_s;
struct verbtab_entry_s;

// Limits of the file format.
enum : uint32_t {
    DISP_MAX_PAGES = 12,
    DISP_MAX_PERC = 6,
    DISP_MAX_TICKS = 20,
    DISP_TICK_NAME_LEN = 8, // seven characters and the terminator
    DISP_TEXT_LEN = 256,
};

struct rgb_s {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

// One measurement channel with its scaling (a x^2 + b x + c) / (d x^2 + e x + f).
struct awm_meas_in {
    uint32_t adr;
    uint32_t mask;
    float quant_a;
    float quant_b;
    float quant_c;
    float quant_d;
    float quant_e;
    float quant_f;
    uint16_t type;
};

enum DecoStyle_t : uint32_t {
    DECO_NONE = 0,
    DECO_SINGLE_LINE = 1,
    DECO_DOUBLE_LINE = 2,
    DECO_SINGLE_TOP = 3,
    DECO_SINGLE_SIDE = 4,
};

enum VisMode_t : uint32_t {
    VIS_ALWAYS = 0,
    VIS_LIMIT = 1,
    VIS_LIMIT_RESETABLE = 2,
};

enum FontSizeType_t : uint32_t {
    FONT_TINY = 0,
    FONT_SMALL = 1,
    FONT_NORMAL = 2,
    FONT_LARGE = 3,
    FONT_EXTRALARGE = 4,
    FONT_XXLARGE = 5,
    FONT_XXXLARGE = 6,
};

enum Align_t : uint32_t {
    ALIGN_TL = 0,
    ALIGN_TM = 1,
    ALIGN_TR = 2,
    ALIGN_ML = 3,
    ALIGN_MM = 4,
    ALIGN_MR = 5,
    ALIGN_BL = 6,
    ALIGN_BM = 7,
    ALIGN_BR = 8,
};

enum DispOpt_t : uint32_t {
    DISPMODE_NORMAL = 1,
    DISPMODE_TIME_HH_MM_SS = 2,
    DISPMODE_TIME_MM_SS_MS = 3,
    DISPMODE_TIME_U_SSS_MS = 4,
    DISPMODE_TIME_S_SSS_MS = 5,
    DISPMODE_VERBAL = 6,
    DISPMODE_ASCII = 7,
};

enum BargrStyle_t : uint32_t {
    BARGR_SOLID = 0,
    BARGR_STACKED = 1,
};

enum BargrOrient_t : uint32_t {
    BARGR_HORI_LR = 0,
    BARGR_HORI_RL = 1,
    BARGR_VERT_BT = 2,
    BARGR_VERT_TB = 3,
};

enum BlinkType_t : uint32_t {
    BLINK_OFF = 0,
    BLINK_SLOW = 1,
    BLINK_FAST = 2,
};

enum DispElemKind_t : uint32_t {
    ELEM_ALPHANUM = 0,
    ELEM_BARGRAPH = 1,
    ELEM_PICTURE = 2,
};

struct alphanum_deco_s {
    rgb_s bg_col;
    rgb_s title_bg_col;
    rgb_s title_fg_col;
    rgb_s border_bg_col;
    rgb_s border_fg_col;
    uint32_t style;
    rgb_s text_bg_col;
    rgb_s text_fg_col;
};

struct bargraph_deco_s {
    rgb_s bg_col;
    rgb_s title_bg_col;
    rgb_s title_fg_col;
    rgb_s border_bg_col;
    rgb_s border_fg_col;
    uint32_t style;
    rgb_s bar_bg_col;
    rgb_s bar_fg_col;
    rgb_s ticks_col;
};

struct picture_deco_s {
    rgb_s bg_col;
    rgb_s title_bg_col;
    rgb_s title_fg_col;
    rgb_s border_bg_col;
    rgb_s border_fg_col;
    uint32_t style;
};

struct tick_s {
    char name[DISP_TICK_NAME_LEN];
    float value;
};

struct alphanum_s {
    float lower_limit;
    float lower_hyst;
    uint8_t has_lower;
    alphanum_deco_s deco_lower;
    alphanum_deco_s deco_middle;
    float upper_limit;
    float upper_hyst;
    uint8_t has_upper;
    alphanum_deco_s deco_upper;
    char title[DISP_TEXT_LEN];
    uint32_t font_size;
    uint32_t align;
    uint32_t dispmode;
    char format_str[DISP_TEXT_LEN];
    uint32_t vis_mode;
    awm_meas_in vis_input;
    awm_meas_in ch_input;
    uint8_t always_on_top;
    verbtab_s* vtab;
    uint32_t blink;
    uint32_t min_disp_time; // milliseconds
    uint32_t auto_reset_time;
    uint32_t retrigger_time;
};

struct bargraph_s {
    uint32_t style;
    uint32_t orientation;
    uint16_t tick_cnt;
    tick_s ticks[DISP_MAX_TICKS];
    float lower_limit;
    float lower_hyst;
    uint8_t has_lower;
    bargraph_deco_s deco_lower;
    bargraph_deco_s deco_middle;
    float upper_limit;
    float upper_hyst;
    uint8_t has_upper;
    bargraph_deco_s deco_upper;
    float min;
    float max;
    char title[DISP_TEXT_LEN];
    uint32_t vis_mode;
    awm_meas_in vis_input;
    awm_meas_in ch_input;
    uint8_t always_on_top;
    uint8_t show_ticks;
};

struct picture_s {
    rgb_s transparent_col;
    char filename[DISP_TEXT_LEN + 1];
    uint32_t ofs; // byte offset of the PNG image in the file
    uint32_t len; // its length in bytes
    picture_deco_s deco;
    char title[DISP_TEXT_LEN];
    uint32_t vis_mode;
    awm_meas_in vis_input;
    uint8_t always_on_top;
    uint32_t blink;
    uint32_t min_disp_time;
    uint32_t auto_reset_time;
    uint32_t retrigger_time;
};

// Every element takes one slot of the same size whatever its kind.
struct display_elem_s {
    uint32_t kind; // DispElemKind_t
    float version; // only version 1 elements are kept in a page
    uint32_t prio;
    uint32_t pos_x;
    uint32_t pos_y;
    uint32_t size_x;
    uint32_t size_y;
    union {
        alphanum_s alphanum;
        bargraph_s bargraph;
        picture_s picture;
    };
    display_elem_s* next;
};

struct page_s {
    uint8_t valid; // 1 for a parsed page and for all_pages
    rgb_s bg_col;
    uint16_t elem_cnt;
    display_elem_s* elems; // linked through next, in file order
};

struct display_s {
    uint16_t x_res;
    uint16_t y_res;
    uint16_t page_cnt;
    uint16_t perc[DISP_MAX_PERC]; // brightness steps in percent
    uint16_t perc_cnt;
    page_s pages[DISP_MAX_PAGES];
    page_s all_pages;
    verbtab_s* vtabs;
    float version;
    float xml_version;
    awm_meas_in reset_input;
    awm_meas_in page_input;
    awm_meas_in brightness_input;

    // Storage of this load; every pointer above points into these blocks. Freed as a whole by
    // XmlFreeDisplay.
    display_elem_s* elem_block;
    verbtab_s* vtab_block;
    verbtab_entry_s* vtab_entry_block;
};

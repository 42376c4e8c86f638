#!/usr/bin/env python3
"""Writes errors/*.xml: one faulty display.xml per error text of the reader.

Each case starts from a small valid configuration (CR LF line ends, as the layout tools write them)
and changes one part. The marker "@@" in a change stands where the reader is expected to be when it
reports the error; it is removed, and its line and column (counted as the reader counts them: a
line feed adds a line, a carriage return sets the column to 0) become part of the expected text,
written as the file's first line: <!-- expect: TEXT -->.

Run from this folder: python3 make_error_fixtures.py
"""
import os

NL = "\r\n"
CH = ('adr="{adr}" type="{type}" mask="FF" quant_a="0" quant_b="1" quant_c="0" quant_d="0" '
      'quant_e="0" quant_f="1"')


def colours(names, tag, style):
    lines = [f'<{tag} style="{style}">']
    lines += [f'<{n} red="0" green="0" blue="0"/>' for n in names]
    lines.append(f"</{tag}>")
    return NL.join(lines)


FIVE = ["BGCol", "TitleBGCol", "TitleFGCol", "BorderBGCol", "BorderFGCol"]
AN_COLS = FIVE + ["TextBGCol", "TextFGCol"]
BG_COLS = FIVE + ["BarBGCol", "BarFGCol", "TicksCol"]

# The valid base, in named parts so that a change can aim at exactly one of them.
PARTS = [
    ("decl", '<?xml version="1.0"?>'),
    ("display", '<Display version="1" x_res="640" y_res="480">'),
    ("brightness", NL.join(["<Brightness>", '<perc value="50"/>', "</Brightness>"])),
    ("reset", "<ResetInput " + CH.format(adr="10", type="BOOL") + "/>"),
    ("vtabs", NL.join(["<VerbTabs>", '<VerbTab name="gear" default="?">', '<Tab str="N" num="0"/>',
                       '<Tab str="1" num="1"/>', "</VerbTab>", "</VerbTabs>"])),
    ("pages", "<Pages>"),
    ("page", "<Page>"),
    ("page_bg", '<BGCol red="0" green="0" blue="0"/>'),
    ("elems", "<DisplayElements>"),
    ("an", '<AlphaNumeric version="1" title="a" vis_mode="limit" always_on_top="false" prio="1" '
           'pos_x="0" pos_y="0" size_x="10" size_y="10" font_size="normal" align="MM" '
           'dispmode="verbal" vtab="gear" format_str="%s" blink="off" min_disp_time="0" '
           'auto_reset_time="0" retrigger_time="0">'),
    ("an_ch", "<ChInput " + CH.format(adr="20", type="UINT8") + "/>"),
    ("an_vis", "<VisInput " + CH.format(adr="24", type="BOOL") + "/>"),
    ("an_lower", '<DecoLower Limit="1" hyst="0">'),
    ("an_lower_deco", colours(AN_COLS, "AlphaNumDeco", "single_line")),
    ("an_lower_end", "</DecoLower>"),
    ("an_middle", "<DecoMiddle>"),
    ("an_middle_deco", colours(AN_COLS, "AlphaNumDeco", "none")),
    ("an_middle_end", "</DecoMiddle>"),
    ("an_upper", '<DecoUpper Limit="9" hyst="0">'),
    ("an_upper_deco", colours(AN_COLS, "AlphaNumDeco", "double_line")),
    ("an_upper_end", "</DecoUpper>"),
    ("an_end", "</AlphaNumeric>"),
    ("bg", '<BarGraph version="1" title="b" vis_mode="always" always_on_top="false" prio="2" '
           'pos_x="0" pos_y="0" size_x="10" size_y="10" style="solid" orientation="hori_lr" '
           'ticks="true" min="0" max="100">'),
    ("bg_ch", "<ChInput " + CH.format(adr="30", type="UINT16") + "/>"),
    ("bg_lower", '<DecoLower Limit="10" hyst="1">'),
    ("bg_lower_deco", colours(BG_COLS, "BarGraphDeco", "single_top")),
    ("bg_lower_end", "</DecoLower>"),
    ("bg_middle", "<DecoMiddle>"),
    ("bg_middle_deco", colours(BG_COLS, "BarGraphDeco", "none")),
    ("bg_middle_end", "</DecoMiddle>"),
    ("bg_ticks", NL.join(["<TickList>", '<Tab name="lo" value="0"/>', '<Tab name="hi" value="100"/>',
                          "</TickList>"])),
    ("bg_end", "</BarGraph>"),
    ("pic", '<Picture version="1" title="p" vis_mode="always" always_on_top="false" prio="3" '
            'pos_x="0" pos_y="0" size_x="10" size_y="10" filename="cfg:/p.png" ofs="0" len="10" '
            'blink="off" min_disp_time="0" auto_reset_time="0" retrigger_time="0">'),
    ("pic_tc", '<TransparentCol red="0" green="0" blue="0"/>'),
    ("pic_middle", "<DecoMiddle>"),
    ("pic_middle_deco", colours(FIVE, "PictureDeco", "none")),
    ("pic_middle_end", "</DecoMiddle>"),
    ("pic_end", "</Picture>"),
    ("elems_end", "</DisplayElements>"),
    ("page_end", "</Page>"),
    ("pages_end", "</Pages>"),
    ("display_end", "</Display>"),
]

MANY_PERC = NL.join(f'<perc value="{v}"/>' for v in (10, 20, 30, 40, 50))
MANY_TICKS = NL.join(f'<Tab name="t{i}" value="{i}"/>' for i in range(19))
EMPTY_PAGE = '<Page><BGCol red="0" green="0" blue="0"/></Page>'

# name: (expected message, [(part, old, new)], no_position)
CASES = {
    # scanner
    "scan_doctype": ("scan error: '!' unexpected, only XML comments are supported...",
                     [("display", "<Display", "<!@@DOCTYPE x>" + NL + "<Display")]),
    "scan_eof_in_comment": ("scan error: unexpected EOF during comment",
                            [("display_end", "</Display>", "<!-- open" + NL + "</Display>" + NL + "@@CUT")]),
    "scan_tag_name": ("scan error: tag name expected",
                      [("brightness", "</Brightness>", "</@@ Brightness>")]),
    "scan_eof": ("scan error: unexpected EOF", [("brightness", "</Brightness>", "</Brightness " + NL + "@@CUT")]),
    "scan_gt_expected": ("scan error: '>' expected", [("brightness", "</Brightness>", "</Brightness @@x>")]),
    "scan_xml_expected": ("scan error: xml expected", [("decl", "<?xml", "<?@@xlm")]),
    "scan_error": ("scan error", [("brightness", "<Brightness>", "@@< Brightness>")]),
    "scan_param_name": ("scan error: parameter name expected",
                        [("an", ' prio="1"', " " + "p" * 254 + '@@p="1" prio="1"')]),
    "scan_eq_expected": ("scan error: '=' expected", [("page", "<Page>", "<Page>" + NL + "hello @@world")]),
    "scan_value": ("scan error: error scanning parameter value", [("an", 'title="a"', "title=@@'a'")]),
    "scan_digit": ("scan error: unexpected digit", [("an", ' prio="1"', ' @@9prio="1"')]),
    # document
    "xml_missing": ("parse error: expecting special tag xml",
                    [("decl", '<?xml version="1.0"?>', ""), ("display", "<Display ", "<Display @@")]),
    "xml_version": ("parse error:  expecting version of xml",
                    [("decl", 'version="1.0"', 'encoding="UTF-8"@@ version="1.0"')]),
    "xml_wrong_value": ("parse error: wrong value", [("decl", 'version="1.0"', 'version="1,0"@@')]),
    "xml_end": ("parse error: expecting special end tag of xml", [("decl", "?>", ">@@")]),
    "display_open": ("parse error: expecting opening tag of display", [("display", "<Display ", "<Screen @@")]),
    "display_token": ("parse error: expecting paramters of display type", [("display", '"480">', '"480"/>@@')]),
    "display_scan_error": ("parse error: expecting paramters of display type",
                           [("display", '"480">', '"480" @@5>')]),
    "display_version_twice": ("parse error: parameter version found twice",
                              [("display", 'x_res="640"', 'x_res="640" version="2"@@')]),
    "display_res_x_twice": ("parse error: res_x found twice", [("display", '"480"', '"480" x_res="1"@@')]),
    "display_res_y_twice": ("parse error: res_y found twice", [("display", '"480"', '"480" y_res="1"@@')]),
    "display_wrong_value": ("parse error: wrong value", [("display", 'x_res="640"', 'x_res="65536"@@')]),
    "display_missing": ("parse error: missing paramter", [("display", ' y_res="480">', ">@@")]),
    "display_unexpected_token": ("parse error: unexpected token",
                                 [("brightness", "</Brightness>", "</Brightness>" + NL + "</Foo>@@")]),
    "display_not_all_tags": ("parse error: not all tags found",
                             [("brightness", None, ""), ("display_end", "</Display>", "</Display>@@")]),
    "max_pages": ("parse error: max page count reached",
                  [("pages_end", "</Pages>", NL.join([EMPTY_PAGE] * 12 + ["</Pages>"]))], True),
    "expecting_page_tag": ("parse error: expecting page tag", [("page", "<Page>", "<Side>@@" + NL + "<Page>")]),
    "page_bgcol": ("parse error: expecting backgr color tag", [("page_bg", 'red="0"', 'red="100"@@')]),
    "page_missing_bgcol": ("parse error: missing paramter",
                           [("page_bg", None, ""), ("page_end", "</Page>", "</Page>@@")]),
    "prio_not_sorted": ("parse error: prio not sorted",
                        [("bg", 'prio="2"', 'prio="1"'), ("bg_end", "</BarGraph>", "</BarGraph>@@")]),
    "display_element_tag": ("parse error: expecting display element tag",
                            [("an", 'vtab="gear"', 'vtab="gear"@@'),
                             ("pages_end", "</Pages>", "</Pages>" + NL + '<VerbTabs><VerbTab name="other" '
                              'default="-"></VerbTab></VerbTabs>')]),
    "eof_inside_element": ("", [("elems", "<DisplayElements>", "<DisplayElements>@@CUT")]),
    # skipping unknown tags
    "unknown_attributes": ("parse error: expecting attributes",
                           [("reset", "<ResetInput", '<Vendor a="1" ?>@@' + NL + "<ResetInput")]),
    "unknown_tag_error": ("parse error: error during unknown tag",
                          [("reset", "<ResetInput", "<Vendor><Item> @@7</Item></Vendor>" + NL + "<ResetInput")]),
    "unknown_tag_mismatch": ("parse error: unexpected token",
                             [("reset", "<ResetInput", "<Vendor><Item></Vendor>@@</Item>" + NL + "<ResetInput")]),
    # elements: keywords, values, attributes
    "wrong_visual_mode": ("parse error: wrong visual mode parameter",
                          [("an", 'vis_mode="limit"', 'vis_mode="sometimes"@@')]),
    "wrong_font_size": ("parse error: wrong font size parameter",
                        [("an", 'font_size="normal"', 'font_size="huge"@@')]),
    "wrong_align": ("parse error: wrong align parameter", [("an", 'align="MM"', 'align="mm"@@')]),
    "wrong_display_mode": ("parse error: wrong display mode parameter",
                           [("an", 'dispmode="verbal"', 'dispmode="hex"@@')]),
    "vtab_not_found": ("parse error: vtab reference not found", [("an", 'vtab="gear"', 'vtab="Gear"@@')]),
    "wrong_bar_style": ("parse error: wrong bar graph style parameter",
                        [("bg", 'style="solid"', 'style="dotted"@@')]),
    "wrong_bar_orientation": ("parse error: wrong bar graph orientation parameter",
                              [("bg", 'orientation="hori_lr"', 'orientation="diagonal"@@')]),
    "wrong_blink": ("parse error: wrong blink type", [("pic", 'blink="off"', 'blink="often"@@')]),
    "element_wrong_value": ("parse error: wrong value", [("an", 'prio="1"', 'prio="65536"@@')]),
    "element_time_overflow": ("parse error: wrong value",
                              [("an", 'min_disp_time="0"', 'min_disp_time="4294967296"@@')]),
    "alphanum_missing": ("parse error: missing attribute", [("an", ' format_str="%s"', ""), ("an", 'time="0">', 'time="0">@@')]),
    "bargraph_missing": ("parse error: missing paramter", [("bg", ' max="100">', ">@@")]),
    "picture_missing": ("parse error: missing parameter", [("pic", ' len="10"', ""), ("pic", 'time="0">', 'time="0">@@')]),
    "alphanum_token": ("parse error: expecting paramters of alphanum type",
                       [("an", 'retrigger_time="0">', 'retrigger_time="0"/>@@')]),
    "bargraph_token": ("parse error: expecting paramters of bargraph type", [("bg", 'max="100">', 'max="100"?>@@')]),
    "bargraph_scan_error": ("parse error: expecting paramters of barpraph type",
                            [("bg", 'max="100">', 'max="100" @@5>')]),
    "picture_token": ("parse error: expecting paramters of picture type",
                      [("pic", 'retrigger_time="0">', 'retrigger_time="0"/>@@')]),
    "element_not_all_tags": ("parse error: not all tags found",
                             [("an_vis", None, ""), ("an_end", "</AlphaNumeric>", "</AlphaNumeric>@@")]),
    # decorations
    "deco_lower_open": ("parse error: expecting deco lower open tag", [("an_lower", None, "<DecoLower>@@")]),
    "deco_lower_close": ("parse error: expecting deco lower close tag", [("an_lower_end", None, "</DecoLow>@@")]),
    "deco_middle_open": ("parse error: expecting deco middle open tag",
                         [("an_middle", None, "</DecoMiddle>@@" + NL + "<DecoMiddle>")]),
    "deco_middle_close": ("parse error: expecting deco middle close tag", [("an_middle_end", None, "</DecoMid>@@")]),
    "deco_upper_open": ("parse error: expecting deco upper open tag", [("an_upper", None, "<DecoUpper>@@")]),
    "deco_upper_close": ("parse error: expecting deco upper close tag", [("an_upper_end", None, "</DecoUp>@@")]),
    "deco_limit_token": ("parse error: expecting attributes of deco type", [("an_lower", '"0">', '"0"/>@@')]),
    "deco_middle_attributes": ("parse error: expecting attributes",
                               [("an_middle", None, '<DecoMiddle x="1"/>@@')]),
    "deco_limit_twice": ("parse error: parameter limit found twice",
                         [("an_lower", 'Limit="1"', 'Limit="1" Limit="2"@@')]),
    "deco_hyst_twice": ("parse error: hysteresis found twice", [("an_lower", 'hyst="0"', 'hyst="0" hyst="1"@@')]),
    "deco_alphanum_limit_missing": ("attribute missing", [("an_lower", ' hyst="0">', ">@@")]),
    "deco_bargraph_limit_missing": ("missing attribute", [("bg_lower", ' Limit="10"', ""), ("bg_lower", '>', '>@@')]),
    "deco_style_missing": ("attribute style not found",
                           [("an_middle_deco", 'style="none">', 'kind="plain">@@')]),
    "deco_style_twice": ("parse error: parameter style found twice",
                         [("an_middle_deco", 'style="none"', 'style="none" style="none"@@')]),
    "deco_style_wrong": ("parse error: wrong style parameter",
                         [("an_middle_deco", 'style="none"', 'style="dotted"@@')]),
    "deco_style_token": ("parse error: expecting attributes of deco type",
                         [("an_middle_deco", 'style="none">', 'style="none"/>@@')]),
    "deco_colours_missing": ("parse error: not all colours found",
                             [("an_middle_deco", '<TextFGCol red="0" green="0" blue="0"/>' + NL, ""),
                              ("an_middle_deco", "</AlphaNumDeco>", "</AlphaNumDeco>@@")]),
    "deco_alphanum_open": ("parse error: expecting AlphaNumDeco open tag",
                           [("an_middle_deco", "<AlphaNumDeco ", "<BarGraphDeco @@"),
                            ("an_middle_deco", "</AlphaNumDeco>", "</BarGraphDeco>")]),
    "deco_bargraph_open": ("parse error: expecting BarGraphDeco open tag",
                           [("bg_middle_deco", "<BarGraphDeco ", "<AlphaNumDeco @@")]),
    "deco_picture_open": ("parse error: expecting PitureDeco open tag",
                          [("pic_middle_deco", "<PictureDeco ", "<Deco @@")]),
    "deco_alphanum_close": ("parse error: expecting AlphaNumDeco close tag",
                            [("an_middle_deco", "</AlphaNumDeco>", "</AlphaNum>@@")]),
    "deco_bargraph_close": ("parse error: expecting BarGraph close tag",
                            [("bg_middle_deco", "</BarGraphDeco>", "</BarGraph>@@")]),
    "deco_picture_close": ("parse error: expecting PictureDeco close tag",
                           [("pic_middle_deco", "</PictureDeco>", "</Picture>@@")]),
    # colours
    "rgb_missing": ("parse error: not all paramters found for rgb type", [("pic_tc", ' blue="0"/>', "/>@@")]),
    "rgb_red_twice": ("parse error: parameter red found twice", [("pic_tc", 'red="0"', 'red="0" red="1"@@')]),
    "rgb_green_twice": ("parse error: parameter green found twice",
                        [("pic_tc", 'green="0"', 'green="0" green="1"@@')]),
    "rgb_blue_twice": ("parse error: parameter bluee found twice", [("pic_tc", 'blue="0"', 'blue="0" blue="1"@@')]),
    "rgb_wrong_value": ("parse error: wrong value", [("pic_tc", 'green="0"', 'green="0x1"@@')]),
    "rgb_open": ("parse error: expecting open tag for rgb type", [("pic_tc", None, "<TransparentCol>@@")]),
    "rgb_token": ("parse error: expecting paramters of rgb type", [("pic_tc", '"0"/>', '"0">@@')]),
    # channel inputs
    "channel_type": ("parse error: wrong data type parameter", [("an_ch", 'type="UINT8"', 'type="INT8"@@')]),
    "channel_missing": ("parse error: not all paramters found for channel input type",
                        [("an_ch", ' quant_f="1"/>', "/>@@")]),
    "channel_adr_twice": ("parse error: parameter adr found twice", [("an_ch", 'adr="20"', 'adr="20" adr="21"@@')]),
    "channel_type_twice": ("parse error: parameter typ found twice",
                           [("an_ch", 'type="UINT8"', 'type="UINT8" type="UINT8"@@')]),
    "channel_mask_twice": ("parse error: mask found twice", [("an_ch", 'mask="FF"', 'mask="FF" mask="F"@@')]),
    "channel_open": ("parse error: expecting open tag for channel input", [("an_ch", None, "<ChInput>@@")]),
    "channel_token": ("parse error: expecting paramters of ChannelIn type", [("an_ch", '"1"/>', '"1">@@')]),
    "channel_adr_value": ("parse error: wrong value", [("reset", 'adr="10"', 'adr="100000000"@@')]),
    # brightness
    "perc_open": ("parse error: expecting open tag perc", [("brightness", "<perc ", "<Perc @@")]),
    "perc_value": ("parse error: expecting parameter value", [("brightness", 'value="50"', 'val="50"@@')]),
    "perc_too_many": ("parse error: too many values",
                      [("brightness", '<perc value="50"/>',
                        MANY_PERC + NL + '<perc value="60"/>' + NL + '<perc value="70"@@/>')]),
    "perc_close": ("parse error: expected direct close tag", [("brightness", '"50"/>', '"50">@@')]),
    "perc_range": ("parse error: wrong value", [("brightness", 'value="50"', 'value="101"@@')]),
    # tick lists
    "ticklist_open": ("parse error: expecting open tag ticklist", [("bg_ticks", "<TickList>", '<TickList @@a="1">')]),
    "ticks_too_many": ("parse error: too many ticks",
                       [("bg_ticks", '<Tab name="hi" value="100"/>',
                         MANY_TICKS + NL + '<Tab @@name="t20" value="20"/>')]),
    "tick_open": ("parse error: expecting open tag tab", [("bg_ticks", '<Tab name="lo" value="0"/>', "<Tab>@@")]),
    "tick_token": ("parse error: expecting paramters of tab", [("bg_ticks", 'value="0"/>', 'value="0">@@')]),
    "tick_name_twice": ("parse error: name found twice", [("bg_ticks", 'name="lo"', 'name="lo" name="x"@@')]),
    "tick_value_twice": ("parse error: value found twice", [("bg_ticks", 'value="0"', 'value="0" value="1"@@')]),
    "tick_missing": ("parse error: missing paramter", [("bg_ticks", ' value="0"/>', "/>@@")]),
    "ticks_scan_error": ("parse error: expecting paramters of ticks type",
                         [("bg_ticks", "<TickList>", "<TickList>" + NL + "@@7")]),
    # verbal tables
    "vtab_open": ("parse error: expecting vtab open tag", [("vtabs", "<VerbTab name", "<VerbTable @@name")]),
    "vtab_token": ("parse error: expecting paramters of vtab type", [("vtabs", 'default="?">', 'default="?"/>@@')]),
    "vtab_attributes": ("not all attributes found", [("vtabs", ' default="?">', ">@@")]),
    "vtab_name_twice": ("parse error: parameter name found twice",
                        [("vtabs", 'name="gear"', 'name="gear" name="g"@@')]),
    "vtab_default_twice": ("parse error: parameter default found twice",
                           [("vtabs", 'default="?"', 'default="?" default="-"@@')]),
    "vtab_tag": ("parse error: expecting vtab tag", [("vtabs", 'num="0"', 'num="x"@@')]),
    "vtab_unsorted": ("parse error: vtabs not sorted", [("vtabs", '"1" num="1"/>', '"1" num="0"/>@@')]),
}

ATTR_TWICE = {  # element part, attribute text, duplicate label
    "version": ("an", 'version="1"', "parameter version"),
    "title": ("an", 'title="a"', "title"),
    "vis_mode": ("an", 'vis_mode="limit"', "parameter visual mode"),
    "always_on_top": ("an", 'always_on_top="false"', "always on top"),
    "prio": ("an", 'prio="1"', "prio"),
    "pos_x": ("an", 'pos_x="0"', "pos_x"),
    "pos_y": ("an", 'pos_y="0"', "pos_y"),
    "size_x": ("an", 'size_x="10"', "size_x"),
    "size_y": ("an", 'size_y="10"', "size_y"),
    "font_size": ("an", 'font_size="normal"', "parameter font size"),
    "align": ("an", 'align="MM"', "parameter alignment"),
    "dispmode": ("an", 'dispmode="verbal"', "parameter display mode"),
    "vtab": ("an", 'vtab="gear"', "vtab"),
    "format_str": ("an", 'format_str="%s"', "format_str"),
    "blink": ("an", 'blink="off"', "blink"),
    "min_disp_time": ("an", 'min_disp_time="0"', "min_disp_time"),
    "auto_reset_time": ("an", 'auto_reset_time="0"', "auto_reset_time"),
    "retrigger_time": ("pic", 'retrigger_time="0"', "retrigger_time"),
    "style": ("bg", 'style="solid"', "parameter bar graph style"),
    "orientation": ("bg", 'orientation="hori_lr"', "parameter bar graph orientation"),
    "ticks": ("bg", 'ticks="true"', "ticks"),
    "min": ("bg", 'min="0"', "min"),
    "max": ("bg", 'max="100"', "max"),
    "filename": ("pic", 'filename="cfg:/p.png"', "filename"),
    "ofs": ("pic", 'ofs="0"', "offset"),
    "len": ("pic", 'len="10"', "length"),
}
for attr, (part, text, label) in ATTR_TWICE.items():
    CASES[f"twice_{attr}"] = (f"parse error: {label} found twice", [(part, text, f"{text} {text}@@")])
for q in "abcdef":
    text = f'quant_{q}="{1 if q in "bf" else 0}"'
    CASES[f"channel_quant_{q}_twice"] = (f"parse error: quant. parameter {q} found twice",
                                         [("an_ch", text, f"{text} {text}@@")])


def position(text, at):
    line, col = 1, 0
    for c in text[:at]:
        if c == "\n" or c == "\v":
            line += 1
        elif c == "\r":
            col = 0
        elif c == "\t":
            col += 8
        elif c != "\0":
            col += 1
    return line, col


def build(changes):
    parts = dict(PARTS)
    for part, old, new in changes:
        if old is None:
            parts[part] = new
        else:
            assert old in parts[part], (part, old)
            parts[part] = parts[part].replace(old, new, 1)
    return NL.join(parts[name] for name, _ in PARTS) + NL


def main():
    os.makedirs("errors", exist_ok=True)
    for name, case in CASES.items():
        message, changes = case[0], case[1]
        no_position = len(case) > 2 and case[2]
        body = build(changes)
        if "@@CUT" in body:
            body = body[: body.index("@@CUT") + 2]
        if no_position:
            expect = message
        else:
            head = "<!-- expect: -->" + NL  # the expectation line is counted as line 1
            at = body.index("@@")
            line, col = position(head + body, len(head) + at)
            expect = f"{message} in line {line} column {col}" if message else ""
        body = body.replace("@@", "")
        with open(os.path.join("errors", name + ".xml"), "w", newline="") as f:
            f.write(f"<!-- expect: {expect} -->" + NL + body)


if __name__ == "__main__":
    main()

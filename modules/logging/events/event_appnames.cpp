// Names of the applications that send events, by PID: built-in defaults, overwritten once per run
// by "cfg:/apps.xml" (root "Applicationlist", elements "Application" with "pid" and "name").
#include "logging/events/eventlogger.h"

#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "xml/xmlerror.h"
#include "xml/xmlscan.h"
#include "xml/xmltagparser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Default {
    uint16_t pid;
    const char* name;
};
constexpr Default kDefaults[] = {
    {7, "DASH"},       {8, "LOGGER"},    {10, "ECU"},      {11, "ECU_APP1"},   {12, "ECU_APP2"},
    {13, "ECU_APP3"},  {14, "ECU_APP4"}, {35, "DASH_APP"}, {36, "LOGGER_APP"}, {37, "PCTOOL"},
    {38, "TELEMETRY"}, {39, "GATEWAY"},  {40, "???_FL"},   {41, "???_FR"},     {42, "???_RL"},
    {43, "???_RR"},    {44, "???_F"},    {45, "???_R"},    {46, "???_C"},      {47, "???_GB"},
};

bool isStart(XmlTokType_t type) {
    return type == XMLTOK_START || type == XMLTOK_START_ATTR;
}

void readList(XmlScan* scanner, AppNameTable* names) {
    XmlTok_t tok;
    if (scanner->lastType() == XMLTOK_START_ATTR && scanner->skipAttributes(tok) == XMLTOK_EMPTY_END) return;
    for (;;) {
        const XmlTokType_t type = scanner->getTok(tok);
        if (type == XMLTOK_END || type == XMLTOK_EOF) return;
        if (!isStart(type)) continue;
        if (tok.name != "Application" || type != XMLTOK_START_ATTR) {
            scanner->scanOverTag(tok);
            continue;
        }
        constexpr int64_t kAbsent = INT64_MIN;
        int64_t pid = kAbsent;
        char name[EVLOG_APP_NAME + 2] = {'\x01'}; // a name the attribute cannot give
        XmlTagParser parser(2);
        parser.addAttribute("pid", &pid, sizeof pid, XMLTYPE_SIGNED, true);
        parser.addAttribute("name", name, sizeof name, XMLTYPE_TEXT, true);
        if (parser.parse(scanner) == XMLTOK_TAG_END) scanner->scanOverTag(tok);
        if (pid == kAbsent || name[0] == '\x01') continue; // counts only with both
        if (pid < 0 || pid >= EVLOG_APP_PIDS) throw XmlError("pid too high", scanner);
        std::snprintf(names->name[pid], sizeof names->name[pid], "%.16s", name);
    }
}

constexpr const char* kAppsFile = "cfg:/apps.xml";
std::mutex gLock;
AppNameTable gNames = appNames_defaults();
bool gLoaded = false;

} // namespace

AppNameTable appNames_defaults() {
    AppNameTable t{};
    for (const Default& d : kDefaults) std::snprintf(t.name[d.pid], sizeof t.name[d.pid], "%s", d.name);
    return t;
}

bool appNames_parse(const char* text, AppNameTable* names, std::string* error) {
    AppNameTable work = *names;
    try {
        XmlScan scanner(text ? text : "");
        XmlTok_t tok;
        int depth = 0;
        for (;;) {
            const XmlTokType_t type = scanner.getTok(tok);
            if (type == XMLTOK_EOF) break;
            if (isStart(type) && tok.name == "Applicationlist") {
                readList(&scanner, &work);
                continue;
            }
            depth += XmlScan::getNesting(tok);
            if (depth < 0) throw XmlError("unexpected tag close", &scanner);
        }
    } catch (const char* text) {
        if (error) *error = text;
        return false;
    }
    *names = work;
    return true;
}

const char* appNames_get(uint16_t pid) {
    // The table is written once, before the first logger registers; afterwards it is only read.
    return pid < EVLOG_APP_PIDS ? gNames.name[pid] : "";
}

bool appNames_loadOnce() {
    std::lock_guard<std::mutex> g(gLock);
    if (gLoaded) return false;
    gLoaded = true;
    if (!fexist(kAppsFile)) return true;
    char* text = fload(kAppsFile, nullptr);
    std::string error;
    AppNameTable names = gNames;
    if (!text)
        syslogx(LOG_PRIO_ERR, "eventlogger::eventlogger(): %s cannot be read, default names kept", kAppsFile);
    else if (appNames_parse(text, &names, &error))
        gNames = names;
    else
        syslogx(LOG_PRIO_ERR, "eventlogger::eventlogger(): %s: %s, default names kept", kAppsFile,
                error.c_str());
    std::free(text);
    return true;
}

void appNames_reset() {
    std::lock_guard<std::mutex> g(gLock);
    gNames = appNames_defaults();
    gLoaded = false;
}

// A logging configuration of the end-to-end tests: m01 with one 10 ms block (the lap-trigger pin,
// lap and outing counters) started by the global condition "lap-trigger pin set", which the
// shell's board command sets through digital input 0; `pretrigger` is put in as it stands (e.g.
// "<PreTriggerTime time=\"10\"/>\n").
#pragma once

#include <cstdint>
#include <string>

inline std::string conditionConfig(const char* pretrigger) {
    return std::string("<MeasConfig>\n"
                       "<AcqInfo ident=\"cond\" num_blocks=\"1\" num_conditions=\"1\" version=\"3\" "
                       "protocol=\"0\">\n"
                       "<GlobStartCond idx=\"0\"/>\n") +
           pretrigger +
           "<Block name=\"Pin\" idx=\"0\" num_seqs=\"2\" true_div=\"1\" false_div=\"1\" Raster=\"R10ms\">\n"
           "<CopySeq align=\"2\" size=\"2\" num=\"2\" idx=\"0\"><adr adr=\"0x100404C0\" idx=\"0\"/>"
           "<adr adr=\"0x100404C2\" idx=\"1\"/></CopySeq>\n"
           "<CopySeq align=\"1\" size=\"1\" num=\"1\" idx=\"1\"><adr adr=\"0x100402B2\" "
           "idx=\"0\"/></CopySeq>\n"
           "</Block>\n"
           "<Condition adr=\"0x100402B2\" idx=\"0\" size=\"1\" pretrigger=\"0\"/>\n"
           "</AcqInfo></MeasConfig>\n";
}

inline constexpr uint8_t PIN_BLOCK = 1;

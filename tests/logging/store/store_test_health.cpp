// A drive's health record as a table: sequences of events in their order, each step written
// "<event>[<file>]:<what the writer does>:<state>", e.g. "NF1::failing" (the newest file, file 1,
// failed: nothing to do, the drive is failing) or "PG:join:back" (a probe succeeded: the drive joins).
#include "logging/store/store_health.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

using measure::store::DriveHealth;
using E = DriveHealth::Event;

namespace {

const std::map<std::string, E> kEvents = {
    {"NF", E::NewestFailed}, {"OF", E::OlderFailed},   {"LATE", E::CallLate},  {"ANS", E::CallsAnswer},
    {"HUNG", E::CallHung},   {"RET", E::CallReturned}, {"PF", E::ProbeFailed}, {"PG", E::ProbeGood},
    {"FO", E::FileOpened},   {"DH", E::DataHeld},      {"PULL", E::Pulled},    {"ARR", E::Arrived},
    {"LET", E::LetGo},       {"SUB", E::Subscribed}};

// join, "join answers" (the drive answers again), takes (data again), tells (a failed probe).
std::string does(const DriveHealth::Decision& d) {
    std::string s = d.join ? (d.answersAgain ? "join answers" : "join") : "";
    if (d.takesData) s += s.empty() ? "takes" : " takes";
    if (d.tellProbe) s += s.empty() ? "tells" : " tells";
    return s;
}

struct Row {
    const char* name;
    const char* steps;
};

const Row kRows[] = {
    {"AFailedFileJoinsAtTheFirstGoodProbeWithItsOwnLine",
     "NF1::failing PG:join:back FO2::back DH2:takes:working"},
    {"ACutAfterTheJoinIsNoJoin",
     "NF1::failing PG:join:back FO2::back FO3::back DH2:takes:working PG::working"},
    {"AJoinsFileThatFailsIsNoReturnUntilTheDriveWasAway",
     "NF1::failing PG:join:back FO2::back NF2::failing PG::failing PF:tells:failing PG:join_answers:back"},
    {"AHungDriveJoinsOnceAtItsReturnAndIsNotProbed",
     "HUNG::hung NF1::hung PG::hung RET:join_answers:back RET::back FO2::back DH2:takes:working"},
    {"ALateCallsReturnIsNoReturn",
     "LATE::slow ANS::working LATE::slow NF1::failing RET::failing PG:join:back"},
    {"AWriterLetGoRejoinsOnceItsDriveAnswersWithOneJoin",
     "HUNG::hung LET3::let_go RET::let_go PG::let_go SUB:join_answers:back SUB::back DH3::back "
     "DH4:takes:working"},
    {"AnOlderFilesFailureOrDataSayNothing", "OF0::working NF2::failing DH1::failing FO1::failing"},
    {"APulledStickAsksNothingAndItsArrivalsFileFailsAnew",
     "NF1::failing PULL::let_go PG::let_go NF2::let_go ARR::working NF3::failing PG:join:back"},
    {"AFailedProbeIsToldOnceAFailure", "NF1::failing PF:tells:failing PF::failing PG:join_answers:back "
                                       "FO2::back DH2:takes:working NF3::failing "
                                       "PF:tells:failing"},
};

class DriveHealthTable : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(DriveHealthTable, DecidesFromTheEventsInTheirOrder) {
    DriveHealth h;
    std::istringstream steps(GetParam().steps);
    for (std::string step; steps >> step;) {
        for (char& c : step) c = c == '_' ? ' ' : c;
        const size_t a = step.find(':'), b = step.rfind(':');
        const size_t digit = step.find_first_of("0123456789");
        const std::string event = step.substr(0, std::min(a, digit));
        const int vfIdx = digit < a ? std::stoi(step.substr(digit, a - digit)) : -1;
        ASSERT_TRUE(kEvents.count(event)) << step;
        EXPECT_EQ(does(h.on(kEvents.at(event), vfIdx)), step.substr(a + 1, b - a - 1)) << step;
        EXPECT_EQ(nameOf(h.state()), step.substr(b + 1)) << step;
        // Probed exactly while its newest file is lost and it neither hangs nor is let go.
        EXPECT_EQ(h.probes(), h.state() == DriveHealth::State::Failing) << step;
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, DriveHealthTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

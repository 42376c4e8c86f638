// A drive's health record as a table: sequences of events, in their order, and after each what the
// writer does (joins, says the drive takes data again, tells a failed probe) and the drive's state.
#include "logging/store/store_health.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using measure::store::DriveHealth;
using E = DriveHealth::Event;
using S = DriveHealth::State;

namespace {

struct Step {
    E event;
    int vfIdx;
    const char* does; // "join", "join answers", "takes data", "tells probe", "" (nothing)
    S state;
};

struct Row {
    const char* name;
    std::vector<Step> steps;
};

std::string what(const DriveHealth::Decision& d) {
    std::string s = d.join ? (d.answersAgain ? "join answers" : "join") : "";
    if (d.takesData) s += s.empty() ? "takes data" : " takes data";
    if (d.tellProbe) s += s.empty() ? "tells probe" : " tells probe";
    return s;
}

const Row kRows[] = {
    {"AFailedFileJoinsAtTheFirstGoodProbeWithItsOwnLine",
     {{E::NewestFailed, 1, "", S::Failing},
      {E::ProbeGood, -1, "join", S::Back},
      {E::FileOpened, 2, "", S::Back},
      {E::DataHeld, 2, "takes data", S::Working}}},
    {"ACutAfterTheJoinIsNoJoin",
     {{E::NewestFailed, 1, "", S::Failing},
      {E::ProbeGood, -1, "join", S::Back},
      {E::FileOpened, 2, "", S::Back},
      {E::FileOpened, 3, "", S::Back},
      {E::DataHeld, 2, "takes data", S::Working},
      {E::ProbeGood, -1, "", S::Working}}},
    {"AJoinsFileThatFailsIsNoReturnUntilTheDriveWasAway",
     {{E::NewestFailed, 1, "", S::Failing},
      {E::ProbeGood, -1, "join", S::Back},
      {E::FileOpened, 2, "", S::Back},
      {E::NewestFailed, 2, "", S::Failing},
      {E::ProbeGood, -1, "", S::Failing},
      {E::ProbeGood, -1, "", S::Failing},
      {E::ProbeFailed, -1, "tells probe", S::Failing},
      {E::ProbeGood, -1, "join answers", S::Back}}},
    {"AHungDriveJoinsOnceAtItsReturnAndIsNotProbed",
     {{E::CallHung, -1, "", S::Hung},
      {E::NewestFailed, 1, "", S::Hung},
      {E::ProbeGood, -1, "", S::Hung},
      {E::CallReturned, -1, "join answers", S::Back},
      {E::CallReturned, -1, "", S::Back},
      {E::FileOpened, 2, "", S::Back},
      {E::DataHeld, 2, "takes data", S::Working}}},
    {"ALateCallsReturnIsNoReturn",
     {{E::CallLate, -1, "", S::Slow},
      {E::CallsAnswer, -1, "", S::Working},
      {E::CallLate, -1, "", S::Slow},
      {E::NewestFailed, 1, "", S::Failing},
      {E::CallReturned, -1, "", S::Failing},
      {E::ProbeGood, -1, "join", S::Back}}},
    {"AWriterLetGoRejoinsOnceItsDriveAnswersWithOneJoin",
     {{E::CallHung, -1, "", S::Hung},
      {E::LetGo, 3, "", S::LetGo},
      {E::CallReturned, -1, "", S::LetGo},
      {E::ProbeGood, -1, "", S::LetGo},
      {E::Subscribed, -1, "join answers", S::Back},
      {E::Subscribed, -1, "", S::Back},
      {E::DataHeld, 3, "", S::Back},
      {E::DataHeld, 4, "takes data", S::Working}}},
    {"AnOlderFilesFailureOrDataSayNothing",
     {{E::OlderFailed, 0, "", S::Working},
      {E::NewestFailed, 2, "", S::Failing},
      {E::DataHeld, 1, "", S::Failing},
      {E::FileOpened, 1, "", S::Failing}}},
    {"APulledStickAsksNothingAndItsArrivalsFileFailsAnew",
     {{E::NewestFailed, 1, "", S::Failing},
      {E::Pulled, -1, "", S::LetGo},
      {E::ProbeGood, -1, "", S::LetGo},
      {E::NewestFailed, 2, "", S::LetGo},
      {E::Arrived, -1, "", S::Working},
      {E::NewestFailed, 3, "", S::Failing},
      {E::ProbeGood, -1, "join", S::Back}}},
    {"AFailedProbeIsToldOnceAFailure",
     {{E::NewestFailed, 1, "", S::Failing},
      {E::ProbeFailed, -1, "tells probe", S::Failing},
      {E::ProbeFailed, -1, "", S::Failing},
      {E::ProbeGood, -1, "join answers", S::Back},
      {E::FileOpened, 2, "", S::Back},
      {E::DataHeld, 2, "takes data", S::Working},
      {E::NewestFailed, 3, "", S::Failing},
      {E::ProbeFailed, -1, "tells probe", S::Failing}}},
};

class DriveHealthTable : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(DriveHealthTable, DecidesFromTheEventsInTheirOrder) {
    const Row& row = GetParam();
    DriveHealth h;
    for (size_t i = 0; i < row.steps.size(); ++i) {
        const Step& s = row.steps[i];
        EXPECT_EQ(what(h.on(s.event, s.vfIdx)), s.does) << "step " << i;
        EXPECT_STREQ(nameOf(h.state()), nameOf(s.state)) << "step " << i;
        // Probed exactly while its newest file is lost and it neither hangs nor is let go.
        EXPECT_EQ(h.probes(), h.state() == S::Failing) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, DriveHealthTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

// A writer held in a call of a drive named hung is let go at once; a late call or a hang of another
// task's call keeps it in the store. It rejoins only once its drive does not hang.
TEST(DriveHealth, TheStoreLetsGoOfAWriterHeldInAHungDrive) {
    EXPECT_FALSE(DriveHealth::storeKeeps(true, 5000));
    EXPECT_TRUE(DriveHealth::storeKeeps(true, 0));
    EXPECT_TRUE(DriveHealth::storeKeeps(false, 60000));
    DriveHealth h;
    h.on(E::CallHung);
    h.on(E::LetGo, 1);
    EXPECT_FALSE(h.mayRejoin());
    h.on(E::CallReturned);
    EXPECT_TRUE(h.mayRejoin());
}

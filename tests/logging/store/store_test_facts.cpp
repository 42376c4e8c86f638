// Facts of the store: lists and locks, the Backend's writer table and trimming, the pretrigger
// window, fragments by size, a pulled USB stick, and two writers of different speed.
#include "store_fixture.h"

#include "framework/time_util.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_pretrigger.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"
#include "platform/drives/drive_fault.h"

#include <algorithm>
#include <atomic>
#include <thread>

using namespace storetest;
using namespace measure::store;
using testsupport::readBinary;
using testsupport::waitUntil;

namespace {

// A writer of its own that records what it is given; `throttleTicks` makes it slow.
class RecordingWriter : public Writer {
public:
    RecordingWriter(Backend& b, int throttleTicks = 0)
        : Writer(b, WRITER_DRIVE, 0), throttle_(throttleTicks) {}
    ~RecordingWriter() override { taskStop(WAIT_FOREVER); }
    void taskStartCallback() override { subscribe(); }
    bool taskMain() override {
        lastActivity_.store(time_getTimestamp());
        if (!next()) {
            taskDelay(1);
            return true;
        }
        executeCurrent();
        if (throttle_) taskDelay(throttle_);
        return true;
    }
    bool write(int, const uint8_t* data, uint32_t length) override {
        for (uint32_t i = 0; i < length; ++i) sum_ = sum_ * 31 + data[i];
        bytes_ += length;
        frames_.fetch_add(1);
        return true;
    }
    bool isOpen(int) override { return true; }
    bool open(int) override { return true; }
    uint64_t sum() const { return sum_; }
    int frames() const { return frames_.load(); }

private:
    int throttle_;
    uint64_t sum_ = 0;
    uint64_t bytes_ = 0;
    std::atomic<int> frames_{0};
};

uint8_t* payload(uint32_t n, uint8_t fill) {
    auto* p = static_cast<uint8_t*>(std::malloc(n));
    std::memset(p, fill, n);
    return p;
}

// Moves the hand-driven clock on until `ready` holds, slowly enough for the store's tasks to keep
// up (a writer that falls 10 s of device time behind counts as dead).
bool advanceUntil(const std::function<bool()>& ready, int maxMs = 5000) {
    for (int ms = 0; ms < maxMs; ms += 10) {
        if (ready()) return true;
        hostclock_advanceMs(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // A busy host: the tasks have not followed the hand-driven clock. From here it runs with the real
    // one, so that no bound of theirs is passed by the clock alone, for up to 30 s.
    for (int ms = 0; ms < 30000; ms += 10) {
        if (ready()) return true;
        hostclock_advanceMs(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

} // namespace

TEST_F(StoreTest, ListsIteratorsAndLocks) {
    List<Action> list;
    for (int i = 0; i < 3; ++i) list.add(new ActionFlushDir, 16);
    uint32_t bytes = 0, entries = 0;
    list.getMeasValues(&bytes, nullptr, &entries, nullptr);
    EXPECT_EQ(bytes, 3u * (16 + kNodeOverhead));
    List<Action>* cut = list.removeSublist(5); // more than there are: all of them
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(list.count(), 0u);
    EXPECT_EQ(list.headSeq(), 3u);
    EXPECT_EQ(cut->count(), 3u);
    delete cut;

    std::vector<Iterator<Action>*> its;
    for (int i = 0; i < kMaxIterators; ++i) its.push_back(list.createIterator("List::iterator", false));
    EXPECT_EQ(list.createIterator("List::iterator", false), nullptr); // the 17th
    list.add(new ActionFlushDir, 16);
    ASSERT_NE(its[0]->advance(), nullptr);
    list.clear(); // iterators still registered: they stop, instead of following freed nodes
    EXPECT_FALSE(its[0]->valid());
    EXPECT_EQ(its[0]->advance(), nullptr);
    for (auto* it : its) delete it;

    // What each action costs in the lists (the 25 MiB rule counts these plus 16 per node).
    char drive[] = "usb_meas:";
    CopyFile_t copy{1, 2, 3, 4, drive, 0};
    VirtualFile vf(0, fileInfo("A0101000.001"), 0, 0);
    ActionOpen open(&vf, 0, 0);
    const std::pair<uint32_t, uint32_t> sizes[] = {
        {ActionData(0, payload(100, 0), 100, 1, 2).size(), 128},
        {ActionMetaData(0, payload(10, 0), 10, MEAS_META_EVENT).size(), 38},
        {open.size(), 28},
        {ActionClose(-1, 0).size(), 24}, // of no file: only logged
        {ActionFlushFile(0).size(), 20},
        {ActionFlushDir().size(), 16},
        {ActionFlushAll().size(), 16},
        {ActionFileCopy(copy, 0).size(), 36},
    };
    for (const auto& [got, want] : sizes) EXPECT_EQ(got, want);

    Lock lock;
    ASSERT_TRUE(lock.lock("outer"));
    ASSERT_TRUE(lock.lock("inner")); // nested take by the holder does not block
    EXPECT_STREQ(lock.owner(), "outer");
    lock.unlock();
    EXPECT_STREQ(lock.owner(), "outer");
    lock.unlock();
    EXPECT_STREQ(lock.owner(), "none");

    // An action whose mask lacks the writer's type is skipped, not failed.
    Backend b(0);
    RecordingWriter w(b);
    ActionFlushFile usbOnly(0);
    usbOnly.setWriterType(WRITER_USB);
    EXPECT_EQ(usbOnly.execute(w), ACTION_SKIPPED);
}

// A task that does not end when told is deleted at its wait and joined, so its object can go.
TEST_F(StoreTest, ATaskThatDoesNotStopIsDeletedAndJoined) {
    struct Stuck : Runnable {
        SEM_ID never = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        std::atomic<bool> waiting{false};
        ~Stuck() override {
            taskStop(WAIT_FOREVER);
            semDelete(never);
        }
        bool taskMain() override {
            waiting.store(true);
            semTake(never, WAIT_FOREVER); // ignores the run flag
            return true;
        }
    } stuck;
    ASSERT_TRUE(stuck.taskStart("r_testStuck", 150, 10000, 0, -1));
    ASSERT_TRUE(waitUntil([&] { return stuck.waiting.load(); }));
    EXPECT_TRUE(stuck.taskStop(100));
    EXPECT_FALSE(stuck.hasTask());
}

TEST_F(StoreTest, NinthWriterIsRefusedAndPassedEntriesAreCut) {
    Backend b(0, 0);
    std::vector<std::unique_ptr<RecordingWriter>> ws;
    for (int i = 0; i < kMaxWriters; ++i) {
        ws.push_back(std::make_unique<RecordingWriter>(b));
        ASSERT_TRUE(b.subscribe(ws.back().get()));
    }
    RecordingWriter ninth(b);
    EXPECT_FALSE(b.subscribe(&ninth));
    for (int i = 1; i < kMaxWriters; ++i) b.remove(ws[size_t(i)].get());
    // Entries behind the one writer left are cut; the one it stands on stays.
    ASSERT_TRUE(waitUntil([&] { return b.writerCount() == 1; }));
    for (int i = 0; i < 5; ++i) b.add(new ActionFlushDir, 16);
    for (int i = 0; i < 3; ++i) ASSERT_NE(b.next(*ws[0]), nullptr);
    // The Backend's task cuts the passed entries once its start-up time (0 here) is over.
    ASSERT_TRUE(waitUntil([&] { return b.count() == 3u; }));
    EXPECT_EQ(b.headSeq(), 2u);
    EXPECT_FALSE(b.isOfflineDataFlushed());
    while (b.next(*ws[0])) {
    }
    EXPECT_TRUE(b.isOfflineDataFlushed());
    b.remove(ws[0].get());
}

// A list above 25 MiB that keeps growing for 10 s loses its slowest writer; the faster one stays.
TEST_F(StoreTest, AListThatStaysOversizeLosesItsSlowestWriter) {
    struct Big : Action {
        uint32_t size() const override { return 1024 * 1024; }
        bool executeFunc(Writer&) override { return true; }
    };
    hostclock_setManual(true);
    Backend b(0, 0);
    RecordingWriter fast(b), slow(b);
    ASSERT_TRUE(b.subscribe(&fast));
    ASSERT_TRUE(b.subscribe(&slow));
    for (int i = 0; i < 30; ++i) b.add(new Big, 1024 * 1024);
    for (int i = 0; i < 5; ++i) b.next(fast);
    int grown = 0;
    ASSERT_TRUE(advanceUntil(
        [&] {
            if (++grown % 50 == 0) b.add(new Big, 1024 * 1024); // growing, about 2 MiB a second
            return b.writerCount() == 1;
        },
        15000));
    EXPECT_EQ(fast.getID(), 0);
    EXPECT_EQ(slow.getID(), kNoWriterId);
    EXPECT_TRUE(testsupport::countContaining(log(), "list size exceeded") > 0);
    b.remove(&fast);
    hostclock_setManual(false);
}

// A writer dropped with an action in hand (it hangs in its drive) keeps that action and the file it
// belongs to, and nothing else: the files after it leave the store as the other writer passes them,
// more of them than the store has slots, and the one in hand stays until the dropped writer asks for
// its next action. The store's bound drops no writer that keeps up.
TEST_F(StoreTest, AWriterDroppedWithAnActionInHandHoldsNoOtherFile) {
    virtualFiles.reset(0);
    Backend b(0, 0);
    RecordingWriter fast(b), hung(b);
    ASSERT_TRUE(b.subscribe(&fast));
    ASSERT_TRUE(b.subscribe(&hung));
    // A virtual file of the record, with one record.
    auto file = [&](MeasAppStore_FileInfo_s* info) {
        VirtualFile* vf = virtualFiles.create(0, info);
        if (!vf) return -1;
        auto* a = new ActionData(vf->index(), static_cast<uint8_t*>(std::calloc(1, 4)), 4, 1000, 1000);
        b.add(a, a->size());
        return vf->index();
    };
    MeasAppStore_FileInfo_s* held = fileInfo("A0101000.001");
    held->refs = 1; // the test's own, to see its virtual file go
    const int heldVf = file(held);
    ASSERT_NE(hung.next(), nullptr);
    b.remove(&hung, "its writer hangs in the drive");
    b.add(new ActionClose(heldVf, 0), 24);
    for (int k = 2; k <= 2 * kVfSlots; ++k) {
        const int vf = file(fileInfo("A0101000.002"));
        ASSERT_GE(vf, 0) << k << ": the dropped writer holds the files after its own";
        b.add(new ActionClose(vf, 0), 24);
        while (b.next(fast)) {
        }
        // The last close stays while the writer stands on it.
        ASSERT_TRUE(waitUntil([] { return virtualFiles.inUse(0) <= 1; }, 5000)) << k;
    }
    EXPECT_EQ(held->refs.load(), 2) << "the file in hand stays with it";
    EXPECT_EQ(hung.next(), nullptr);
    EXPECT_EQ(held->refs.load(), 1) << "and goes once the writer asks for its next action";
    meas_app_PreTrigFileInfoRelease(held);
    // 24 files open, the writer a record behind them: it keeps up and is not dropped.
    std::vector<int> open;
    for (int k = 0; k < kVfSlots - kVfSpare; ++k) open.push_back(file(fileInfo("A0102000.001")));
    b.next(fast);
    b.dropSlowest(kVfSlots - kVfSpare);
    EXPECT_EQ(fast.getID(), 0);
    EXPECT_EQ(testsupport::countContaining(log(), "every writer keeps up: none is removed"), 1);
    for (int vf : open) b.add(new ActionClose(vf, 0), 24);
    while (b.next(fast)) {
    }
    b.remove(&fast);
}

// With a 10 s pretrigger only what lies from trigger minus 10 s on reaches the file, and everything
// after the trigger passes straight through. The 14 s before the trigger come at once, as from a
// measurement raster the host held back: the window counts in the frames' own time, and the writers
// see no hand-driven clock run 14 s past them.
TEST_F(StoreTest, PretriggerKeepsTheLastTenSecondsBeforeTheTrigger) {
    hostclock_setManual(true);
    hostclock_advanceMs(34000); // time stamps well above the buffer time
    const uint32_t first = time_getTimestamp() - 140000;
    void* h = meas_app_PreTrigInit(0, 10.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001", first);
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    std::vector<uint8_t> expected;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> before;
    for (int i = 0; i < 140; ++i) { // one frame per 100 ms
        const uint32_t ts = first + 1000 * uint32_t(i);
        auto fr = frame(1, 1, {uint8_t(i), uint8_t(i >> 8)});
        put(h, vf, fr, ts, ts);
        before.emplace_back(ts, fr);
    }
    uint8_t state = 0;
    meas_app_PreTrigGetMeasVarsPT(h, &state, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(state, STATE_BUFFERING);
    EXPECT_EQ(meas_app_PreTrigMeasRunning(h), 0);
    const uint32_t trigger = time_getTimestamp();
    meas_app_PreTrigTrigger(h);
    ASSERT_TRUE(advanceUntil([&] { return meas_app_PreTrigMeasRunning(h) == 1; }));
    for (auto& [ts, fr] : before)
        if (ts >= trigger - 100000) expected.insert(expected.end(), fr.begin(), fr.end());
    for (int i = 0; i < 20; ++i) {
        const uint32_t ts = time_getTimestamp();
        auto fr = frame(1, 1, {0xAA, uint8_t(i)});
        put(h, vf, fr, ts, ts);
        expected.insert(expected.end(), fr.begin(), fr.end());
        hostclock_advanceMs(10);
    }
    const uint32_t headerLength = f->headerLength;
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(advanceUntil([&] { return readOnly(measFile("A0101000.001")); }))
        << seenWithLog("the file was not finished; the store's log:");
    const auto file = readBinary(measFile("A0101000.001"));
    ASSERT_GE(file.size(), headerLength);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + headerLength, file.end()), expected);
    EXPECT_EQ(expected.size(), (100u + 20) * 6); // the 10 s before the trigger, then everything
    hostclock_setManual(false);                  // the tasks' waits end on the real clock again
    meas_app_PreTrigDelete(h);
}

// The start condition's check may run behind the data: its list keeps the newest sample only, so a
// check that the host runs late skips samples, and takes the trigger at the first sample after the
// newest one it saw not firing. The window before that stays held however far the data have come
// since (25 s of frames at once here), by at most one pretrigger time more.
TEST_F(StoreTest, PretriggerHoldsTheWindowForACheckBehindTheData) {
    const struct {
        const char* what;
        uint32_t checkedMs;  // the condition checked, not firing, up to the frame of that time
        uint32_t keptFromMs; // the file's first frame
    } rows[] = {
        {"the check 9 s behind the data", 16000, 6100},
        {"the check 23 s behind: one pretrigger time more is held, no longer", 2000, 4900},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        hostclock_setManual(true);
        hostclock_advanceMs(40000); // time stamps well above the data's span
        const uint32_t first = time_getTimestamp() - 250000;
        void* h = meas_app_PreTrigInit(0, 10.0f);
        ASSERT_NE(h, nullptr);
        const std::string name = "A01010" + std::to_string(++n) + "0.001";
        MeasAppStore_FileInfo_s* f = fileInfo(name.c_str(), first);
        meas_app_PreTrigOpenFile(h, f);
        const int vf = f->vfIdx;
        const uint32_t checked = first + row.checkedMs * 10;
        meas_app_PreTrigConditionChecked(h, checked);
        std::vector<uint8_t> expected;
        for (uint32_t i = 0; i < 250; ++i) { // one frame per 100 ms
            const uint32_t ts = first + 1000 * i;
            auto fr = frame(1, 1, {uint8_t(i), uint8_t(i >> 8)});
            put(h, vf, fr, ts, ts);
            if (ts >= first + row.keptFromMs * 10) expected.insert(expected.end(), fr.begin(), fr.end());
        }
        // What the task holds once it has let go of what is older than it holds by.
        const uint32_t held = 250 - row.keptFromMs / 100;
        uint32_t entries = 0;
        ASSERT_TRUE(advanceUntil([&] {
            meas_app_PreTrigGetMeasVarsPT(h, nullptr, nullptr, nullptr, &entries, nullptr);
            return entries <= held;
        }));
        EXPECT_EQ(entries, held);
        uint32_t at = 0;
        ASSERT_TRUE(meas_app_PreTrigConditionCheckedAt(h, &at));
        EXPECT_EQ(at, checked);
        meas_app_PreTrigTriggerAt(h, checked + 1000); // the frame after the newest checked
        ASSERT_TRUE(advanceUntil([&] { return meas_app_PreTrigMeasRunning(h) == 1; }));
        const uint32_t headerLength = f->headerLength;
        meas_app_PreTrigCloseFile(h, vf);
        ASSERT_TRUE(advanceUntil([&] { return readOnly(measFile(name)); }))
            << seenWithLog("the file was not finished; the store's log:");
        const auto file = readBinary(measFile(name));
        ASSERT_GE(file.size(), headerLength);
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + headerLength, file.end()), expected);
        hostclock_setManual(false); // the tasks' waits end on the real clock again
        meas_app_PreTrigDelete(h);
    }
}

// Re-arming after a trigger holds again only once the measurement raster has handed over its open
// frames, so that none of them is held back with the new window.
TEST_F(StoreTest, ArmingWaitsForTheOpenFramesOfTheRaster) {
    hostclock_setManual(true);
    void* h = meas_app_PreTrigInit(0, 10.0f);
    ASSERT_NE(h, nullptr);
    auto state = [&] {
        uint8_t s = 0;
        meas_app_PreTrigGetMeasVarsPT(h, &s, nullptr, nullptr, nullptr, nullptr);
        return s;
    };
    meas_app_PreTrigTrigger(h);
    ASSERT_TRUE(advanceUntil([&] { return state() == STATE_FLUSHED; }));
    meas_app_PreTrigArm(h);
    ASSERT_TRUE(advanceUntil([&] { return meas_app_PreTrigArmFlushRequested(h) == 1; }));
    hostclock_advanceMs(100);
    EXPECT_EQ(state(), STATE_FLUSHED); // still passing through while the raster has not answered
    meas_app_PreTrigArmFlushDone(h);
    EXPECT_TRUE(advanceUntil([&] { return state() == STATE_BUFFERING; }));
    EXPECT_EQ(meas_app_PreTrigArmFlushRequested(h), 0);
    hostclock_setManual(false);
    meas_app_PreTrigDelete(h);
}

TEST_F(StoreTest, NewFragmentAtFiveMiB) {
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001", time_getTimestamp());
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    constexpr uint32_t kChunk = 64 * 1024;
    for (int i = 0; i < 79; ++i)
        meas_app_PreTrigPutMeasFrame(h, vf, payload(kChunk, uint8_t(i)), kChunk, 1, 2);
    EXPECT_EQ(meas_app_PreTrigCheckFragment(h), 0);
    meas_app_PreTrigPutMeasFrame(h, vf, payload(kChunk - 1, 1), kChunk - 1, 1, 2);
    EXPECT_EQ(meas_app_PreTrigCheckFragment(h), 0);
    meas_app_PreTrigPutMeasFrame(h, vf, payload(1, 1), 1, 1, 2);
    EXPECT_EQ(meas_app_PreTrigCheckFragment(h), 1); // 5 MiB counted
    meas_app_PreTrigTriggerFragment(h);
    EXPECT_EQ(meas_app_PreTrigCheckFragment(h), 0); // until the next file opens
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([&] { return readOnly(measFile("A0101000.001")); }, 20000));
    meas_app_PreTrigDelete(h);
}

// A stick pulled in the middle of a file: that file stops on the stick (complete records only) and
// stays unfinished there, writable and named; the next file is written whole again once the stick
// is back.
TEST_F(StoreTest, UsbPulledMidFileSkipsOnlyThatFile) {
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f1 = fileInfo("A0101000.001");
    meas_app_PreTrigOpenFile(h, f1);
    const int vf1 = f1->vfIdx;
    const uint32_t headerLength = f1->headerLength;
    for (int i = 0; i < 20; ++i) put(h, vf1, frame(1, 1, {uint8_t(i), 1, 2}), 1000, 1000);
    ASSERT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
    setUsbInserted(false);
    bool skipped = false;
    for (int i = 0; i < 2000 && !skipped; ++i) {
        put(h, vf1, frame(1, 1, {0xBB, uint8_t(i)}), 1000, 1000);
        skipped = waitUntil(
            [&] {
                return testsupport::countContaining(log(),
                                                    "is not finished on usb_meas: the stick was pulled") > 0;
            },
            20);
    }
    ASSERT_TRUE(skipped);
    setUsbInserted(true);
    for (int i = 0; i < 20; ++i) put(h, vf1, frame(1, 1, {0xCC, uint8_t(i)}), 1000, 1000);
    meas_app_PreTrigCloseFile(h, vf1);
    MeasAppStore_FileInfo_s* f2 = fileInfo("A0102000.001", 2000, 2);
    meas_app_PreTrigOpenFile(h, f2);
    const int vf2 = f2->vfIdx;
    for (int i = 0; i < 20; ++i) put(h, vf2, frame(2, 1, {uint8_t(i)}), 2000, 2000);
    meas_app_PreTrigCloseFile(h, vf2);
    // The files closed read-only, each by its own writer in its own time (the stick's writer, one
    // after the other).
    const std::vector<std::string> closing = {measFile("A0101000.001"), usbFile("A0102000.001"),
                                              measFile("A0102000.001")};
    if (!waitUntil([&] { return std::all_of(closing.begin(), closing.end(), readOnly); }, 10000)) {
        std::string seen = "still writable:";
        for (const std::string& path : closing)
            if (!readOnly(path)) seen += " " + path;
        FAIL() << seenWithLog(seen);
    }

    const auto meas1 = readBinary(measFile("A0101000.001"));
    const auto usb1 = readBinary(usbFile("A0101000.001"));
    EXPECT_GE(usb1.size(), headerLength + 20 * 7);
    EXPECT_LT(usb1.size(), meas1.size());
    EXPECT_TRUE(std::equal(usb1.begin(), usb1.end(), meas1.begin())); // complete records, then nothing
    EXPECT_FALSE(readOnly(usbFile("A0101000.001")));
    EXPECT_EQ(readBinary(usbFile("A0102000.001")), readBinary(measFile("A0102000.001")));
    meas_app_PreTrigDelete(h);
}

// A store deleted while a write-through task still closes its file (its read-only held): the file
// waits for that close, neither named unfinished by its writer's leaving nor taken for whole, and
// ends whole once the close goes on.
TEST_F(StoreTest, AFileClosedBesideItsWriterWaitsForThatCloseWhenTheWriterLeaves) {
    setUsbInserted(false);
    drivefault_clear();
    DriveFault hold;
    std::string why;
    ASSERT_TRUE(drivefault_parse("meas:chmod:1:hold0", &hold, &why)) << why;
    drivefault_arm(hold);
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    f->refs = 1; // the test's own, to read the record after the store is gone
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    for (int i = 0; i < 20; ++i) put(h, vf, frame(1, 1, {uint8_t(i), 1, 2}), 1000, 1000);
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() == 1; }, 10000));
    meas_app_PreTrigDelete(h);
    EXPECT_EQ(meas_app_PreTrigFileSettled(nullptr, f, nullptr, 0), 0) << "settled while its close is held";
    EXPECT_EQ(testsupport::countContaining(log(), "its writer left the store"), 0);
    drivefault_release();
    EXPECT_TRUE(waitUntil([&] { return meas_app_PreTrigFileSettled(nullptr, f, nullptr, 0) == 1; }, 10000));
    EXPECT_TRUE(readOnly(measFile("A0101000.001")));
    meas_app_PreTrigFileInfoRelease(f);
    drivefault_clear();
}

// A fast and a throttled writer read one list while a producer fills it: both see every frame in
// order, and the list is cut behind the slower one.
TEST_F(StoreTest, TwoWritersOfDifferentSpeed) {
    auto* backend = new Backend(0, 0);
    auto* fast = new RecordingWriter(*backend);
    auto* slow = new RecordingWriter(*backend, 2);
    Pretrigger p(0, 0.0f, backend);
    p.adoptWriter(fast);
    p.adoptWriter(slow);
    ASSERT_TRUE(fast->taskStart("r_testFast", 146, 10000, 0, -1));
    ASSERT_TRUE(slow->taskStart("r_testSlow", 146, 10000, 0, -1));
    ASSERT_TRUE(waitUntil([&] { return backend->writerCount() == 2; }));
    constexpr int kFrames = 1000;
    uint64_t sum = 0;
    std::thread producer([&] {
        for (int i = 0; i < kFrames; ++i) {
            const uint32_t n = 16 + uint32_t(i % 64);
            uint8_t* d = payload(n, uint8_t(i * 13));
            for (uint32_t k = 0; k < n; ++k) sum = sum * 31 + d[k];
            p.putFrame(0, d, n, uint32_t(i), uint32_t(i));
            if (i % 100 == 0) std::this_thread::yield();
        }
    });
    producer.join();
    ASSERT_TRUE(waitUntil([&] { return backend->isOfflineDataFlushed(); }, 60000));
    EXPECT_EQ(fast->frames(), kFrames);
    EXPECT_EQ(slow->frames(), kFrames);
    EXPECT_EQ(fast->sum(), sum);
    EXPECT_EQ(slow->sum(), sum);
    ASSERT_TRUE(waitUntil([&] { return backend->count() <= 1; }, 5000));
    uint32_t peak = 0;
    backend->getMeasValues(nullptr, nullptr, nullptr, &peak);
    EXPECT_GT(peak, 1u);
}

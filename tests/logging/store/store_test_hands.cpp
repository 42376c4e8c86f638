// Writers dropped from the Backend: two that hold the same record keep it, and the file it belongs
// to, until the last of them lets go, in whichever order they come back; a writer let go for its hung
// drive is told as such; one that kept up when the files filled is looked at again with the next.
#include "store_fixture.h"

#include "logging/store/meas_app_pretrig.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_pretrigger.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"
#include "platform/drives/drive_fault.h"

#include <string>

using namespace storetest;
using namespace measure::store;
using testsupport::waitUntil;

namespace {

// A writer driven by the test alone (no task): it takes actions when told and is always alive.
class HandWriter : public Writer {
public:
    explicit HandWriter(Backend& b) : Writer(b, WRITER_DRIVE, 0) {}
    bool taskMain() override { return false; }
    bool alive() override { return true; }
    bool isOpen(int) override { return true; }
    bool open(int) override { return true; }
    void drain() {
        while (next()) {
        }
    }
};

} // namespace

// Both writers take the file's one record and hang with it; the files after it pass through more
// slots than there are (the slots of the held file among them) while one or both are out. Under
// AddressSanitizer a record or virtual file freed while the other writer still holds it fails.
TEST_F(StoreTest, TwoWritersHoldingOneRecordKeepItUntilTheLastLetsGo) {
    struct Row {
        const char* name;
        int first;            // which of the two comes back first
        bool firstSubscribes; // back by subscribing again, else by asking for its next action
        bool secondSubscribes;
    };
    const Row rows[] = {
        {"the first dropped back first, both by their next action", 0, false, false},
        {"the second dropped back first, both by their next action", 1, false, false},
        {"the first dropped back first by subscribing", 0, true, false},
        {"the second dropped back first, both by subscribing", 1, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        virtualFiles.reset(0);
        Backend b(0, 0);
        HandWriter fast(b), one(b), two(b);
        HandWriter* dropped[2] = {&one, &two};
        std::vector<HandWriter*> reading = {&fast};
        for (HandWriter* w : {&fast, &one, &two}) ASSERT_TRUE(b.subscribe(w));
        auto file = [&](MeasAppStore_FileInfo_s* info) {
            VirtualFile* vf = virtualFiles.create(0, info);
            if (!vf) return -1;
            auto* a = new ActionData(vf->index(), static_cast<uint8_t*>(std::calloc(1, 4)), 4, 1000, 1000);
            b.add(a, a->size());
            return vf->index();
        };
        // Files come and go behind the writers that read; each waits for the Backend's cut now and
        // then, so that the slots never run out while nothing holds them.
        auto files = [&](int n) {
            for (int k = 0; k < n; ++k) {
                const int vf = file(fileInfo("A0101000.002"));
                if (vf < 0) return ::testing::AssertionFailure() << "no slot for file " << k;
                b.add(new ActionClose(vf, 0), 24);
                for (HandWriter* w : reading) w->drain();
                if (virtualFiles.inUse(0) >= kVfSlots / 2 &&
                    !waitUntil([] { return virtualFiles.inUse(0) <= 1; }, 10000))
                    return ::testing::AssertionFailure() << virtualFiles.inUse(0) << " files stay in use";
            }
            return ::testing::AssertionSuccess();
        };
        MeasAppStore_FileInfo_s* held = fileInfo("A0101000.001");
        held->refs = 1; // the test's own, to see its virtual file go
        const int heldVf = file(held);
        ASSERT_GE(heldVf, 0);
        const Action* record = one.next();
        ASSERT_NE(record, nullptr);
        ASSERT_EQ(two.next(), record);
        b.remove(&one, "its drive hangs");
        b.remove(&two, "its drive hangs");
        b.add(new ActionClose(heldVf, 0), 24);

        ASSERT_TRUE(files(kVfSlots + 8));
        EXPECT_EQ(held->refs.load(), 2) << "held by both";
        auto back = [&](HandWriter* w, bool subscribes) {
            if (!subscribes) {
                EXPECT_EQ(w->next(), nullptr);
                return;
            }
            ASSERT_TRUE(b.subscribe(w));
            reading.push_back(w);
        };
        back(dropped[row.first], row.firstSubscribes);
        ASSERT_TRUE(files(kVfSlots + 8));
        EXPECT_EQ(held->refs.load(), 2) << "the other writer still holds it";
        back(dropped[1 - row.first], row.secondSubscribes);
        EXPECT_EQ(held->refs.load(), 1) << "gone with the last hand";

        // Nothing is kept for good: once the readers pass the last close, every slot is free.
        ASSERT_TRUE(files(4));
        b.add(new ActionFlushDir, 16);
        for (HandWriter* w : reading) w->drain();
        EXPECT_TRUE(waitUntil([] { return virtualFiles.inUse(0) == 0; }, 10000))
            << virtualFiles.inUse(0) << " slots in use";
        meas_app_PreTrigFileInfoRelease(held);
        for (HandWriter* w : reading) b.remove(w);
    }
}

// The stick's writer held in the open of its file until the drive is named hung: the line that lets
// it go names the drive's hang, not a writer no longer alive, and so does its file's record.
TEST_F(StoreTest, AWriterLetGoForItsHungDriveIsToldSo) {
    drivefault_clear();
    DriveFault hold;
    std::string error;
    ASSERT_TRUE(drivefault_parse("usb_meas:open:1:hold0@r_USBWriter1", &hold, &error)) << error;
    drivefault_arm(hold);
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    f->refs = 1; // the test's own, to read its record
    meas_app_PreTrigOpenFile(h, f);
    put(h, f->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 1000, 1000);
    std::vector<std::string> lines;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (std::string& l : log()) lines.push_back(std::move(l));
            // The line first, then the writer leaves and its file gets the reason.
            return testsupport::countContaining(lines, "removing writer r_USBWriter1") > 0 &&
                   f->reasonState.load() == 2;
        },
        45000));
    EXPECT_EQ(testsupport::countContaining(lines, ": its drive usb_meas: hangs (an open of r_USBWriter1 has "
                                                  "not returned for 10 s), the writer is let go"),
              1);
    EXPECT_EQ(testsupport::countContaining(lines, "no longer alive"), 0);
    EXPECT_STREQ(f->reason, "its drive hangs (an open of r_USBWriter1 does not return)");
    drivefault_release();
    meas_app_PreTrigCloseFile(h, f->vfIdx);
    meas_app_PreTrigDelete(h);
    meas_app_PreTrigFileInfoRelease(f);
    drivefault_clear();
    std::string why;
    while (meas_app_PreTrigTakeNewFileAsk(nullptr, &why)) {
    }
}

// The files in flight reach the bound while the one writer keeps up: it is not dropped. It then falls
// behind by every one of those files; the next file drops it, before the slots run out.
TEST_F(StoreTest, AWriterThatKeptUpIsLookedAtAgainWithTheNextFile) {
    virtualFiles.reset(0);
    auto* b = new Backend(0, 0);
    HandWriter w(*b);
    ASSERT_TRUE(b->subscribe(&w));
    {
        Pretrigger p(0, 0.0f, b);
        // The Backend cuts what the writer has passed once its start-up (none here) is over.
        p.flushDir();
        p.flushDir();
        w.drain();
        ASSERT_TRUE(waitUntil([&] { return b->count() == 1; }));
        std::vector<int> open;
        auto openFile = [&] {
            MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
            p.openFile(f);
            open.push_back(f->vfIdx);
            return f->vfIdx >= 0;
        };
        for (int k = 1; k < kVfSlots - kVfSpare; ++k) ASSERT_TRUE(openFile());
        w.drain();
        p.flushDir(); // a record behind: it holds nothing back
        ASSERT_TRUE(openFile());
        EXPECT_EQ(testsupport::countContaining(log(), "every writer keeps up: none is removed"), 1);
        ASSERT_EQ(w.getID(), 0);

        for (int vf : open) p.closeFile(vf);
        ASSERT_TRUE(openFile());
        EXPECT_EQ(w.getID(), kNoWriterId) << "the next file drops the writer now furthest behind";
        std::vector<std::string> lines = log();
        EXPECT_EQ(testsupport::countContaining(lines, "removing writer"), 1);
        // What it held goes: files go on coming, and none finds the slots full.
        for (int k = 0; k < kVfSlots; ++k) {
            p.closeFile(open.back());
            ASSERT_TRUE(waitUntil([] { return virtualFiles.inUse(0) <= kVfSlots / 2; }));
            ASSERT_TRUE(openFile()) << k;
        }
        p.closeFile(open.back());
        for (std::string& l : log()) lines.push_back(std::move(l));
        EXPECT_EQ(testsupport::countContaining(lines, "file slots full"), 0);
    }
}

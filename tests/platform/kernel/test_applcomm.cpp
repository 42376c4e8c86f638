// The status exchange with the companion process: shared across opens and processes, guarded,
// versioned, and kept apart per device root.
#include "platform/kernel/applcomm.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

class ApplCommTest : public ::testing::Test {
protected:
    void TearDown() override {
        applcomm_unlink(root.path());
        applcomm_unlink(other.path());
    }
    ApplComm* open(const TempDir& r) {
        std::string err;
        ApplComm* c = applcomm_open(r.path(), &err);
        EXPECT_NE(c, nullptr) << err;
        return c;
    }
    TempDir root, other;
};

} // namespace

TEST_F(ApplCommTest, TwoOpensShareTheRecordsOfOneRootOnly) {
    ApplComm* a = open(root);
    ApplComm* b = open(root);
    ApplComm* elsewhere = open(other);
    ASSERT_TRUE(a && b && elsewhere);
    EXPECT_NE(applcomm_shmName(root.path()), applcomm_shmName(other.path()));
    EXPECT_EQ(applcomm_shmName(root.path()).rfind("/msd-ApplComm-", 0), 0u);

    ApplCommApp fresh{};
    ASSERT_TRUE(applcomm_read(b, 1, &fresh));
    EXPECT_EQ(fresh.pid, 0); // created zeroed

    ASSERT_TRUE(applcomm_write(a, 1, ApplCommApp{17, 16, 12, 0, 0x5, 1}));
    ASSERT_TRUE(applcomm_update(a, 1, [](ApplCommApp& r) { r.heartbeat += 41; }));
    ApplCommApp seen{};
    ASSERT_TRUE(applcomm_read(b, 1, &seen));
    EXPECT_EQ(seen.pid, 17);
    EXPECT_EQ(seen.laptrigPid, 16);
    EXPECT_EQ(seen.fuelconsPid, 12);
    EXPECT_EQ(seen.status, 5u);
    EXPECT_EQ(seen.heartbeat, 42u);
    ASSERT_TRUE(applcomm_read(b, 0, &seen));
    EXPECT_EQ(seen.pid, 0); // the other index is its own record
    ASSERT_TRUE(applcomm_read(elsewhere, 1, &seen));
    EXPECT_EQ(seen.pid, 0);

    EXPECT_FALSE(applcomm_read(a, 2, &seen));
    EXPECT_FALSE(applcomm_write(a, -1, seen));
    EXPECT_FALSE(applcomm_read(nullptr, 0, &seen));

    // The record outlives its openers until it is unlinked.
    applcomm_close(a);
    applcomm_close(b);
    b = open(root);
    ASSERT_TRUE(applcomm_read(b, 1, &seen));
    EXPECT_EQ(seen.heartbeat, 42u);
    applcomm_close(b);
    applcomm_unlink(root.path());
    b = open(root);
    ASSERT_TRUE(applcomm_read(b, 1, &seen));
    EXPECT_EQ(seen.heartbeat, 0u);
    applcomm_close(b);
    applcomm_close(elsewhere);
}

TEST_F(ApplCommTest, TheSemaphoreSerialisesAnotherProcess) {
    ApplComm* mine = open(root);
    ApplComm* childs = open(root);
    ASSERT_TRUE(mine && childs);
    // Made before the fork, so the child allocates nothing.
    const std::function<void(ApplCommApp&)> bump = [](ApplCommApp& r) {
        const uint32_t v = r.heartbeat;
        sched_yield(); // widens the window an unguarded update would lose counts in
        r.heartbeat = v + 1;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < 2000; ++i)
            if (!applcomm_update(childs, 0, bump)) _exit(1);
        _exit(0);
    }
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(applcomm_update(mine, 0, bump));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ApplCommApp r{};
    ASSERT_TRUE(applcomm_read(mine, 0, &r));
    EXPECT_EQ(r.heartbeat, 4000u);
    applcomm_close(mine);
    applcomm_close(childs);
}

TEST_F(ApplCommTest, AnotherLayoutAndAStuckSemaphoreAreReportedNotHung) {
    ApplComm* c = open(root);
    ASSERT_TRUE(c);

    // A peer that died holding the semaphore: accesses fail after the bound.
    sem_t* sem = sem_open(applcomm_semName(root.path()).c_str(), 0);
    ASSERT_NE(sem, SEM_FAILED);
    ASSERT_EQ(sem_wait(sem), 0);
    auto t0 = std::chrono::steady_clock::now();
    ApplCommApp r{};
    EXPECT_FALSE(applcomm_read(c, 0, &r));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    sem_post(sem);
    EXPECT_TRUE(applcomm_read(c, 0, &r));
    sem_close(sem);
    applcomm_close(c);

    // A record of another layout version is refused, not reinterpreted.
    int fd = shm_open(applcomm_shmName(root.path()).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    auto* shared = static_cast<ApplCommShared*>(
        mmap(nullptr, sizeof(ApplCommShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(shared, MAP_FAILED);
    close(fd);
    EXPECT_EQ(shared->magic, APPLCOMM_MAGIC);
    shared->version = 99;
    std::string err;
    EXPECT_EQ(applcomm_open(root.path(), &err), nullptr);
    EXPECT_NE(err.find("another layout (version 99)"), std::string::npos) << err;
    munmap(shared, sizeof(ApplCommShared));
}

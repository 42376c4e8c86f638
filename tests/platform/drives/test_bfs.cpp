// The logging drives' file system on the device root, and the drive service: availability with
// the status word, and formats through the named queues.
#include "testsupport.h"

#include "platform/drives/bfs.h"
#include "platform/drives/drive_dirinfo.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_service.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

bfs_stat statOf(int fd) {
    bfs_stat st{};
    EXPECT_EQ(bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)), 0);
    return st;
}

int create(const char* path, const std::string& data) {
    const int fd = bfs_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0777);
    EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
    EXPECT_EQ(::write(fd, data.data(), data.size()), ssize_t(data.size()));
    return fd;
}

std::vector<std::string> listing(int root) {
    std::vector<std::string> names;
    bfs_find f{};
    int request = IO_IOCTL_FIND_FIRST_FILE;
    while (bfs_ioctl(root, request, reinterpret_cast<intptr_t>(&f)) == 0 && f.name[0] != '\0') {
        names.push_back(f.name);
        request = IO_IOCTL_FIND_NEXT_FILE;
    }
    return names;
}

} // namespace

TEST(LoggingDriveFs, WrittenFilesAreArchiveClosedReadOnlyAndStillDeletable) {
    TempDeviceRoot root;
    int fd = create("meas:/B0101000.001", "bbb");
    char name[BFS_PATH_MAX] = {};
    ASSERT_EQ(bfs_ioctl(fd, FIOGETNAME, reinterpret_cast<intptr_t>(name)), 0);
    EXPECT_STREQ(name, "meas:/B0101000.001");
    bfs_stat st = statOf(fd);
    EXPECT_EQ(std::vector<uint64_t>({st.st_attrib, st.st_size}), (std::vector<uint64_t>{0x20, 3}));
    EXPECT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0); // the writer's close
    bfs_close(fd);
    struct stat hostSt;
    ASSERT_EQ(::stat(root.file("meas/B0101000.001").c_str(), &hostSt), 0);
    EXPECT_EQ(hostSt.st_mode & 0333, 0u) << "read-only and never executable";
    errno = 0;
    EXPECT_EQ(bfs_open("meas:/B0101000.001", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    fd = bfs_open("meas:/B0101000.001", O_RDONLY);
    ASSERT_GE(fd, 0);
    // The PC has read it: its archive bit is cleared in the drive's state.
    std::string state = readFile(drive_stateFile("meas:"));
    EXPECT_NE(state.find("attr B0101000.001 0x21"), std::string::npos) << state;
    writeFile(drive_stateFile("meas:"), "attr B0101000.001 0x01\n");
    EXPECT_EQ(statOf(fd).st_attrib, 0x01);
    bfs_close(fd);

    // A file written again gets its archive bit back; a new file forgets a stale byte of its name.
    fd = create("meas:/A0101000.001", "a");
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x00), 0);
    bfs_close(fd);
    fd = bfs_open("meas:/A0101000.001", O_WRONLY | O_APPEND);
    EXPECT_EQ(statOf(fd).st_attrib, 0x20);
    bfs_close(fd);
    drive_stateUpdate("meas:", [](DriveState& s) {
        s.setAttr("C0101000.001", 0x01);
        return true;
    });
    fd = create("meas:/C0101000.001", "cc");
    EXPECT_EQ(statOf(fd).st_attrib, 0x20);
    bfs_close(fd);

    // Find-first and find-next list the files sorted, without folders.
    makeDirs(root.file("meas/sub"));
    writeFile(root.file("meas/sub/Z.000"), "z");
    const int drive = bfs_open("meas:", O_RDWR);
    ASSERT_GE(drive, 0);
    EXPECT_EQ(listing(drive), (std::vector<std::string>{"A0101000.001", "B0101000.001", "C0101000.001"}));
    DriveDirInfo info{};
    EXPECT_EQ(bfs_ioctl(drive, IO_IOCTL_BFS_DIR_INFO, reinterpret_cast<intptr_t>(&info)), 0);
    EXPECT_EQ(std::vector<uint32_t>({info.used, info.free}),
              (std::vector<uint32_t>{3, DRIVE_DIRSIZE_DEFAULT - 3}));
    // Unlink ignores the read-only bit and drops the file's byte.
    EXPECT_EQ(bfs_ioctl(drive, FIOUNLINK, reinterpret_cast<intptr_t>("B0101000.001")), 0);
    EXPECT_EQ(bfs_unlink("meas:/A0101000.001"), 0);
    EXPECT_EQ(listing(drive), (std::vector<std::string>{"C0101000.001"}));
    EXPECT_EQ(readFile(drive_stateFile("meas:")).find("B0101000.001"), std::string::npos);

    // The D flag of the root.
    uint32_t attr = 7;
    EXPECT_EQ(bfs_ioctl(drive, IO_IOCTL_BFS_GET_DIR_ATTR, reinterpret_cast<intptr_t>(&attr)), 0);
    EXPECT_EQ(attr, 0u);
    EXPECT_EQ(bfs_ioctl(drive, IO_IOCTL_BFS_SET_DIR_ATTR, 1), 0);
    EXPECT_NE(readFile(drive_stateFile("meas:")).find("dirattr 0x1"), std::string::npos);
    EXPECT_EQ(bfs_ioctl(drive, IO_IOCTL_BFS_GET_DIR_ATTR, reinterpret_cast<intptr_t>(&attr)), 0);
    EXPECT_EQ(attr, 1u);
    EXPECT_EQ(bfs_ioctl(drive, FIOSYNC, 0), 0);
    bfs_close(drive);

    // An absent drive opens nothing.
    writeFile(drive_stateFile("meas2:"), "present 0\n");
    errno = 0;
    EXPECT_EQ(bfs_open("meas2:/x", O_WRONLY | O_CREAT), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(drive_dirInfo("meas2:", &info), DRIVE_DIRINFO_NO_DRIVE);
}

TEST(DriveService, AvailabilityAndFormatThroughItsQueues) {
    TempDeviceRoot root;
    const struct {
        const char* drive;
        const char* state;
        int available;
        uint32_t status;
    } rows[] = {
        {"usb_meas:", "", 1, 0},
        {"usb_meas:", "inserted 0\n", 0, 0},
        {"usb_meas:", "inserted 1\nstatus 0x10000\n", 1, 0x10000},
        {"meas2:", "present 0\nstatus 3\n", 0, 3},
        {"cfg:", "", 1, 0},
        {"floppy:", "", 0, 99},
    };
    for (const auto& r : rows) {
        if (drive_stateFile(r.drive) != "") writeFile(drive_stateFile(r.drive), r.state);
        uint32_t status = 99;
        EXPECT_EQ(drivesvc_available(r.drive, 1, &status), r.available) << r.drive << " " << r.state;
        EXPECT_EQ(status, r.status) << r.drive << " " << r.state;
    }

    ASSERT_TRUE(drivesvc_start([](const char* drive, uint32_t* n) {
        if (std::strcmp(drive, "meas:") != 0) return false;
        *n = 2000;
        return true;
    }));
    writeFile(root.file("meas/A0101000.001"), "old");
    makeDirs(root.file("meas/sub"));
    writeFile(drive_stateFile("meas:"), "dirsize 1000\ndirattr 1\nattr A0101000.001 0x21\nstatus 0x10000\n");
    MSG_Q_ID tx = msgQOpen(DRIVESVC_FORMAT_QUEUE, 1, 17, 0, 0, nullptr);
    MSG_Q_ID rx = msgQOpen(DRIVESVC_FORMAT_ACK_QUEUE, 1, 17, 0, 0, nullptr);
    ASSERT_TRUE(tx && rx);
    const struct {
        uint8_t blocks;
        const char* drive;
        uint32_t size;
    } formats[] = {{6, "meas:", 2000}, {3, "meas2:", 1020}};
    for (const auto& f : formats) {
        uint8_t msg[17] = {f.blocks};
        std::memcpy(msg + 1, f.drive, std::strlen(f.drive));
        ASSERT_EQ(msgQSend(tx, msg, sizeof msg, NO_WAIT, MSG_PRI_NORMAL), OK);
        uint8_t ack[32];
        EXPECT_EQ(msgQReceive(rx, ack, sizeof ack, 2 * sysClkRateGet()), 17);
        DriveState s;
        ASSERT_TRUE(drive_stateRead(f.drive, &s));
        EXPECT_EQ(s.dirSize, f.size) << f.drive;
    }
    EXPECT_TRUE(std::filesystem::is_empty(root.file("meas")));
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas:", &s));
    EXPECT_EQ(std::vector<uint32_t>({s.dirAttr, uint32_t(s.attrs.size()), s.status}),
              (std::vector<uint32_t>{0, 0, 0x10000}))
        << "a fresh directory; the drive's status stays";
    drivesvc_stop();
}

// A fault as the application takes it from its environment: the texts it refuses say why, and an
// armed one fails exactly its calls (a full drive takes half a write, one of a task counts that
// task's calls only), or pulls the stick.
TEST(DriveFault, TextsAreTakenOrRefusedAndAFaultFailsExactlyItsCalls) {
    const struct {
        const char* text;
        const char* refusal; // empty: taken
    } rows[] = {
        {"meas:write:17:ENOSPC:0", ""},
        {"usb_meas:open:3:pull", ""},
        {"meas:sync:2:hold500", ""},
        {"meas:close:2:cut", ""},
        {"meas:write:3:delete:0", ""},
        {"meas:write:3:rename", ""},
        {"usb_meas:write:1:EIO@r_FileCpyTaskA", ""},
        {"meas:write:5:EIOfor2000", ""},
        {"meas:sync:1:slow50", ""},
        {"meas:open:1:slow50for1000@r_BFSWriter1", ""},
        {"nv:syncfs:1:nothing:0", ""},
        {"meas:write:1:EIOfor", "EIO time '' is not a number from 1"},
        {"meas:write:1:EIOfor0", "EIO time '0' is not a number from 1"},
        {"meas:write:1:slowfor100", "slow time '' is not a number from 1"},
        {"meas:write:1:slow50for", "slow span '' is not a number from 1"},
        {"meas:write:1:EIOfor100:0", "'EIOfor100' lasts its time: it takes no <times>"},
        {"meas:write:1:EIO@", "task '' is not a task's name"},
        {"meas:write:1:EIO@r_FileCpyTaskAAAA", "task 'r_FileCpyTaskAAAA' is not a task's name"},
        {"meas:sync:1:delete", "'delete' applies to write only"},
        {"meas:open:1:rename", "'rename' applies to write only"},
        {"nv:sync:1:nothing", "'nothing' applies to syncfs only"},
        {"meas:write:0:EIO", "is not a number from 1"},
        {"meas:frob:1:EIO", "unknown operation 'frob'"},
        {"meas:write:1:EBOGUS", "unknown fault 'EBOGUS'"},
        {"meas:open:1:hold", "hold time '' is not a number"},
        {"meas:write:1:EIO:x", "times 'x' is not a number"},
        {"meas:write", "not <drive>:<operation>:<n>:<what>[:<times>]"},
        {":write:1:EIO", "not <drive>:<operation>:<n>:<what>[:<times>]"},
    };
    for (const auto& row : rows) {
        DriveFault f;
        std::string why;
        const bool taken = drivefault_parse(row.text, &f, &why);
        EXPECT_EQ(taken, !*row.refusal) << row.text << ": " << why;
        if (!taken) {
            EXPECT_NE(why.find(row.refusal), std::string::npos) << row.text << ": " << why;
        }
    }

    TempDeviceRoot root;
    drivefault_clear();
    DriveFault f;
    ASSERT_TRUE(drivefault_parse("meas:write:2:ENOSPC", &f, nullptr));
    drivefault_arm(f);
    const int fd = bfs_open("meas:/F.000", O_WRONLY | O_CREAT | O_TRUNC, 0777);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bfs_write(fd, "abcd", 4), 4);
    EXPECT_EQ(bfs_write(fd, "efgh", 4), 2) << "a full drive takes part of a write";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(bfs_write(fd, "ijkl", 4), 4) << "one call only";
    EXPECT_EQ(drivefault_calls("meas:", DRIVE_OP_WRITE), 3u);
    // The second write of a task of its own fails, whatever this thread wrote before.
    ASSERT_TRUE(drivefault_parse("meas:write:2:EIO@t_faulted", &f, nullptr));
    drivefault_arm(f);
    std::thread([fd] {
        pthread_setname_np(pthread_self(), "t_faulted");
        EXPECT_EQ(bfs_write(fd, "mn", 2), 2);
        EXPECT_EQ(bfs_write(fd, "op", 2), -1);
        EXPECT_EQ(errno, EIO);
    }).join();
    EXPECT_EQ(drivefault_taskCalls("meas:", DRIVE_OP_WRITE, "t_faulted"), 2u);
    EXPECT_EQ(drivefault_calls("meas:", DRIVE_OP_WRITE), 5u);
    // A pattern's tasks count together: the third write of any t_pool task fails, not this thread's.
    ASSERT_TRUE(drivefault_parse("meas:write:3:EIO@t_pool*", &f, nullptr));
    drivefault_arm(f);
    EXPECT_EQ(bfs_write(fd, "q", 1), 1);
    for (const char* name : {"t_pool1", "t_pool2", "t_pool3"})
        std::thread([fd, name] {
            pthread_setname_np(pthread_self(), name);
            EXPECT_EQ(bfs_write(fd, "r", 1), std::string(name) == "t_pool3" ? -1 : 1) << name;
        }).join();
    EXPECT_EQ(bfs_close(fd), 0);
    EXPECT_EQ(readFile(root.file("meas/F.000")), "abcdefijklmnqrr");
    ASSERT_TRUE(drivefault_parse("usb_meas:open:1:pull", &f, nullptr));
    drivefault_arm(f);
    EXPECT_LT(bfs_open("usb_meas:/F.000", O_WRONLY | O_CREAT, 0777), 0);
    EXPECT_EQ(errno, ENODEV);
    DriveState s;
    ASSERT_TRUE(drive_stateRead("usb_meas:", &s));
    EXPECT_FALSE(s.inserted);
    EXPECT_EQ(drivefault_hits(), 4u);
    drivefault_clear();
}

// A pulled stick (or a drive no longer present) fails every call on the files open on it; a close
// lets go of the descriptor all the same.
TEST(LoggingDriveFs, AGoneDriveFailsEveryCallOnItsOpenFiles) {
    TempDeviceRoot root;
    drivefault_clear();
    const struct {
        const char* drive;
        const char* gone;
    } drives[] = {{"usb_meas:", "inserted 0\n"}, {"meas2:", "present 0\n"}};
    for (const auto& d : drives) {
        const std::string path = std::string(d.drive) + "/G.000";
        const int fd = bfs_open(path.c_str(), O_RDWR | O_CREAT, 0666);
        const int drive = bfs_open(d.drive, O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_GE(drive, 0);
        ASSERT_EQ(bfs_write(fd, "abc", 3), 3);
        // Replaced whole, as the stick's watcher does.
        const std::string state = drive_stateFile(d.drive);
        writeFile(state + ".new", d.gone);
        ASSERT_EQ(std::rename((state + ".new").c_str(), state.c_str()), 0);
        const struct {
            const char* call;
            std::function<int()> run;
        } calls[] = {
            {"write", [&] { return int(bfs_write(fd, "d", 1)); }},
            {"truncate", [&] { return bfs_truncate(fd, 1); }},
            {"FIOFLUSH", [&] { return bfs_ioctl(fd, FIOFLUSH, 0); }},
            {"FIOSYNC", [&] { return bfs_ioctl(fd, FIOSYNC, 0); }},
            {"FIOATTRIBSET", [&] { return bfs_ioctl(fd, FIOATTRIBSET, 0x21); }},
            {"the root's FIOSYNC", [&] { return bfs_ioctl(drive, FIOSYNC, 0); }},
            {"the root's close", [&] { return bfs_close(drive); }},
            {"close", [&] { return bfs_close(fd); }},
        };
        for (const auto& c : calls) {
            errno = 0;
            EXPECT_EQ(c.run(), -1) << d.drive << " " << c.call;
            EXPECT_EQ(errno, ENODEV) << d.drive << " " << c.call;
        }
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "closed all the same";
        EXPECT_EQ(::fcntl(drive, F_GETFD), -1) << "closed all the same";
        EXPECT_EQ(readFile(root.file(std::string(d.drive, std::strlen(d.drive) - 1) + "/G.000")), "abc");
    }
}

// A write that stops part of the way returns what it wrote, with the error of the call that stopped
// it: want of room is told from a failing drive.
TEST(LoggingDriveFs, AShortWriteKeepsTheErrorThatStoppedIt) {
    TempDeviceRoot root;
    drivefault_clear();
    const struct {
        const char* what;
        const char* fault; // armed at the write; nullptr: a file size limit of 4 bytes (EFBIG)
        ssize_t written;
        int error;
    } rows[] = {
        {"a drive that runs full", "meas:write:1:ENOSPC", 4, ENOSPC},
        {"a failing drive", "meas:write:1:EIO", -1, EIO},
        {"a limit the host sets", nullptr, 4, EFBIG},
    };
    for (const auto& r : rows) {
        const int fd = bfs_open("meas:/S.000", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(fd, 0);
        drivefault_clear();
        struct rlimit old {};
        if (r.fault) {
            DriveFault f;
            ASSERT_TRUE(drivefault_parse(r.fault, &f, nullptr));
            drivefault_arm(f);
        } else {
            ::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &old);
            const struct rlimit limit = {4, old.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        errno = 0;
        const ssize_t n = bfs_write(fd, "abcdefgh", 8);
        const int error = errno;
        if (!r.fault) {
            ::setrlimit(RLIMIT_FSIZE, &old);
            ::signal(SIGXFSZ, SIG_DFL);
        }
        EXPECT_EQ(n, r.written) << r.what;
        EXPECT_EQ(error, r.error) << r.what << ": " << std::strerror(error);
        bfs_close(fd);
    }
    drivefault_clear();
}

// A rename within a drive replaces a writable file of the target name, one it was told of where it
// is told, and never a read-only one; the attribute byte moves with the file.
TEST(LoggingDriveFs, RenameWithinADriveCarriesTheAttributes) {
    TempDeviceRoot root;
    drivefault_clear();
    int fd = create("meas:/A.tmp", "new");
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x00), 0);
    bfs_close(fd);
    fd = create("meas:/A.000", "old");
    bfs_fileId old{};
    ASSERT_EQ(bfs_identity(fd, &old), 0);
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x20), 0);
    bfs_close(fd);
    fd = create("meas:/R.000", "whole");
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0);
    bfs_close(fd);
    fd = create("meas:/C.tmp", "copy");
    bfs_close(fd);
    const uint32_t renames = drivefault_calls("meas:", DRIVE_OP_RENAME);
    EXPECT_EQ(bfs_rename("meas:/A.tmp", "meas:/A.000", &old), 0) << std::strerror(errno);
    EXPECT_EQ(readFile(root.file("meas/A.000")), "new");
    EXPECT_FALSE(std::filesystem::exists(root.file("meas/A.tmp")));
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas:", &s));
    EXPECT_EQ(s.attrOf("A.000"), 0x00);
    EXPECT_EQ(s.attrs.count("A.tmp"), 0u);
    EXPECT_EQ(drivefault_calls("meas:", DRIVE_OP_RENAME), renames + 1) << "one call of the drive";

    writeFile(drive_stateFile("meas2:"), "present 0\n");
    const struct {
        const char* from;
        const char* to;
        const char* fault;
        int error;
    } refused[] = {
        {"meas:/A.000", "meas2:/A.000", nullptr, EXDEV},
        {"meas2:/X.000", "meas2:/Y.000", nullptr, ENODEV},
        {"meas:/none", "meas:/B.000", nullptr, ENOENT},
        {"meas:/A.000", "meas:/B.000", "meas:rename:1:EIO", EIO},
        {"meas:/C.tmp", "meas:/R.000", nullptr, EACCES}, // read-only: whole, never written over
        {"meas:/C.tmp", "meas:/A.000", nullptr, ESTALE}, // not the file it was told of (`old` went)
        {"meas:/C.tmp", "meas:/A.000", nullptr, EEXIST}, // told that none is there
    };
    const bfs_fileId none{};
    for (const auto& r : refused) {
        const bfs_fileId* only = r.error == ESTALE ? &old : r.error == EEXIST ? &none : nullptr;
        if (r.fault) {
            DriveFault f;
            ASSERT_TRUE(drivefault_parse(r.fault, &f, nullptr));
            f.nth += drivefault_calls("meas:", DRIVE_OP_RENAME);
            drivefault_arm(f);
        }
        errno = 0;
        EXPECT_EQ(bfs_rename(r.from, r.to, only), -1) << r.from << " " << r.to;
        EXPECT_EQ(errno, r.error) << r.from << " " << r.to << ": " << std::strerror(errno);
    }
    EXPECT_EQ(readFile(root.file("meas/A.000")), "new");
    EXPECT_EQ(readFile(root.file("meas/R.000")), "whole");
    EXPECT_EQ(readFile(root.file("meas/C.tmp")), "copy");
    drivefault_clear();
}

// Whether a device path still names an open file: deleted, renamed away or replaced, it does not.
TEST(LoggingDriveFs, SameFileTellsWhetherThePathStillNamesTheOpenFile) {
    TempDeviceRoot root;
    const std::string host = root.file("meas/N.000");
    const struct {
        const char* what;
        std::function<void()> change;
        int answer;
        int error;
    } rows[] = {
        {"unchanged", [] {}, 1, 0},
        {"deleted", [] { bfs_unlink("meas:/N.000"); }, 0, ENOENT},
        {"renamed away", [&] { std::filesystem::rename(host, host + ".moved"); }, 0, ESTALE},
        {"replaced",
         [&] {
             writeFile(host + ".new", "other");
             std::filesystem::rename(host + ".new", host);
         },
         0, ESTALE},
        {"deleted and made anew", [&] { std::filesystem::remove(host), writeFile(host, "anew"); }, 0, ESTALE},
        {"its drive gone", [] { writeFile(drive_stateFile("meas:"), "present 0\n"); }, -1, ENODEV},
    };
    for (const auto& r : rows) {
        writeFile(drive_stateFile("meas:"), "");
        const int fd = create("meas:/N.000", "n");
        r.change();
        errno = 0;
        EXPECT_EQ(bfs_sameFile(fd, "meas:/N.000"), r.answer) << r.what;
        if (r.error) {
            EXPECT_EQ(errno, r.error) << r.what << ": " << std::strerror(errno);
        }
        writeFile(drive_stateFile("meas:"), "");
        bfs_close(fd);
    }
}

// The application parameter block: defaults per index, overrides from the device root, refusals.
#include "platform/kernel/appparam.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::TempDir;
using testsupport::writeFile;

TEST(AppParam, DefaultsGiveEachIndexItsOwnIdentity) {
    TempDir root;
    AppParam p[2];
    for (int i = 0; i < 2; ++i) {
        std::string err;
        ASSERT_TRUE(appparam_load(i, root.path(), &p[i], &err)) << err;
        EXPECT_EQ(p[i].pids[0], 16);
        EXPECT_EQ(p[i].pids[1], 17);
        EXPECT_EQ(p[i].pid, p[i].pids[i]);
        EXPECT_EQ(p[i].ipMask, 0xFF000000u);
        EXPECT_EQ(p[i].ipMaskText, "255.0.0.0");
        EXPECT_EQ(p[i].xcpPort, 5555);
        EXPECT_EQ(p[i].bc2PortOffset, 0);
        EXPECT_EQ(p[i].homeDir, root.path());
        EXPECT_EQ(p[i].nvDir, root.path() + (i == 0 ? "/nv" : "/nv1"));
        EXPECT_EQ(p[i].serial[0].kind, SerialKind::Pty);
        EXPECT_EQ(p[i].serial[1].kind, SerialKind::Pty);
        EXPECT_EQ(p[i].logFileSize, 4u << 20);
    }
    EXPECT_EQ(p[0].ipAddress, 0x7F000001u);
    EXPECT_EQ(p[0].ipAddressText, "127.0.0.1");
    EXPECT_EQ(p[1].ipAddress, 0x7F000002u);
    EXPECT_EQ(p[1].ipAddressText, "127.0.0.2");

    std::string err;
    EXPECT_FALSE(appparam_load(2, root.path(), &p[0], &err));
    EXPECT_NE(err.find("index 2"), std::string::npos) << err;
}

TEST(AppParam, FileOverridesEveryField) {
    TempDir root;
    writeFile(root.file("appparam-1.conf"), "# bench car, second display\r\n"
                                            "pid = 0x21\r\n"
                                            "pid.0=20   # the other application\n"
                                            "\n"
                                            "  core_affinity = 3\n"
                                            "boot_counter_base = 4000000000\n"
                                            "ip_address = 10.1.2.3\n"
                                            "ip_mask = 255.255.252.0\n"
                                            "xcp_port = 5600\n"
                                            "port_offset = 100\n"
                                            "ccp_enable = 0\n"
                                            "home_dir = /srv/car\n"
                                            "nv_dir = nv-second\n"
                                            "serial.tyCo0 = fifo:tele.fifo\n"
                                            "serial.tyCo1 = file:gps/trace.nmea\n"
                                            "log_file_size = 0x10000\n");
    AppParam p{};
    std::string err;
    ASSERT_TRUE(appparam_load(1, root.path(), &p, &err)) << err;
    EXPECT_EQ(p.pid, 0x21);
    EXPECT_EQ(p.pids[1], 0x21);
    EXPECT_EQ(p.pids[0], 20);
    EXPECT_EQ(p.coreAffinity, 3u);
    EXPECT_EQ(p.baseBootCounter, 4000000000u);
    EXPECT_EQ(p.ipAddress, 0x0A010203u);
    EXPECT_EQ(p.ipAddressText, "10.1.2.3");
    EXPECT_EQ(p.ipMask, 0xFFFFFC00u);
    EXPECT_EQ(p.ipMaskText, "255.255.252.0");
    EXPECT_EQ(p.xcpPort, 5600);
    EXPECT_EQ(p.bc2PortOffset, 100);
    EXPECT_FALSE(p.ccpEnable);
    EXPECT_EQ(p.homeDir, "/srv/car");
    EXPECT_EQ(p.nvDir, root.path() + "/nv-second");
    EXPECT_EQ(p.serial[0].kind, SerialKind::Fifo);
    EXPECT_EQ(p.serial[0].path, root.path() + "/tele.fifo");
    EXPECT_EQ(p.serial[1].kind, SerialKind::File);
    EXPECT_EQ(p.serial[1].path, root.path() + "/gps/trace.nmea");
    EXPECT_EQ(p.logFileSize, 0x10000u);

    // The other index's file is not read for this index.
    AppParam q{};
    ASSERT_TRUE(appparam_load(0, root.path(), &q, &err)) << err;
    EXPECT_EQ(q.pid, 16);
}

TEST(AppParam, DamagedFilesAreRefusedNamingFileLineAndReason) {
    struct Case {
        std::string text;
        int line;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"pid = 16\ncolour = red\n", 2,
         "unknown key 'colour' (the keys: boot_counter_base, ccp_enable, core_affinity, home_dir, "
         "ip_address, "
         "ip_mask, json_receiver, log_file_size, nv_dir, pid, pid.0, pid.1, port_offset, serial.tyCo0, "
         "serial.tyCo1, xcp_port)"},
        {"xcp_port = 55x5\n", 1, "bad number '55x5'"},
        {"xcp_port = 0\n", 1, "bad number '0'"},
        {"xcp_port = 65536\n", 1, "bad number"},
        {"boot_counter_base = 4294967296\n", 1, "bad number"},
        {"boot_counter_base = -1\n", 1, "bad number"},
        {"\n\npid = 64\n", 3, "pid: bad number '64' (0..63)"},
        {"pid.1 = 70\n", 1, "bad number '70'"},
        {"ip_address = 10.0.0.256\n", 1, "bad IPv4 address"},
        {"ip_address = 10.0.0\n", 1, "bad IPv4 address"},
        {"ip_mask = 255.0.255.0\n", 1, "bad network mask"},
        {"ip_mask = 0.0.0.0\n", 1, "bad network mask"},
        {"port_offset = 60000\n", 1, "bad number"},
        {"ccp_enable = 2\n", 1, "bad number"},
        {"core_affinity = 0\n", 1, "bad number"},
        {"log_file_size = 4095\n", 1, "bad number '4095' (4096..1073741824)"},
        {"serial.tyCo1 = usb:gps\n", 1, "not pty, file:<path> or fifo:<path>"},
        {"serial.tyCo0 = file:\n", 1, "names no path"},
        {"serial.tyCo2 = pty\n", 1, "unknown key"},
        {"home_dir =\n", 1, "no value"},
        {"just words\n", 1, "expected 'key = value'"},
        {"xcp_port = 1\nxcp_port = 2\n", 2, "'xcp_port' given twice"},
        {"pid = 20\npid = 21\n", 2, "'pid' given twice"},
        {"pid = 20\npid.0 = 21\n", 2, "'pid.0' given twice (as 'pid' on line 1)"},
        {"# fine\n" + std::string(300, 'x') + "\n", 2, "line too long"},
        {std::string("pid = 1\0\n", 9), 1, "NUL"},
    };
    for (const Case& c : cases) {
        TempDir root;
        const std::string path = root.file("appparam-0.conf");
        writeFile(path, c.text);
        AppParam p = appparam_defaults(0, root.path());
        p.pid = 42; // must stay untouched on refusal
        std::string err;
        EXPECT_FALSE(appparam_load(0, root.path(), &p, &err)) << c.text;
        EXPECT_EQ(err.rfind(path + ":" + std::to_string(c.line) + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(p.pid, 42);
    }

    // Whole-file problems carry no line number.
    TempDir root;
    testsupport::makeDirs(root.file("appparam-0.conf"));
    AppParam p{};
    std::string err;
    EXPECT_FALSE(appparam_load(0, root.path(), &p, &err));
    EXPECT_EQ(err, root.file("appparam-0.conf") + ": not a regular file");
}

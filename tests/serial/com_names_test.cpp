// Port names and the port list.

#include "serial/com_names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "serial/com_types.h"
#include "support/test_env.h"

namespace qv {
namespace {

TEST(ComNames, ComNamesMapThroughTheAliasTable) {
    ClearComPortAliases();
    EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ComDevicePath("com12"), "/dev/ttyS11");
    EXPECT_EQ(ComDevicePath("COM0"), "");
    EXPECT_EQ(ComDevicePath("COMX"), "");
    EXPECT_EQ(ComDevicePath("ttyS0"), "");
    SetComPortAlias(1, "/dev/ttyUSB0");
    EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyUSB0");
    SetComPortAlias(1, "");
    EXPECT_EQ(ComDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_FALSE(LoadComPortAliases("COM2=/dev/ttyACM0; COM3=relative, bogus"));
    EXPECT_FALSE(LoadComPortAliases("COM1:/dev/ttyUSB7"));
    EXPECT_EQ(ComDevicePath("COM2"), "/dev/ttyACM0");
    EXPECT_EQ(ComDevicePath("COM3"), "/dev/ttyS2");
    ClearComPortAliases();
}

TEST(ComNames, EnumListsDevicesWithADriverSortedAsText) {
    const std::string root = test::makeTempDir("qv_sys");
    const std::string cls = root + "/class/tty";
    std::filesystem::create_directories(cls);
    for (const char* name : {"ttyS1", "ttyUSB0", "ttyS10", "tty0", "ptmx"}) {
        std::filesystem::create_directories(cls + "/" + name);
    }
    for (const char* name : {"ttyS1", "ttyUSB0", "ttyS10"})
        std::filesystem::create_directory_symlink(root, cls + "/" + name + "/device");
    std::vector<std::string> ports = {"stale"};
    EnumComPorts(ports, root);
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyS10", "/dev/ttyUSB0"}));
    std::filesystem::remove_all(root);
    EXPECT_THAT([&] { EnumComPorts(ports, root); },
                testing::ThrowsMessage<EComPortExt>(
                    testing::StrEq("COM Port Error: Registry error on EnumComPorts")));
}

}  // namespace
}  // namespace qv

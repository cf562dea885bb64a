// The run-time binding of the tablet driver, against the simulated driver
// copied next to this program (or not), with the real loader.
#include "wintab32.h"

#include <gtest/gtest.h>

#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ProgramFolder()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, MAX_PATH);
    *strrchr(path, '\\') = '\0';
    return path;
}

class DriverBinding : public ::testing::Test {
protected:
    std::string driverPath = ProgramFolder() + "\\Wintab32.dll";
    std::string logPath = ProgramFolder() + "\\binding.log";

    void SetUp() override
    {
        ReleaseTabletDriver();
        DeleteFileA(driverPath.c_str());
        DeleteFileA(logPath.c_str());
        SetEnvironmentVariableA("SIMTAB_LOG", logPath.c_str());
        SetEnvironmentVariableA("SIMTAB_SCENARIO", NULL);
    }

    void TearDown() override
    {
        ReleaseTabletDriver();
        DeleteFileA(driverPath.c_str());
    }

    // Puts one build of the simulated driver next to the program.
    void InstallDriver(const char *variant)
    {
        char variants[MAX_PATH];
        ASSERT_NE(0u, GetEnvironmentVariableA("SIMTAB_VARIANTS", variants, MAX_PATH))
            << "SIMTAB_VARIANTS names the folder of the driver builds";
        std::string source = std::string(variants) + "\\" + variant + "\\Wintab32.dll";
        ASSERT_TRUE(CopyFileA(source.c_str(), driverPath.c_str(), FALSE)) << source;
    }

    std::string Log()
    {
        std::ifstream file(logPath.c_str());
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // Log lines that are this line, or begin with it and go on after a space.
    int Count(const std::string &line)
    {
        std::istringstream log(Log());
        int count = 0;
        for (std::string l; std::getline(log, l);)
            count += l == line || l.compare(0, line.size() + 1, line + " ") == 0;
        return count;
    }

    // Calls each of the four functions once: each must reach the driver and
    // answer as it does when nothing is queued.
    void ExpectEveryFunctionBound()
    {
        char text[64];
        EXPECT_NE(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
        LOGCONTEXTA context = {};
        HCTX handle = WTOpenA(NULL, &context, FALSE);
        EXPECT_NE((HCTX)NULL, handle);
        int packetCalls = Count("WTPacket");
        TabletPacket packet;
        EXPECT_FALSE(WTPacket(handle, 1, &packet));
        EXPECT_EQ(packetCalls + 1, Count("WTPacket"));
        EXPECT_TRUE(WTClose(handle));
    }
};

TEST_F(DriverBinding, WithoutTheLibraryEveryFunctionAnswersZeroAndTouchesNothing)
{
    char text[16];
    memset(text, 0x5A, sizeof text);
    EXPECT_EQ(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));

    LOGCONTEXTA context;
    memset(&context, 0x5A, sizeof context);
    EXPECT_EQ(NULL, WTOpenA(NULL, &context, TRUE));
    EXPECT_FALSE(WTClose((HCTX)0x5301));

    TabletPacket packet;
    memset(&packet, 0x5A, sizeof packet);
    EXPECT_FALSE(WTPacket((HCTX)0x5301, 1, &packet));

    for (unsigned char byte : text)
        ASSERT_EQ(0x5A, byte);
    for (size_t i = 0; i < sizeof context; ++i)
        ASSERT_EQ(0x5A, ((unsigned char *)&context)[i]);
    for (size_t i = 0; i < sizeof packet; ++i)
        ASSERT_EQ(0x5A, ((unsigned char *)&packet)[i]);
}

TEST_F(DriverBinding, AFailedLoadIsTriedAgainOnTheNextCall)
{
    char text[64] = "";
    EXPECT_EQ(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
    InstallDriver("standard");
    EXPECT_NE(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
    EXPECT_STREQ("SimTab Wintab driver 1.4 (simulated)", text);
}

TEST_F(DriverBinding, LoadsTheLibraryOnceAndPassesArgumentsThrough)
{
    InstallDriver("standard");
    AXIS axis = {};
    EXPECT_EQ(16u, WTInfoA(WTI_DEVICES, DVC_X, &axis));
    EXPECT_EQ(15200, axis.axMax);

    LOGCONTEXTA context = {};
    WTInfoA(WTI_DEFCONTEXT, 0, &context);
    HCTX handle = WTOpenA(NULL, &context, FALSE);
    ASSERT_NE((HCTX)NULL, handle);
    TabletPacket packet;
    EXPECT_FALSE(WTPacket(handle, 7, &packet)); // nothing queued yet
    EXPECT_TRUE(WTClose(handle));

    EXPECT_EQ(1, Count("attach"));
    EXPECT_EQ(1, Count("WTInfoA 100 12 buffer -> 16"));
    char packetLine[64];
    wsprintfA(packetLine, "WTPacket 0x%X 7 -> 0", (UINT)(UINT_PTR)handle);
    EXPECT_EQ(1, Count(packetLine));
}

TEST_F(DriverBinding, ReleaseFreesTheLibraryAndTheNextCallBindsAfresh)
{
    InstallDriver("standard");
    ExpectEveryFunctionBound();

    ReleaseTabletDriver();
    EXPECT_EQ(1, Count("detach"));

    // Every function must be bound again: an address kept from before the
    // release would point into the unloaded library.
    ExpectEveryFunctionBound();
    EXPECT_EQ(2, Count("attach"));
}

TEST_F(DriverBinding, ReleaseWithoutALoadedLibraryChangesNothing)
{
    ReleaseTabletDriver();
    InstallDriver("standard");
    ReleaseTabletDriver();
    EXPECT_EQ(0, Count("attach"));
    char text[64];
    EXPECT_NE(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
}

TEST_F(DriverBinding, BindsByOrdinalWhateverTheExportNames)
{
    InstallDriver("renamed");
    ExpectEveryFunctionBound();
}

TEST_F(DriverBinding, TheRightNamesUnderOtherOrdinalsBindNothing)
{
    InstallDriver("misnumbered");
    char text[64];
    LOGCONTEXTA context = {};
    EXPECT_EQ(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
    EXPECT_EQ(NULL, WTOpenA(NULL, &context, FALSE));
    EXPECT_EQ(1, Count("attach")); // the library itself was loaded, and kept
}

TEST_F(DriverBinding, AMissingFunctionAnswersZeroWhileTheOthersWork)
{
    InstallDriver("infoonly");
    char text[64];
    LOGCONTEXTA context = {};
    EXPECT_EQ(NULL, WTOpenA(NULL, &context, FALSE));
    EXPECT_NE(0u, WTInfoA(WTI_INTERFACE, IFC_WINTABID, text));
    EXPECT_EQ(NULL, WTOpenA(NULL, &context, FALSE));
    EXPECT_FALSE(WTClose((HCTX)0x5301));
    EXPECT_EQ(1, Count("attach"));
}

}  // namespace

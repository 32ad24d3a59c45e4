// Under Wine playing Windows NT 4.0, which does not save the SSE registers: the checksum must
// take the table path whatever the processor has.
#include "engine/crc32.h"
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <cpuid.h>
#include <vector>

TEST(Nt4, TheSystemIsNt40)
{
    SystemVersion system;
    ASSERT_NE(0, Platform.restart.systemVersion(&system));
    EXPECT_EQ(SystemNt, system.family);
    EXPECT_EQ(4u, system.major) << "this program needs Wine's Version nt40 (scripts/wineprefix.sh)";
    EXPECT_EQ(0u, system.minor);
}

TEST(Nt4, ChecksumTakesTheTablePath)
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    SystemVersion windows2000 = {SystemNt, 5, 0, 2195};
    if (!Crc32FastPathAllowed(&windows2000, ecx))
        std::printf("this processor lacks the fast path's instructions: the test shows less\n");
    EXPECT_EQ(0, Crc32HasClmul());

    std::vector<uint8_t> data(0x2000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 31 + 7);
    EXPECT_EQ(Crc32Bytewise(0xFFFFFFFFu, data.data(), 0x2000), Crc32(data.data(), 0x2000));
}

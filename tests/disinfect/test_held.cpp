// An infected file held by another running process, for real: it can be read and copied but
// neither written nor deleted, so the workflow goes the copy's way. Windows only.
#include "disinfect/workflow.h"
#include "tests/disinfect/holder.h"
#include "tests/disinfect/workflow_support.h"

#include <gtest/gtest.h>

using testsupport::Exists;
using testsupport::Row;

static std::vector<std::string> registered;
static int RecordRestartDelete(const char *from, const char *to)
{
    registered.push_back(std::string(from) + (to ? std::string(" -> ") + to : std::string(" deleted")));
    return 1;
}
static uint32_t NtVersion(void) { return 0x0A280105u; }

class Held : public WorkflowTest {
protected:
    void ResetRecords() override { registered.clear(); }
};

TEST_F(Held, FileHeldByAnotherProcessGoesTheCopysWay)
{
    std::string file = Make("running.exe", samples::InfectedEntry1);
    std::string copy = file + ".qx-000";
    Holder holder;
    std::string failure = StartHolder(file, &holder);
    ASSERT_EQ("", failure);

    // What the holder allows and refuses, seen through the platform the workflow uses.
    FileHandle read = Platform.openFile(file.c_str(), 0);
    EXPECT_NE(InvalidFileHandle, read);
    if (read != InvalidFileHandle)
        Platform.closeFile(read);
    EXPECT_EQ(InvalidFileHandle, Platform.openFile(file.c_str(), 1));
    EXPECT_EQ(0, Platform.deleteFile(file.c_str()));

    // The registration is recorded rather than made: the real one is the restart test's.
    Platform.getVersion = NtVersion;
    Platform.moveFileAtRestart = RecordRestartDelete;
    Run(file);
    EXPECT_TRUE(EndHolder(&holder));

    EXPECT_EQ((std::vector<Row>{{file, testsupport::InfectedStatus()},
                                {file, StatusCopying},
                                {copy, testsupport::InfectedStatus()},
                                {copy, StatusDeleted},
                                {file, StatusDeletedAtRestart}}),
              display.rows);
    ExpectCounters({{"files", 2}, {"infected", 2}, {"deleted", 1}, {"deletedAtRestart", 1}});
    EXPECT_EQ(std::vector<std::string>{file + " deleted"}, registered);
    EXPECT_TRUE(Exists(file));
    EXPECT_FALSE(Exists(copy));
    EXPECT_EQ(samples::MakeSample(samples::InfectedEntry1), testsupport::ReadBytes(file));
}

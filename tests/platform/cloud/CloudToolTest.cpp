// The account tool as a user runs it: nothing configured, choosing a store,
// playing another device, dumping, and failures with their exit status.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using testsupport::CommandResult;

class CloudToolTest : public ::testing::Test {
protected:
    CommandResult tool(std::vector<std::string> args) {
        args.insert(args.begin(), TAVLO_CLOUD_TOOL);
        return testsupport::runCommand(args, std::chrono::seconds(20));
    }
    testsupport::TempHome home_;
};

TEST_F(CloudToolTest, ANewUserIsToldHowToChooseAnAccount) {
    const CommandResult result = tool({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("no account (status 3)"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("tavlo-cloud use embedded DIR --account NAME"), std::string::npos);
}

TEST_F(CloudToolTest, PlaysAnotherDeviceAndDumpsWhatItSaved) {
    const auto folder = home_.root() / "account";
    ASSERT_EQ(tool({"use", "embedded", folder.string(), "--account", "alice"}).status, 0);
    ASSERT_EQ(tool({"zone", "add", "Tavlo Zone"}).status, 0);
    const auto file = home_.root() / "asset.txt";
    std::ofstream(file) << "abc";
    ASSERT_EQ(tool({"save", "Tavlo Zone", "Clipping", "C-1", "text=hi", "index=#3", "list=@L-1"}).status, 0);
    ASSERT_EQ(tool({"save", "Tavlo Zone", "Asset", "C-1.0", "data=<" + file.string(), "clipping=@!C-1"}).status, 0);
    const CommandResult stale = tool({"save", "Tavlo Zone", "Clipping", "C-1", "text=x", "--tag", "0000"});
    EXPECT_EQ(stale.status, 1);
    EXPECT_EQ(stale.output, "C-1: error 14\n");

    const CommandResult dump = tool({"dump", "Tavlo Zone"});
    EXPECT_EQ(dump.status, 0);
    EXPECT_NE(dump.output.find(R"("fields":{"clipping":{"action":"delete-self","reference":"C-1"},"data":{"asset":)"
                               R"({"sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad","size":3}}})"),
              std::string::npos)
        << dump.output;
    EXPECT_NE(dump.output.find(R"("fields":{"index":3,"list":{"action":"none","reference":"L-1"},"text":"hi"})"),
              std::string::npos);

    const CommandResult status = tool({"status"});
    EXPECT_NE(status.output.find("status 1 (available)"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("zone Tavlo Zone: 2 records"), std::string::npos);

    ASSERT_EQ(tool({"fault", "add", "modify", "7", "--retry-after", "2.5"}).status, 0);
    const CommandResult limited = tool({"save", "Tavlo Zone", "Clipping", "C-2", "text=y"});
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(limited.output, "error 7: injected fault on modify\n");
}

TEST_F(CloudToolTest, AFileThatIsNotAStoreIsNamedAndKept) {
    const auto folder = home_.root() / "taken";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "cloud.sqlite") << "my notes";
    const CommandResult result = tool({"use", "embedded", folder.string(), "--account", "bob"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find((folder / "cloud.sqlite").string()), std::string::npos) << result.output;
    std::ifstream in(folder / "cloud.sqlite");
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "my notes");
}

}  // namespace

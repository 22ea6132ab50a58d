// Runs the built hiddfu and checks what it prints and how it exits.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/kel_dfufirmware.h"

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Outcome run(const std::vector<std::string>& args, const std::string& argv0 = HIDDFU_BINARY)
{
    char outPath[] = "/tmp/main_test_out.XXXXXX";
    char errPath[] = "/tmp/main_test_err.XXXXXX";
    const int outFd = mkstemp(outPath);
    const int errFd = mkstemp(errPath);
    EXPECT_GE(outFd, 0);
    EXPECT_GE(errFd, 0);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(argv0.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    Outcome result;
    if (posix_spawn(&pid, HIDDFU_BINARY, &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    } else {
        ADD_FAILURE() << "cannot run " << HIDDFU_BINARY;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    unlink(outPath);
    unlink(errPath);
    return result;
}

std::string usage(const std::string& name)
{
    std::string text = "Usage:\n\n";
    for (const char* line : {" version", " devices [idVendor [idProduct]]", " monitor [idVendor [idProduct]]",
                             " backup <deviceIdenifier> <destinationFirmwareFile>",
                             " update <deviceIdenifier> <sourceFirmwareFile>", " set <deviceIdenifier> [name [name...]]",
                             " get <deviceIdenifier> [name [name...]]", " reset <deviceIdenifier>",
                             " dfufile [filename [filename...]]"})
        text += "  " + name + line + "\n";
    return text + "\n";
}

const std::string kProgram = "hiddfu";

TEST(CommandLine, NoActionPrintsUsageAndSucceeds)
{
    const Outcome bare = run({});
    EXPECT_EQ(0, bare.status);
    EXPECT_EQ("", bare.out);
    EXPECT_EQ(usage(kProgram), bare.err);

    // Only the last component of the program path is shown.
    const Outcome renamed = run({}, "/some/where/else/tool-name");
    EXPECT_EQ(usage("tool-name"), renamed.err);
}

TEST(CommandLine, ArgumentErrorsPrintTheErrorAndUsageAndFail)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"Version"}, "Invalid action"},
        {{""}, "Invalid action"},
        {{"dfu"}, "Invalid action"},
        {{"devices", "abc"}, "Invalid idVendor"},
        {{"devices", "abc", "1"}, "Invalid idVendor"},
        {{"devices", "abc", "xyz"}, "Invalid idVendor"},
        {{"devices", "1", "xyz"}, "Invalid idProduct"},
        {{"devices", "1", "2", "3"}, "unexpected arguments supplied"},
        {{"monitor", ""}, "Invalid idVendor"},
        {{"monitor", "0x12", "-"}, "Invalid idProduct"},
        {{"monitor", "1", "2", "3", "4"}, "unexpected arguments supplied"},
        {{"backup"}, "Invalid argument count"},
        {{"backup", "0a12-0001-14200000"}, "Invalid argument count"},
        {{"backup", "0a12-0001-14200000", "a.dfu", "extra"}, "Invalid argument count"},
        {{"update", "0a12-0001-14200000"}, "Invalid argument count"},
        {{"set"}, "Invalid argument count"},
        {{"get"}, "Invalid argument count"},
        {{"reset"}, "Invalid argument count"},
        {{"reset", "0a12-0001-14200000", "extra"}, "Invalid argument count"},
    };
    for (const auto& c : cases) {
        const Outcome result = run(c.first);
        const std::string what = c.first[0] + " (" + std::to_string(c.first.size()) + " words)";
        EXPECT_EQ(255, result.status) << what;
        EXPECT_EQ("", result.out) << what;
        EXPECT_EQ("Error: " + c.second + "\n\n" + usage(kProgram), result.err) << what;
    }
}

TEST(CommandLine, NumbersForTheDeviceFilterAreAccepted)
{
    // "%i": decimal, hexadecimal, octal, a sign, leading blanks, trailing text ignored.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"devices"}, {"devices", "0x0A12"}, {"devices", "2578"}, {"devices", "012"},
          {"devices", "65537"}, {"devices", " -1"}, {"devices", "12abc"}, {"devices", "0", "0x1234"}}) {
        const Outcome result = run(args);
        EXPECT_EQ(std::string::npos, result.err.find("Usage:")) << args.back();
        EXPECT_EQ(0u, result.out.find("{\"devices\": [")) << args.back();
    }
}

TEST(CommandLine, VersionPrintsItsDocumentWhateverFollows)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"version"}, std::vector<std::string>{"version", "extra", "words"}}) {
        const Outcome result = run(args);
        EXPECT_EQ(0, result.status);
        EXPECT_EQ("{\"version\": {\"major\": 1, \"minor\": 0, \"qualifier\": \"Beta 3\"}}\n", result.out);
        EXPECT_EQ("", result.err);
    }
}

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/main_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string save(const std::string& name, unsigned short vendor, unsigned short product,
                     const std::string& image = "firmware")
    {
        kel::DfuFirmware firmware;
        firmware.setVendorId(vendor);
        firmware.setProductId(product);
        firmware.setDeviceRelease(0x0100);
        firmware.setData(image.data(), image.size());
        const std::string path = m_dir + "/" + name;
        EXPECT_TRUE(firmware.save(path.c_str()));
        return path;
    }

    std::string m_dir;
};

using FirmwareCommands = TempFiles;

std::string failedTransfer(const std::string& identifier, const std::string& error)
{
    return "{\"transfer\": {\"identifier\": \"" + identifier + "\", \"progress\": 0.0, \"state\": -1, \"error\": \"" +
           error + "\"}}\n";
}

TEST_F(FirmwareCommands, FailuresBeforeAnyDeviceAccess)
{
    const std::string good = save("good.dfu", 0x0A12, 0x0001);
    const std::string other = save("other.dfu", 0x0A12, 0x0002);

    Outcome result = run({"backup", "not-an-id", m_dir + "/out.dfu"});
    EXPECT_EQ(255, result.status);
    EXPECT_EQ(failedTransfer("not-an-id", "Invalid device identifier"), result.out);

    result = run({"update", "0a12-0001", good});
    EXPECT_EQ(255, result.status);
    EXPECT_EQ(failedTransfer("0a12-0001", "Invalid device identifier"), result.out);

    result = run({"update", "0a12-0001-14200000", m_dir + "/missing.dfu"});
    EXPECT_EQ(255, result.status);
    EXPECT_EQ(failedTransfer("0a12-0001-14200000", "Unable to load firmware file"), result.out);

    // The identifier is shown exactly as typed.
    result = run({"update", "  0A12-0001-14200000", other});
    EXPECT_EQ(255, result.status);
    EXPECT_EQ(failedTransfer("  0A12-0001-14200000", "Firmware file not valid for the target device"), result.out);

    result = run({"reset", "nonsense"});
    EXPECT_EQ(255, result.status);
    EXPECT_EQ("", result.out);
}

TEST(ControlCommands, NamesAndIdentifiers)
{
    for (const char* action : {"set", "get"}) {
        // No names: nothing to fail, whether or not the identifier parses.
        for (const char* identifier : {"0a12-0001-14200000", "bad"}) {
            const Outcome result = run({action, identifier});
            EXPECT_EQ(0, result.status) << action << " " << identifier;
            EXPECT_EQ("{\"control\": []}\n", result.out);
        }
        const Outcome result = run({action, "bad", "alpha", "alpha"});
        EXPECT_EQ(255, result.status);
        EXPECT_EQ("{\"control\": [{\"request\": \"alpha\", \"response\": null, \"error\": \"Invalid device "
                  "identifier\"}, {\"request\": \"alpha\", \"response\": null, \"error\": \"Invalid device "
                  "identifier\"}]}\n",
                  result.out);
    }
}

using DfuFileCommand = TempFiles;

TEST_F(DfuFileCommand, DescribesValidFilesAndReportsTheOthers)
{
    Outcome result = run({"dfufile"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);

    const std::string good = save("good.dfu", 0x0A12, 0x0001, "ABC");
    const std::string missing = m_dir + "/missing.dfu";
    std::ofstream(m_dir + "/bad.dfu") << "not a DFU file at all";
    result = run({"dfufile", missing, good, m_dir + "/bad.dfu", m_dir, good});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Invalid DFU file " + missing + "\nInvalid DFU file " + m_dir + "/bad.dfu\nInvalid DFU file " + m_dir +
                  "\n",
              result.err);

    const std::string body = ": " + good + "\n"
                             "  VendorID:        0x0a12\n"
                             "  ProductID:       0x0001\n"
                             "  DeviceRelease:   0x0100\n"
                             "  Aux data size:   0 bytes\n"
                             "  Firmware size:   3 bytes\n"
                             "    Firmware:  41 42 43 : ABC\n";
    // Two descriptions, each starting with the object's address.
    std::size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(at, result.out.find("Firmware object @ 0x", at)) << result.out;
        const std::size_t colon = result.out.find(": ", at);
        ASSERT_NE(std::string::npos, colon);
        EXPECT_EQ(body, result.out.substr(colon, body.size()));
        at = colon + body.size();
    }
    EXPECT_EQ(result.out.size(), at);
}

}  // namespace

// The set and get commands against an emulated device that answers text requests.
#include "kel_arkcommand.h"

#include <gtest/gtest.h>

#include "tests/support/emulated_hid_fixture.h"

namespace kel {
namespace {

using platform::HidDevice;

class ControlCommandTest : public testing::EmulatedHidTest {
protected:
    static constexpr const char* kId = "0a12-1004-01200000";

    void SetUp() override
    {
        EmulatedHidTest::SetUp();
        m_device->setTextResponder([this](const std::string& request) -> std::optional<std::string> {
            m_requests.push_back(request);
            if (request == "alpha")
                return std::string("ok");
            if (request == "quiet")
                return std::string();
            if (request == "binary")
                return std::string("\xff\xfe");
            if (request.rfind("echo", 0) == 0)
                return request;
            return std::nullopt;
        });
    }

    bool control(const char* identifier, const std::vector<std::string>& names, bool get)
    {
        ::testing::internal::CaptureStdout();
        const bool result = ark_CommandControl(identifier, names, get);
        m_stdout = ::testing::internal::GetCapturedStdout();
        return result;
    }

    std::vector<std::string> m_requests;  // written on the caller's thread, inside setReport
    std::string m_stdout;
};

TEST_F(ControlCommandTest, GetPrintsAnswersAndMissingAnswers)
{
    EXPECT_FALSE(control(kId, {"alpha", "beta"}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"alpha\", \"response\": \"ok\", \"error\": null}, "
              "{\"request\": \"beta\", \"response\": null, \"error\": \"Error reading from device\"}]}\n",
              m_stdout);

    // An answer with nothing after its ID is the empty text; a name repeated gets two answers.
    EXPECT_TRUE(control(kId, {"quiet", "echo1", "echo1"}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"quiet\", \"response\": \"\", \"error\": null}, "
              "{\"request\": \"echo1\", \"response\": \"echo1\", \"error\": null}, "
              "{\"request\": \"echo1\", \"response\": \"echo1\", \"error\": null}]}\n",
              m_stdout);

    // Text that is not UTF-8 cannot be a JSON string: the entry goes without its response.
    EXPECT_TRUE(control(kId, {"binary"}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"binary\", \"error\": null}]}\n", m_stdout);
}

TEST_F(ControlCommandTest, SetSendsWithoutWaiting)
{
    m_device->setRecordReports(true);
    EXPECT_TRUE(control(kId, {"alpha", ""}, false));
    EXPECT_EQ("{\"control\": [{\"request\": \"alpha\", \"response\": \"\", \"error\": null}, "
              "{\"request\": \"\", \"response\": \"\", \"error\": null}]}\n",
              m_stdout);
    const auto sent = m_device->sentReports();
    ASSERT_EQ(2u, sent.size());
    std::vector<std::uint8_t> expected(64, 0);
    expected[0] = 1;
    EXPECT_EQ(HidDevice::kReportTypeOutput, sent[1].type);
    EXPECT_EQ(expected, sent[1].bytes);
    std::copy_n("alpha", 5, expected.begin() + 1);
    EXPECT_EQ(expected, sent[0].bytes);
    EXPECT_EQ((std::vector<std::string>{"alpha", ""}), m_requests);
}

TEST_F(ControlCommandTest, NamesLongerThanTheOutputReportAreRefused)
{
    const std::string longest = "echo" + std::string(58, 'x');  // 62 bytes
    const std::string tooLong = longest + "y";
    m_device->setRecordReports(true);
    EXPECT_FALSE(control(kId, {tooLong, longest}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"" + tooLong + "\", \"response\": null, \"error\": \"Request too long\"}, "
              "{\"request\": \"" + longest + "\", \"response\": \"" + longest + "\", \"error\": null}]}\n",
              m_stdout);
    ASSERT_EQ(1u, m_device->sentReports().size());
    EXPECT_EQ(0, m_device->sentReports()[0].bytes[63]);

    for (std::int64_t size : {0, 1}) {
        m_device->setProperty(platform::kHidMaxOutputReportSizeKey, size);
        EXPECT_FALSE(control(kId, {""}, false));
        EXPECT_EQ("{\"control\": [{\"request\": \"\", \"response\": null, \"error\": \"Request too long\"}]}\n",
                  m_stdout);
    }
}

TEST_F(ControlCommandTest, IdentifierAndConnectionFailuresMarkEveryName)
{
    EXPECT_FALSE(control("bogus", {"a", "b"}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"a\", \"response\": null, \"error\": \"Invalid device identifier\"}, "
              "{\"request\": \"b\", \"response\": null, \"error\": \"Invalid device identifier\"}]}\n",
              m_stdout);
    EXPECT_FALSE(control("0a12-1004-09000000", {"a"}, false));
    EXPECT_EQ("{\"control\": [{\"request\": \"a\", \"response\": null, \"error\": \"Unable to connect to device\"}]}\n",
              m_stdout);
    for (const char* identifier : {"bogus", "0a12-1004-09000000", kId}) {
        EXPECT_TRUE(control(identifier, {}, true));
        EXPECT_EQ("{\"control\": []}\n", m_stdout);
    }
    EXPECT_TRUE(m_requests.empty());
}

TEST_F(ControlCommandTest, RemovalDuringGet)
{
    // The first request goes out, then the device is gone: no answer, and nothing more to write to.
    m_device->removeAfterRequests(1);
    EXPECT_FALSE(control(kId, {"beta", "alpha"}, true));
    EXPECT_EQ("{\"control\": [{\"request\": \"beta\", \"response\": null, \"error\": \"Error reading from device\"}, "
              "{\"request\": \"alpha\", \"response\": null, \"error\": \"Error writing to device\"}]}\n",
              m_stdout);
}

}  // namespace
}  // namespace kel

#include "kel_arkcommand.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace kel {
namespace {

std::string written(JSONRoot& document, int times = 1)
{
    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&buffer, &length);
    for (int i = 0; i < times; ++i)
        document.write(stream);
    std::fclose(stream);
    std::string text(buffer, length);
    std::free(buffer);
    return text;
}

TEST(JSONDocuments, VersionDevicesAndEmptyControl)
{
    JSONVersion version;
    EXPECT_EQ("{\"version\": {\"major\": 1, \"minor\": 0, \"qualifier\": \"Beta 3\"}}\n", written(version));

    JSONDevices devices;
    EXPECT_EQ("{\"devices\": []}\n", written(devices));
    // Each write is the whole document again, on its own line.
    EXPECT_EQ("{\"devices\": []}\n{\"devices\": []}\n", written(devices, 2));

    JSONControl control("control");
    EXPECT_EQ("{\"control\": []}\n", written(control));
    EXPECT_FALSE(control.didFail());
}

TEST(JSONDocuments, ControlEntriesAndFailureFlag)
{
    JSONControl control("control");
    control.addEntry(nullptr, nullptr, nullptr);
    EXPECT_FALSE(control.didFail());
    control.addEntry("alpha", "ok", nullptr);
    EXPECT_FALSE(control.didFail());
    control.addEntry("beta", nullptr, "Request too long");
    EXPECT_TRUE(control.didFail());
    control.addEntry("gamma", "", nullptr);
    EXPECT_TRUE(control.didFail()) << "never cleared";
    EXPECT_EQ("{\"control\": [{\"request\": null, \"response\": null, \"error\": null}, "
              "{\"request\": \"alpha\", \"response\": \"ok\", \"error\": null}, "
              "{\"request\": \"beta\", \"response\": null, \"error\": \"Request too long\"}, "
              "{\"request\": \"gamma\", \"response\": \"\", \"error\": null}]}\n",
              written(control));
}

TEST(JSONDocuments, StringsAreEscapedAndInvalidUtf8KeysAreLeftOut)
{
    JSONControl control("control");
    control.addEntry("q\"b\\t\t/\x01", "\xc3\xa9t\xc3\xa9", nullptr);
    control.addEntry("\xff\xfe", "fine", nullptr);  // not UTF-8: "request" is absent
    EXPECT_EQ("{\"control\": [{\"request\": \"q\\\"b\\\\t\\t/\\u0001\", \"response\": \"\xc3\xa9t\xc3\xa9\", "
              "\"error\": null}, {\"response\": \"fine\", \"error\": null}]}\n",
              written(control));

    JSONTransfer transfer("\xc0", "transfer");
    EXPECT_EQ("{\"transfer\": {\"progress\": 0.0, \"state\": 1, \"error\": null}}\n", written(transfer));
}

TEST(JSONDocuments, TransferStatesProgressAndErrors)
{
    JSONTransfer transfer("1234-abcd-14100000", "transfer");
    EXPECT_FALSE(transfer.didFail());
    EXPECT_EQ("{\"transfer\": {\"identifier\": \"1234-abcd-14100000\", \"progress\": 0.0, \"state\": 1, "
              "\"error\": null}}\n",
              written(transfer));

    transfer.setState(JSONTransfer::kStateWriting, "ignored for a non-failure state");
    transfer.setProgress(37.5);
    EXPECT_EQ("{\"transfer\": {\"identifier\": \"1234-abcd-14100000\", \"progress\": 37.5, \"state\": 3, "
              "\"error\": null}}\n",
              written(transfer));

    transfer.setProgress(100.0 / 3.0);
    transfer.setState(JSONTransfer::kStateFailed, nullptr);
    EXPECT_TRUE(transfer.didFail());
    EXPECT_EQ("{\"transfer\": {\"identifier\": \"1234-abcd-14100000\", \"progress\": 33.333333333333336, "
              "\"state\": -1, \"error\": \"Unknown error\"}}\n",
              written(transfer));

    // A later non-failure state clears the text but not the flag.
    transfer.setState(JSONTransfer::kStateDone, nullptr);
    transfer.setProgress(100.0);
    transfer.setIdentifier("typed");
    EXPECT_TRUE(transfer.didFail());
    EXPECT_EQ("{\"transfer\": {\"identifier\": \"typed\", \"progress\": 100.0, \"state\": 0, \"error\": null}}\n",
              written(transfer));

    JSONTransfer failed(" 0A12-1-0", "transfer");
    failed.setState(JSONTransfer::kStateFailed, "Unable to connect to device");
    EXPECT_EQ("{\"transfer\": {\"identifier\": \" 0A12-1-0\", \"progress\": 0.0, \"state\": -1, "
              "\"error\": \"Unable to connect to device\"}}\n",
              written(failed));
}

}  // namespace
}  // namespace kel

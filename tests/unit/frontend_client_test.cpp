#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "download/download.h"

namespace {

// The texts the tool prints are compared in full by its end-to-end tests; these are the rest.
TEST(FrontendClient, MessagesKeepTheirPaddingAndSpelling) {
    EXPECT_EQ(CDownload::GetErrorText(0), "without failure         ");
    EXPECT_EQ(CDownload::GetErrorText(2), "COM-Port not open       ");
    EXPECT_EQ(CDownload::GetErrorText(21), "no space for FPGA-Data");
    EXPECT_EQ(CDownload::GetErrorText(28), "VME_CRC_FAILURE");
    for (int code = 0; code <= 20; ++code) {
        const std::size_t size = CDownload::GetErrorText(code).size();
        EXPECT_TRUE(size == 0 || size == 24u) << code;
    }
    for (int code : {1, 11, 17, -1, 29, 255}) EXPECT_EQ(CDownload::GetErrorText(code), "") << code;
}

TEST(FrontendClient, RuntimeClassCreatesAnUnboundClient) {
    const CRuntimeClass* cls = &CDownload::classCDownload;
    EXPECT_TRUE(cls->IsDerivedFrom(&CObject::classCObject));
    std::unique_ptr<CObject> object(cls->CreateObject());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), cls);
    auto* client = dynamic_cast<CDownload*>(object.get());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->GetError(), RESULT_PORT_NOT_OPEN);
}

}  // namespace

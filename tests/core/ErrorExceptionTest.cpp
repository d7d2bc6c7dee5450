#include <gtest/gtest.h>

#include "core/ErrorException.h"
#include "core/InternalError.h"

using namespace resurgo;

TEST(ErrorException, CarriesCodeSystemErrorAndDiagnostic) {
    ErrorException format(kErrRecordFormat, "MFT_RECORD::fixup <Signature check>");
    EXPECT_EQ(format.code(), 13);
    EXPECT_EQ(format.systemError(), 0u);
    EXPECT_EQ(format.diagnostic(), "MFT_RECORD::fixup <Signature check>");

    ErrorException sys(kErrReadDisk, 5u, "Volume::read");
    ErrorException copy = sys;
    EXPECT_EQ(copy.code(), 3);
    EXPECT_EQ(copy.systemError(), 5u);
    EXPECT_EQ(copy.diagnostic(), "Volume::read");
}

TEST(ErrorException, PlaceInARecordLeavesCodeAndDiagnosticAlone) {
    ErrorException e(kErrRunlistField, "RUN_LIST::decompress_run <Unknown field type>");
    EXPECT_EQ(e.location(), "");
    e.setByteOffset(424);
    EXPECT_EQ(e.location(), "byte 424");
    e.setRecordNumber(77);
    const ErrorException copy = e;
    EXPECT_EQ(copy.code(), 15);
    EXPECT_EQ(copy.diagnostic(), "RUN_LIST::decompress_run <Unknown field type>");
    EXPECT_EQ(copy.recordNumber(), 77u);
    EXPECT_EQ(copy.byteOffset(), 424u);
    EXPECT_EQ(copy.location(), "record 77, byte 424");
    EXPECT_EQ(ErrorException(kErrRecordFormat, "x").setRecordNumber(0).location(), "record 0");
}

TEST(ErrorException, TableHolds27EntriesWithFixedTexts) {
    EXPECT_EQ(ErrorException::tableSize(), 27);
    EXPECT_STREQ(ErrorException::describe(3), "Error read disk");
    EXPECT_STREQ(ErrorException::describe(17), "End of file");
    EXPECT_STREQ(ErrorException::describe(25), "Not supported in this version");
    EXPECT_STREQ(ErrorException::describe(26), "Get file size error");
    EXPECT_STREQ(ErrorException::describe(99), "");
}

TEST(InternalErrorReport, ComposesHeaderCodeLineAndSystemText) {
    std::string r = composeInternalErrorReport("WinMain: OleInitialize error", 5, 0, "Access is denied.");
    EXPECT_EQ(r.rfind("RESURGO INTERNAL ERROR\n\nWinMain: OleInitialize error\n\nLast error code: 5, extended code: 0\n"
                      "Access is denied.\n\nPlease, report about this message to ",
                      0),
              0u);
}

TEST(InternalErrorReport, LargeLastErrorPrintsAsNegative) {
    std::string r = composeInternalErrorReport("x", 0x80000000u, 7, "");
    EXPECT_NE(r.find("Last error code: -2147483648, extended code: 7"), std::string::npos);
}

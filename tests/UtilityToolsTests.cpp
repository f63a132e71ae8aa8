#include "storage/UtilityTools.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(UtilityPaths, ExtensionWithAndWithoutDot)
{
    wchar_t szOut[260];
    CUtilityTools::GetFileExt(L"C:\\Logs\\Log.rtf", szOut, false);
    EXPECT_STREQ(L"rtf", szOut);
    EXPECT_EQ(0, _wcsicmp(szOut, L"RTF"));
    CUtilityTools::GetFileExt(L"C:\\Logs\\Log.rtf", szOut, true);
    EXPECT_STREQ(L".rtf", szOut);
    CUtilityTools::GetFileExt(L"C:\\Logs.d\\Log", szOut, true);
    EXPECT_STREQ(L"", szOut);
}

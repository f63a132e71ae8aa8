rig_add_test(UtilityToolsTests SOURCES UtilityToolsTests.cpp LOCKS dbwin)
